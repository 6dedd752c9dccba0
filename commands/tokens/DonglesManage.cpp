// The token management commands. Every answer carries the code of the last
// provider operation that ran; a connection opened here is closed before the
// answer is built. Each lets go of the token's kept session first
// (TokenSessions.h); every PIN goes through the token's throttle
// (TokenPins.h); the operations that destroy or lock need the page's
// consent (TokenConsent.h). Missing required parameters: no answer of our own.
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/CBase64.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"
#include "commands/signer/SignerLocator.h"
#include "commands/tokens/TokenCommands.h"
#include "commands/tokens/TokenConsent.h"
#include "discovery/keys/TokenPins.h"
#include "discovery/keys/TokenSessions.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kTextSize = 1024;

std::string Text(const tinyxml2::XMLElement* params, const char* name) {
    return ParamText(LastChild(params, name), kTextSize);
}

// A Base64 parameter as Windows-1251 text; nothing when it is empty.
std::optional<SecretString> Secret(const tinyxml2::XMLElement* params, const char* name) {
    PasswordParam p = ReadPasswordParam(params, name);
    if (!p.present || p.text.empty()) return std::nullopt;
    return p.text;
}

// The token named by ProviderName and SlotId.
struct TokenRef {
    std::string provider;
    int32_t slot = 0;
};
std::optional<TokenRef> ReadToken(const tinyxml2::XMLElement* params) {
    TokenRef t{Text(params, "ProviderName"), SlotIdParam(params, "SlotId")};
    if (t.provider.empty()) return std::nullopt;
    return t;
}

// Opens the token with a plain PIN, or a named key with "device password
// CR LF key name [CR LF key password]" ("#" names the key with an empty name).
// The connection is closed when c goes.
int OpenKey(const TokenRef& t, const SecretString& pass, const std::string& keyId, TokenSessionPtr& c) {
    const std::string& text = pass.str();
    const size_t first = text.find("\r\n");
    if (first == std::string::npos)
        return ConnectTokenSession(ZK_SITE("DonglesCommand"), t.provider, t.slot, text.c_str(), c);
    const size_t second = text.find("\r\n", first + 2);
    const SecretString device(text.substr(0, first));
    std::string name = text.substr(first + 2, second == std::string::npos ? std::string::npos : second - first - 2);
    const SecretString keyPass(second == std::string::npos ? std::string() : text.substr(second + 2));
    if (name == "#") name.clear();
    return ConnectTokenSession(ZK_SITE("DonglesCommand"), t.provider, t.slot, [&](ZKTokenKey& handle) {
        return TryTokenPin(t.provider, t.slot, TokenPin::User, text, [&] {
            return provider::Invoke<ZK_EXPORT(ZKLDongles_ConnectNamedKey)>(
                ZK_SITE("DonglesCommand"), t.provider.c_str(), t.slot, device.c_str(), name.c_str(), keyId.c_str(),
                keyPass.c_str(), &handle);
        });
    }, c);
}

// True (with the answer: code 16 and why) when the page may not change or
// lock the token (TokenConsent.h).
bool Refused(const char* command, const TokenRef& t, std::string& answer) {
    const std::optional<std::string> why = TokenConsentRefusal(command, t.provider, t.slot);
    if (why) answer = RefusalAnswer(command, ZK_E_DONGLE, *why);
    return why.has_value();
}

// Runs one operation on a connection opened for it; the token is let go before
// the answer is built.
template <class Op>
int OnKey(const TokenRef& t, const SecretString& pass, const std::string& keyId, Op op) {
    TokenSessionPtr c;
    const int code = OpenKey(t, pass, keyId, c);
    return code ? code : op(c->handle());
}

template <class Op>
int OnToken(const TokenRef& t, const SecretString& pin, Op op) {
    TokenSessionPtr c;
    const int code = ConnectTokenSession(ZK_SITE("DonglesCommand"), t.provider, t.slot, pin.c_str(), c);
    return code ? code : op(c->handle());
}

}  // namespace

bool DonglesInitCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const auto token = ReadToken(params);
    const auto admin = Secret(params, "AdminPass");
    if (!token || !admin) return false;
    const auto user = Secret(params, "UserPass");
    const std::string label = Text(params, "Label");
    if (Refused(command, *token, answer)) return true;
    LetGoOfToken(token->provider, token->slot);
    const int code = TryTokenPin(token->provider, token->slot, TokenPin::Officer, admin->str(), [&] {
        return provider::Invoke<ZK_EXPORT(ZKLDongles_InitSlot)>(ZK_SITE("DonglesCommand"), token->provider.c_str(),
                                                                token->slot, admin->c_str(),
                                                                user ? user->c_str() : nullptr, label.c_str());
    });
    answer = SimpleAnswer(command, code);
    return true;
}

