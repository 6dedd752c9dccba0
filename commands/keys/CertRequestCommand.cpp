#include "commands/keys/CertRequestCommand.h"
#include "platform/Text.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/CBase64.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/keys/TokenPins.h"
#include "discovery/keys/TokenSessions.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kTextSize = 1024;

// Windows-1251 text cut at the field; a value that fills it has no terminating zero.
template <size_t N>
void PutField(char (&field)[N], const tinyxml2::XMLElement* element) {
    WriteTextField(field, ParamText(element, kTextSize), FieldEnd::MayFill);
}

int32_t Decimal(const tinyxml2::XMLElement* element, int32_t absent) {
    const std::string text = ElementText(element);
    return text.empty() ? absent : static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

// Lines of a token password: "PIN", "PIN\r\nthird" or "PIN\r\nsecond\r\nthird".
struct TokenPass {
    SecretString pin, second, third;
};
TokenPass SplitTokenPass(const std::string& text) {
    TokenPass p;
    const size_t first = text.find("\r\n");
    if (first == std::string::npos) {
        p.pin = text;
        return p;
    }
    p.pin = text.substr(0, first);
    const size_t second = text.find("\r\n", first + 2);
    if (second == std::string::npos) {
        p.third = text.substr(first + 2);
    } else {
        p.second = text.substr(first + 2, second - first - 2);
        p.third = text.substr(second + 2);
    }
    return p;
}

void AddRequest(tinyxml2::XMLElement* data, const char* name, const provider::Output& request,
                const CertRequestSubject& subject) {
    if (request.empty()) return;
    tinyxml2::XMLElement* e = AddTextElement(data, name, Base64Encode(request.data(), request.size()));
    e->SetAttribute("subjectKeyIdentifier",
                    std::string(subject.SubjectKeyId, strnlen(subject.SubjectKeyId, sizeof subject.SubjectKeyId)).c_str());
}

}  // namespace

std::optional<SubjectRecord> ReadSubject(const tinyxml2::XMLElement* element) {
    SubjectRecord s;
    CertRequestSubject& r = s.record;
    std::memset(&r, 0, sizeof r);
    r.SigningSchema = 9;
    for (const tinyxml2::XMLElement* e = element ? element->FirstChildElement() : nullptr; e;
         e = e->NextSiblingElement()) {
        const char* n = e->Name();
        auto is = [&](const char* name) { return NameEquals(n, name); };
        if (is("SigningSchema")) r.SigningSchema = Decimal(e, 9);
        else if (is("EDRPOU")) PutField(r.EDRPOU, e);
        else if (is("DRFO")) PutField(r.DRFO, e);
        else if (is("Name")) PutField(r.Name, e);
        else if (is("Email")) PutField(r.Email, e);
        else if (is("Title")) PutField(r.Title, e);
        else if (is("PostalCode")) PutField(r.PostalCode, e);
        else if (is("Obl")) PutField(r.Obl, e);
        else if (is("Rayon")) PutField(r.Rayon, e);
        else if (is("Adres")) PutField(r.Adres, e);
        else if (is("Tel")) PutField(r.Tel, e);
        else if (is("Qualifier")) PutField(r.Qualifier, e);
        else if (is("Surname")) PutField(r.Surname, e);
        else if (is("GivenName")) PutField(r.GivenName, e);
        else if (is("SerialNumber")) PutField(r.SerialNumber, e);
        else if (is("OrganizationName")) PutField(r.OrganizationName, e);
        else if (is("OrganizationalUnitName")) PutField(r.OrganizationalUnitName, e);
        else if (is("EDDRU")) PutField(r.EDDRU, e);
        else if (is("KeyUsage")) r.KeyUsage = static_cast<uint32_t>(Decimal(e, 0));
        else if (is("ExtKeyUsage")) r.ExtKeyUsage = static_cast<uint32_t>(Decimal(e, 0));
        else if (is("IsQualified")) r.IsQualified = IsTrueText(ElementText(e)) ? 1 : 0;
        else if (is("IsKeyInDevice")) r.IsKeyInDevice = IsTrueText(ElementText(e)) ? 1 : 0;
        else if (is("CurrencyCode")) PutField(r.CurrencyCode, e);
        else if (is("TransactionLimit")) {
            r.HasTransactionLimit = 1;
            r.LimitAmount = Decimal(LastChild(e, "Amount"), 0);
            r.LimitExponent = Decimal(LastChild(e, "Exponent"), 0);
        } else if (is("ExtKeyUsageExt")) {
            for (const tinyxml2::XMLElement* oid : Children(e, "OID")) {
                const std::string text = ElementText(oid);
                if (text.empty()) continue;
                // A cut identifier would name another usage: refused rather than cut.
                if (text.size() >= ZK_NAME_SIZE || s.oids.size() >= kMaxSubjectOids) return std::nullopt;
                s.oids.emplace_back();
                std::memcpy(s.oids.back().data(), text.data(), text.size());
            }
        }
    }
    // A three-letter code and its terminating zero fill the field.
    r.CurrencyCode[sizeof r.CurrencyCode - 1] = '\0';
    if (!r.CurrencyCode[0]) std::memcpy(r.CurrencyCode, "UAH", 4);
    r.ExtKeyUsageCount = static_cast<int32_t>(s.oids.size());
    return s;
}

bool GenCertifRequestCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                             std::string& answer) {
    const tinyxml2::XMLElement* first = LastChild(params, "Subject1");
    const tinyxml2::XMLElement* second = LastChild(params, "Subject2");
    const PasswordParam pass = ReadPasswordParam(params);
    if (!first || !pass.present || pass.text.empty()) return false;
    std::optional<SubjectRecord> s1 = ReadSubject(first), s2;
    if (!s1) return false;
    if (second && !(s2 = ReadSubject(second))) return false;
    // The records point into their own identifier lists (not moved from here on).
    static_assert(sizeof(std::array<char, ZK_NAME_SIZE>) == sizeof(ZKName));
    for (SubjectRecord* s : {&*s1, s2 ? &*s2 : nullptr})
        if (s && !s->oids.empty()) s->record.ExtKeyUsageOids = reinterpret_cast<ZKName*>(s->oids.data());
    CertRequestSubject* record2 = s2 ? &s2->record : nullptr;

    const std::string dongle = ParamText(LastChild(params, "DongleProviderName"), kTextSize);
    provider::CertRequestOutputs out;
    int code;
    if (dongle.empty()) {
        code = provider::CreateSimpleCertRequest(ZK_SITE("GenCertifRequest"), pass.text.c_str(), s1->record, record2, out);
    } else {
        const TokenPass p = SplitTokenPass(pass.text.str());
        const int32_t slot = SlotIdParam(params, "DongleSlotId");
        LetGoOfToken(dongle, slot);  // the key is made on the token: its kept session goes first
        code = TryTokenPin(dongle, slot, TokenPin::User, p.pin.str(), [&] {
            return provider::DonglesCreateSimpleCertRequest(ZK_SITE("GenCertifRequest"), p.pin.c_str(), dongle.c_str(),
                                                            slot, p.second.c_str(), p.third.c_str(), s1->record,
                                                            record2, out);
        });
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    if (code == 0) {
        if (!out.keyContainer.empty()) {
            std::string key = Base64Encode(out.keyContainer.data(), out.keyContainer.size());
            AddTextElement(data, "PrivateKey", key);
            SecureWipe(key);
        }
        AddRequest(data, "Request1", out.request1, s1->record);
        if (s2) AddRequest(data, "Request2", out.request2, s2->record);
    }
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
