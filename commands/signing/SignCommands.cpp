#include "commands/signing/SignCommands.h"

#include <cstring>
#include <memory>

#include "commands/Envelope.h"
#include "commands/signing/SignerLocator.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "provider/Provider.h"

namespace zk {
namespace {

// The provider's output, not zero-filled first: it may be as large as the document.
struct Output {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length = 0;
};

// Slot 15 or 51: once for the size, once into a buffer of that size.
template <int Slot>
int SignWith(const SignerLocation& loc, const std::vector<uint8_t>& data, Output& out) {
    const auto len = static_cast<uint32_t>(data.size());
    const auto certLen = static_cast<uint32_t>(loc.cert.size());
    uint32_t size = 0;
    ZLOG("SignCommand", "Before Sign");
    int code = provider::CallSlot<Slot>(loc.libIndex, data.data(), len, nullptr, &size, loc.KeyData(), loc.KeyLength(),
                                        loc.cert.data(), certLen, loc.password.c_str());
    if (code == 0) {
        out.bytes = std::make_unique_for_overwrite<uint8_t[]>(size);
        out.length = size;
        code = provider::CallSlot<Slot>(loc.libIndex, data.data(), len, out.bytes.get(), &out.length, loc.KeyData(),
                                        loc.KeyLength(), loc.cert.data(), certLen, loc.password.c_str());
    }
    ZLOG("SignCommand", "After Sign, Return: %d", code);
    if (code != 0) out = Output{};
    return code;
}

// Data must be present and the signer block sufficient with a password;
// otherwise the command has no answer of its own.
template <int Slot>
bool SignCommand(const char* command, unsigned fields, const tinyxml2::XMLElement* params, const char* data,
                 std::string& answer) {
    if (!params || !data || !*data) return false;
    const SignerParams signer = ReadSignerParams(params, fields);
    if (!signer.Sufficient() || !signer.pass.present) return false;

    SignerLocation loc = LocateSigner(signer);
    Output out;
    int code = loc.code;
    if (code == 0) {
        const std::vector<uint8_t> document = Base64Decode(std::string_view(data, std::strlen(data)));
        code = SignWith<Slot>(loc, document, out);
    }
    loc.DisconnectToken();

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code, loc.detail);
    answer = PrintDocumentWithBase64(doc, holder, out.bytes.get(), out.length);
    return true;
}

}  // namespace

bool SetSignCommand(const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    return SignCommand<ZKLD_SLOT_SIGN>("SET_SIGN", kSignerWithLib, params, data, answer);
}

// The library always follows the certificate: Lib is not read.
bool SetExternalSignCommand(const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    return SignCommand<ZKLD_SLOT_SIGN_DETACHED>("SET_EXTERNAL_SIGN", 0, params, data, answer);
}

}  // namespace zk
