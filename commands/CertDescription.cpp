#include "commands/CertDescription.h"

#include <cstring>

#include "commands/Envelope.h"
#include "base/TextHelpers.h"
#include "base/CBase64.h"

namespace zk {
namespace {

const char* Flag(bool value) { return value ? "true" : "false"; }

}  // namespace

bool CanCrypt(uint32_t keyUsage) { return (keyUsage & 0x18) != 0; }
bool CanSign(uint32_t keyUsage) { return (keyUsage & 0xC0) == 0xC0; }

tinyxml2::XMLElement* AppendCertEntry(tinyxml2::XMLElement* parent, const CertRecord& r) {
    tinyxml2::XMLElement* e = parent->InsertNewChildElement("Cert");
    e->SetAttribute("DRFO", r.DRFO.c_str());
    e->SetAttribute("EDRPOU", r.EDRPOU.c_str());
    e->SetAttribute("Name", r.Name.c_str());
    e->SetAttribute("OrgNm", r.OrgNm.c_str());
    e->SetAttribute("Type", std::to_string(r.Type).c_str());
    e->SetAttribute("Serial", r.Serial.c_str());
    e->SetAttribute("Issuer", r.Issuer.c_str());
    e->SetAttribute("IssuerSN", r.IssuerSN.c_str());
    e->SetAttribute("SN", r.SN.c_str());
    e->SetAttribute("DateBeg", DateText(r.DateBeg).c_str());
    e->SetAttribute("DateEnd", DateText(r.DateEnd).c_str());
    e->SetAttribute("CanCrypt", CanCrypt(r.KeyUsage) ? "1" : "0");
    e->SetAttribute("CanSign", CanSign(r.KeyUsage) ? "1" : "0");
    e->SetAttribute("IsQualified", Flag(r.IsQualified));
    e->SetAttribute("IsKeyInDevice", Flag(r.IsKeyInDevice));
    if (std::string token = PathToken(r.path); !token.empty()) e->SetText(token.c_str());
    return e;
}

void AppendCertDetails(tinyxml2::XMLElement* holder, const CertRecord& r, const CertDetailOptions& options) {
    const std::pair<const char*, const std::string*> texts[] = {
        {"DRFO", &r.DRFO},         {"EDRPOU", &r.EDRPOU}, {"Name", &r.Name},     {"OrgNm", &r.OrgNm},
        {"Issuer", &r.Issuer},     {"Email", &r.Email},   {"Title", &r.Title},   {"PostalCode", &r.PostalCode},
        {"Obl", &r.Obl},           {"Rayon", &r.Rayon},   {"Adres", &r.Adres},   {"Tel", &r.Tel},
        {"SN", &r.SN},             {"IssuerSN", &r.IssuerSN}, {"UnitName", &r.UnitName}, {"EDDRU", &r.EDDRU},
        {"Serial", &r.Serial},
    };
    for (const auto& [name, value] : texts) AddTextElement(holder, name, *value);
    if (options.accessOcsp) AddTextElement(holder, "AccessOCSP", *options.accessOcsp);
    AddTextElement(holder, "Type", std::to_string(r.Type));
    AddTextElement(holder, "DtBeg", DateText(r.DateBeg));
    AddTextElement(holder, "DtEnd", DateText(r.DateEnd));
    AddTextElement(holder, "CanCrypt", Flag(CanCrypt(r.KeyUsage)));
    AddTextElement(holder, "CanSign", Flag(CanSign(r.KeyUsage)));
    AddTextElement(holder, "IsQualified", Flag(r.IsQualified));
    AddTextElement(holder, "IsKeyInDevice", Flag(r.IsKeyInDevice));
    if (options.extKeyUsage && !r.ExtKeyUsageExt.empty()) {
        tinyxml2::XMLElement* list = holder->InsertNewChildElement("ExtKeyUsageExt");
        for (const std::string& oid : r.ExtKeyUsageExt) AddTextElement(list, "OID", oid);
    }
}

void AppendCertDetails(tinyxml2::XMLElement* holder, const ProviderCertInfo& info, const std::vector<std::string>& eku) {
    CertRecord record;
    FillCertRecord(info, eku, record);
    const std::string accessOcsp(info.AccessOCSP, strnlen(info.AccessOCSP, sizeof info.AccessOCSP));
    CertDetailOptions options;
    options.accessOcsp = &accessOcsp;
    AppendCertDetails(holder, record, options);
}

// Paths stay in the file system's UTF-8, so the token is the Base64 of the
// path's own bytes.
std::string PathToken(const std::string& path) { return Base64Encode(path); }
std::string PathFromToken(std::string_view token) { return Base64DecodeToString(token); }

}  // namespace zk
