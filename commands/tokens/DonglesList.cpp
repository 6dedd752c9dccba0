// DONGLES_LIST: every token the provider sees, and on request the keys of
// each token with the certificates of those keys from the certificate list.
#include <cstring>
#include <ctime>
#include <optional>

#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/CertDescription.h"
#include "commands/tokens/TokenCommands.h"
#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "discovery/keys/TokenSessions.h"
#include "provider/Operations.h"

namespace zk {
namespace {

struct ListedKey {
    std::string id, index, label;
    std::vector<const CertRecord*> certs;
};

struct NamedKey {
    std::string name;
    std::vector<ListedKey> keys;
};

struct ListedToken {
    TokenInfo info;
    std::string oid;
    std::vector<ListedKey> keys;
    std::vector<NamedKey> named;
};

template <size_t N>
std::string Field(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// The certificate list is built once per listing, at the first key.
class KeyCerts {
public:
    std::vector<const CertRecord*> For(const std::string& id) {
        if (!list_) {
            list_.emplace();
            CertListGet(*list_);
        }
        CertFilter filter;  // defaults: expired certificates pass too
        filter.Serial = id;
        std::vector<const CertRecord*> found;
        for (const CertRecord& r : *list_)
            if (CertPasses(filter, r, now_)) found.push_back(&r);
        return found;
    }

private:
    std::optional<CertList> list_;
    time_t now_ = time(nullptr);
};

std::vector<ListedKey> Keys(ZKTokenKey handle, KeyCerts& certs) {
    std::vector<TokenKey> keys;
    std::vector<ListedKey> listed;
    if (provider::DonglesEnumTokenKeys(ZK_SITE("DonglesList"), handle, keys) != 0) return listed;
    for (const TokenKey& k : keys) {
        ListedKey entry{Field(k.Id), Field(k.Index), Field(k.Label), {}};
        entry.certs = certs.For(entry.id);
        listed.push_back(std::move(entry));
    }
    return listed;
}

std::vector<NamedKey> NamedKeys(ZKTokenKey handle, KeyCerts& certs) {
    std::vector<std::string> names;
    std::vector<NamedKey> named;
    if (provider::DonglesEnumNamedKeys(ZK_SITE("DonglesList"), handle, names) != 0) return named;
    for (const std::string& name : names) {
        NamedKey entry{name, {}};
        ZKTokenKey key = 0;
        if (provider::Invoke<ZK_EXPORT(ZKLDongles_ConnectNamedKey2)>(ZK_SITE("DonglesList"), handle, name.c_str(), nullptr, nullptr, &key) ==
            0) {
            entry.keys = Keys(key, certs);
            provider::Invoke<ZK_EXPORT(ZKLDongles_DisconnectKey)>(ZK_SITE("DonglesList"), key);
        }
        named.push_back(std::move(entry));
    }
    return named;
}

// A token is opened (without a PIN) only when its kind of keys is asked for;
// a failure below leaves it without children.
void ListKeys(ListedToken& token, bool keys, bool namedKeys, KeyCerts& certs) {
    const bool stationary = token.info.Stationary != 0;
    if (stationary ? !namedKeys : !keys) return;
    TokenSessionPtr session;
    if (ConnectTokenSession(ZK_SITE("DonglesList"), Field(token.info.ProviderName), token.info.SlotId, nullptr,
                            session) != 0)
        return;
    if (stationary)
        token.named = NamedKeys(session->handle(), certs);
    else
        token.keys = Keys(session->handle(), certs);
}

void RenderKeys(tinyxml2::XMLElement* parent, const std::vector<ListedKey>& keys) {
    for (const ListedKey& k : keys) {
        tinyxml2::XMLElement* e = parent->InsertNewChildElement("Key");
        e->SetAttribute("Id", k.id.c_str());
        e->SetAttribute("Index", k.index.c_str());
        e->SetAttribute("Label", k.label.c_str());
        for (const CertRecord* r : k.certs) AppendCertEntry(e, *r);
    }
}

void Render(tinyxml2::XMLElement* data, const ListedToken& token) {
    const TokenInfo& t = token.info;
    tinyxml2::XMLElement* e = data->InsertNewChildElement("Dongle");
    auto text = [&](const char* name, const std::string& value) { e->SetAttribute(name, value.c_str()); };
    auto number = [&](const char* name, uint64_t value) { e->SetAttribute(name, std::to_string(value).c_str()); };
    text("ProviderName", Field(t.ProviderName));
    number("SlotId", static_cast<uint32_t>(t.SlotId));  // PKCS#11 slot numbers are unsigned
    text("SlotDescription", Field(t.SlotDescription));
    text("SlotManufacturerID", Field(t.SlotManufacturerID));
    number("SlotFlags", t.SlotFlags);
    number("SlotHardwareVersionMajor", t.SlotHardwareVersionMajor);
    number("SlotHardwareVersionMinor", t.SlotHardwareVersionMinor);
    number("SlotFirmwareVersionMajor", t.SlotFirmwareVersionMajor);
    number("SlotFirmwareVersionMinor", t.SlotFirmwareVersionMinor);
    text("TokenLabel", Field(t.TokenLabel));
    text("TokenManufacturerID", Field(t.TokenManufacturerID));
    text("TokenModel", Field(t.TokenModel));
    text("TokenSerialNumber", Field(t.TokenSerialNumber));
    number("TokenFlags", t.TokenFlags);
    number("TokenHardwareVersionMajor", t.TokenHardwareVersionMajor);
    number("TokenHardwareVersionMinor", t.TokenHardwareVersionMinor);
    number("TokenFirmwareVersionMajor", t.TokenFirmwareVersionMajor);
    number("TokenFirmwareVersionMinor", t.TokenFirmwareVersionMinor);
    number("MaxPinLen", t.MaxPinLen);
    number("MinPinLen", t.MinPinLen);
    text("Stationary", t.Stationary ? "true" : "false");
    text("TokenOID", token.oid);
    RenderKeys(e, token.keys);
    if (token.named.empty()) return;
    tinyxml2::XMLElement* holder = e->InsertNewChildElement("NamedKeys");
    for (const NamedKey& n : token.named) {
        tinyxml2::XMLElement* named = holder->InsertNewChildElement("NamedKey");
        named->SetAttribute("Name", n.name.c_str());
        RenderKeys(named, n.keys);
    }
}

}  // namespace

bool DonglesListCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const bool keys = ChildIsTrue(params, "Keys"), namedKeys = ChildIsTrue(params, "NamedKeys");
    std::vector<TokenInfo> infos;
    const int code = provider::DonglesEnumTokens(ZK_SITE("DonglesList"), infos);
    std::vector<ListedToken> tokens;
    KeyCerts certs;
    if (code == 0) {
        for (const TokenInfo& info : infos) {
            ListedToken token{info, provider::DonglesTokenOID(info), {}, {}};
            ListKeys(token, keys, namedKeys, certs);
            tokens.push_back(std::move(token));
        }
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    for (const ListedToken& token : tokens) Render(data, token);
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
