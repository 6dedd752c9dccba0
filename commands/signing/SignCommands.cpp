#include "commands/signing/SignCommands.h"

#include <cstring>

#include "commands/AttachedContent.h"
#include "commands/Envelope.h"
#include "commands/signer/SignerLocator.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "provider/Operations.h"

namespace zk {
namespace {

// Data must be present and the signer block sufficient with a password;
// otherwise the command has no answer of its own.

// One signing slot's call over the document into out, logged as "Sign".
template <int Slot>
int SignWithSlot(const SignerLocation& loc, provider::ByteView document, provider::Output& out) {
    return provider::Invoke<ZK_METHOD(Slot)>(ZK_SITE_AS("SignCommand", "Sign"), loc.libIndex, document, out, loc.Key(),
                                             loc.cert, loc.password.c_str());
}

// Slot is the methods-table slot that signs (content attached or detached);
// both are logged as "Sign". A large document signed with its content goes
// into the answer where it lies, framed by the signature made without it
// (unless the library has no detached signing).
template <int Slot>
bool SignCommand(const char* command, unsigned fields, const tinyxml2::XMLElement* params, const char* data,
                 std::string& answer) {
    const SignerParams signer = ReadSignerParams(params, fields);
    if (!signer.Sufficient() || !signer.pass.present) return false;

    SignerLocation loc = LocateSigner(signer);
    DocumentPieces signature;
    int code = loc.code;
    if (code == 0) {
        SharedBytes document = TakeRequestDocument(data);
        provider::Output out;
        bool framed = Slot == ZKLD_SLOT_SIGN && document.size() >= kFrameFrom;
        if (framed) {
            code = SignWithSlot<ZKLD_SLOT_SIGN_DETACHED>(loc, document.view(), out);
            framed = code != provider::kMissingOperation;
            if (code == 0)
                code = AttachContent(ZK_SITE_AS("SignCommand", "Sign"), std::move(out), std::move(document), signature);
        }
        if (!framed) {
            code = SignWithSlot<Slot>(loc, document.view(), out);
            signature = OnePiece(std::move(out));
        }
    }
    loc.DisconnectToken();

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code, loc.detail);
    answer = PrintDocumentWithBase64(doc, holder, std::move(signature));
    return true;
}

}  // namespace

bool SetSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    return SignCommand<ZKLD_SLOT_SIGN>(command, kSignerWithLib, params, data, answer);
}

// The library always follows the certificate: Lib is not read.
bool SetExternalSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    return SignCommand<ZKLD_SLOT_SIGN_DETACHED>(command, 0, params, data, answer);
}

}  // namespace zk