bool DonglesChangePassCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                              std::string& answer) {
    const auto token = ReadToken(params);
    const auto oldPass = Secret(params, "OldPass"), newPass = Secret(params, "NewPass");
    if (!token || !oldPass || !newPass) return false;
    const auto device = Secret(params, "NamedKeyDevicePass");
    int code;
    if (device) {
        const auto name = Secret(params, "NamedKeyName");
        const std::string keyId = ChildText(params, "NamedKeySubjectKeyId");
        if (!name && keyId.empty()) return false;
        if (Refused(command, *token, answer)) return true;
        LetGoOfToken(token->provider, token->slot);
        const SecretString tried(device->str() + "\r\n" + oldPass->str());
        code = TryTokenPin(token->provider, token->slot, TokenPin::User, tried.str(), [&] {
            return provider::Invoke<ZK_EXPORT(ZKLDongles_ChangeNamedKeyPassword)>(
                ZK_SITE("DonglesCommand"), token->provider.c_str(), token->slot, device->c_str(),
                name ? name->c_str() : "", keyId.c_str(), oldPass->c_str(), newPass->c_str());
        });
    } else {
        if (Refused(command, *token, answer)) return true;
        LetGoOfToken(token->provider, token->slot);
        code = TryTokenPin(token->provider, token->slot, TokenPin::User, oldPass->str(), [&] {
            return provider::Invoke<ZK_EXPORT(ZKLDongles_ChangePassword)>(
                ZK_SITE("DonglesCommand"), token->provider.c_str(), token->slot, oldPass->c_str(), newPass->c_str());
        });
    }
    answer = SimpleAnswer(command, code);
    return true;
}

bool DonglesUnlockCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const auto token = ReadToken(params);
    const auto admin = Secret(params, "AdminPass");
    if (!token || !admin) return false;
    const auto user = Secret(params, "UserPass");
    if (Refused(command, *token, answer)) return true;
    LetGoOfToken(token->provider, token->slot);
    const int code = TryTokenPin(token->provider, token->slot, TokenPin::Officer, admin->str(), [&] {
        return provider::Invoke<ZK_EXPORT(ZKLDongles_UnlockPin)>(ZK_SITE("DonglesCommand"), token->provider.c_str(),
                                                                 token->slot, admin->c_str(),
                                                                 user ? user->c_str() : "");
    });
    answer = SimpleAnswer(command, code);
    return true;
}

bool DonglesKeySetLabelCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                               std::string& answer) {
    const auto token = ReadToken(params);
    const auto pass = Secret(params, "Pass");
    const std::string keyId = Text(params, "KeyId"), label = Text(params, "Label");
    if (!token || !pass || keyId.empty() || label.empty()) return false;
    const int code = OnKey(*token, *pass, keyId, [&](ZKTokenKey key) {
        return provider::Invoke<ZK_EXPORT(ZKLDongles_SetKeyLabel)>(ZK_SITE("DonglesCommand"), key, keyId.c_str(),
                                                                   label.c_str());
    });
    answer = SimpleAnswer(command, code);
    return true;
}

bool DonglesKeyDeleteCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                             std::string& answer) {
    const auto token = ReadToken(params);
    const auto pass = Secret(params, "Pass");
    const std::string keyId = Text(params, "KeyId");
    if (!token || !pass || keyId.empty()) return false;
    if (Refused(command, *token, answer)) return true;
    const int code = OnKey(*token, *pass, keyId, [&](ZKTokenKey key) {
        return provider::Invoke<ZK_EXPORT(ZKLDongles_DeleteKey)>(ZK_SITE("DonglesCommand"), key, keyId.c_str());
    });
    answer = SimpleAnswer(command, code);
    return true;
}

bool DonglesFilesEnumCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                             std::string& answer) {
    const auto token = ReadToken(params);
    const auto pin = Secret(params, "Pass");
    if (!token || !pin) return false;
    std::vector<std::string> names;
    const int code = OnToken(*token, *pin, [&](ZKTokenKey key) {
        return provider::DonglesEnumFiles(ZK_SITE("DonglesCommand"), key, names);
    });
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    if (code == 0)
        for (const std::string& name : names) AddTextElement(data, "FileName", TextToBase64(name));
    answer = PrintDocument(doc);
    return true;
}

bool DonglesFileGetCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                           std::string& answer) {
    const auto token = ReadToken(params);
    const auto pin = Secret(params, "Pass");
    const auto name = Secret(params, "FileName");
    if (!token || !pin || !name) return false;
    provider::Output file;
    const int code = OnToken(*token, *pin, [&](ZKTokenKey key) {
        return provider::DonglesGetFile(ZK_SITE("DonglesCommand"), key, name->c_str(), file);
    });
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    answer = PrintDocumentWithBase64(doc, data, file.data(), code == 0 ? file.size() : 0);
    return true;
}

bool DonglesFileSetCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer) {
    const auto token = ReadToken(params);
    const auto pin = Secret(params, "Pass");
    const auto name = Secret(params, "FileName");
    if (!token || !pin || !name) return false;
    if (Refused(command, *token, answer)) return true;
    SecretBytes bytes(data && *data ? Base64Decode(std::string_view(data, std::strlen(data))) : std::vector<uint8_t>());
    const int code = OnToken(*token, *pin, [&](ZKTokenKey key) {
        return provider::Invoke<ZK_EXPORT(ZKLDongles_SetFile)>(ZK_SITE("DonglesCommand"), key, name->c_str(),
                                                               provider::ByteView(bytes.bytes()));
    });
    answer = SimpleAnswer(command, code);
    return true;
}

}  // namespace zk
