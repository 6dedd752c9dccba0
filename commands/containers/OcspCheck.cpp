#include "commands/containers/OcspCheck.h"

#include <cstring>
#include <string>

#include "base/CBase64.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"

namespace zk {
namespace {

template <size_t N>
std::string Field(const char (&text)[N]) {
    return std::string(text, strnlen(text, N));
}

// A SenderCert given alone names its key by the certificate's key identifier.
void NameKeyByCertificate(SignerParams& p) {
    if (!p.senderCert || p.senderKey || !p.dongleProvider.empty() || !p.serial.empty() || !p.drfo.empty()) return;
    ProviderCertInfo info{};
    info.Type = -1;
    if (provider::Invoke<ZK_EXPORT(ZKLCTX_GetCertInfo)>(ZK_SITE("LocateOcspRequester"), provider::ByteView(*p.senderCert), &info) == 0) p.serial = Field(info.Serial);
}

}  // namespace

std::optional<OcspRequester> LocateOcspRequester(const tinyxml2::XMLElement* parent) {
    SignerParams p = ReadSignerParams(parent, 0);
    p.lib = "QLB";  // the container commands locate files with the one library
    OcspRequester r;
    if (!p.senderCert && p.drfo.empty() && p.serial.empty()) {
        if (p.pass.present || p.senderKey || !p.dongleProvider.empty()) return std::nullopt;
        return r;  // unsigned
    }
    NameKeyByCertificate(p);
    r.signs = true;
    r.location = LocateSigner(p);
    return r;
}

int RequestOcsp(const provider::Site& site, std::span<const provider::ByteView> certs, const OcspRequester& requester,
                const provider::ServiceTarget& target, size_t responseCapacity, provider::OcspOutcome& out) {
    const SignerLocation& loc = requester.location;
    const provider::KeyRef none;
    return provider::CtxRequestOCSP(site, certs, requester.signs ? provider::ByteView(loc.cert) : provider::ByteView(),
                                    requester.signs ? loc.Key() : none,
                                    requester.signs ? loc.password.c_str() : "", target, responseCapacity, out);
}

void AppendOcspInfo(tinyxml2::XMLElement* parent, const OcspInfo& info, std::span<const OcspCertStatus> statuses) {
    tinyxml2::XMLElement* e = AddTextElement(parent, "Info", "");
    AddTextElement(e, "Status", std::to_string(info.Status));
    AddTextElement(e, "ProducedAt", DateText(info.ProducedAt));
    AddTextElement(e, "SignerKeyIdentifier", Field(info.SignerKeyIdentifier));
    tinyxml2::XMLElement* subject = AddTextElement(e, "SignerSubjectInfo", "");
    AddTextElement(subject, "DRFO", Field(info.DRFO));
    AddTextElement(subject, "EDRPOU", Field(info.EDRPOU));
    AddTextElement(subject, "Name", Field(info.Name));
    AddTextElement(subject, "OrgNm", Field(info.OrgNm));
    AddTextElement(subject, "Email", Field(info.Email));
    AddTextElement(subject, "Title", Field(info.Title));
    AddTextElement(subject, "PostalCode", Field(info.PostalCode));
    AddTextElement(subject, "Obl", Field(info.Obl));
    AddTextElement(subject, "Rayon", Field(info.Rayon));
    AddTextElement(subject, "Adres", Field(info.Adres));
    AddTextElement(subject, "Tel", Field(info.Tel));
    AddTextElement(subject, "SN", Field(info.SN));
    AddTextElement(subject, "UnitName", Field(info.UnitName));
    AddTextElement(subject, "EDDRU", Field(info.EDDRU));
    tinyxml2::XMLElement* certs = AddTextElement(e, "Certs", "");
    for (const OcspCertStatus& s : statuses) {
        tinyxml2::XMLElement* cert = AddTextElement(certs, "Cert", "");
        AddTextElement(cert, "CertID", Field(s.CertID));
        AddTextElement(cert, "Status", std::to_string(s.Status));
        AddTextElement(cert, "Reason", std::to_string(s.Reason));
        if (s.RevocationTime)
            AddTextElement(cert, "RevocationDate", DateText(s.RevocationTime));
        else
            AddNilElement(cert, "RevocationDate");
        AddTextElement(cert, "ThisUpdate", DateText(s.ThisUpdate));
    }
}

void AppendOcspAnswer(tinyxml2::XMLElement* parent, const provider::OcspOutcome& out) {
    AddTextElement(parent, "Response", Base64Encode(out.response.data(), out.response.size()));
    AddTextElement(parent, "WSAResponse", std::to_string(out.socketError));
    AppendOcspInfo(parent, out.info, out.statuses);
}

}  // namespace zk
