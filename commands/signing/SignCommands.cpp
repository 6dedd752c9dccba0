#include "commands/signing/SignCommands.h"

#include <cstring>

#include "commands/Envelope.h"
#include "commands/signer/SignerLocator.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "provider/Operations.h"

namespace zk {
namespace {

using SignOperation = int (*)(const provider::Site&, int32_t, provider::ByteView, const provider::KeyRef&,
                              provider::ByteView, const char*, provider::Output&);

// Data must be present and the signer block sufficient with a password;
// otherwise the command has no answer of its own.

template <SignOperation Sign>
bool SignCommand(const char* command, unsigned fields, const tinyxml2::XMLElement* params, const char* data,
                 std::string& answer) {
    const SignerParams signer = ReadSignerParams(params, fields);
    if (!signer.Sufficient() || !signer.pass.present) return false;

    SignerLocation loc = LocateSigner(signer);
    provider::Output out;
    int code = loc.code;
    if (code == 0)
        code = Sign(ZK_SITE("SignCommand"), loc.libIndex, TakeRequestDocument(data).view(), loc.Key(), loc.cert,
                    loc.password.c_str(), out);
    loc.DisconnectToken();

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code, loc.detail);
    answer = PrintDocumentWithBase64(doc, holder, std::move(out));
    return true;
}

}  // namespace

bool SetSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    return SignCommand<provider::LibSign>(command, kSignerWithLib, params, data, answer);
}

// The library always follows the certificate: Lib is not read.
bool SetExternalSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    return SignCommand<provider::LibSignDetached>(command, 0, params, data, answer);
}

}  // namespace zk
