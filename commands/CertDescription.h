// How answers describe a certificate: the compact list entry (one "Cert"
// element whose facts are attributes and whose text names the file) and the
// detailed description (a run of child elements). Every command that renders
// a certificate uses these, so all of them render it the same way.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml2.h>

#include "discovery/CertListFunc.h"
#include "provider/ZelkorD.h"

namespace zk {

// CanCrypt: data encipherment or key agreement. CanSign: digital signature
// and non-repudiation both.
bool CanCrypt(uint32_t keyUsage);
bool CanSign(uint32_t keyUsage);

// The list entry: a "Cert" element under parent with the attributes DRFO,
// EDRPOU, Name, OrgNm, Type, Serial, Issuer, IssuerSN, SN, DateBeg, DateEnd,
// CanCrypt, CanSign ("1"/"0"), IsQualified, IsKeyInDevice ("true"/"false"),
// and the file's path token as text.
tinyxml2::XMLElement* AppendCertEntry(tinyxml2::XMLElement* parent, const CertRecord& record);

struct CertDetailOptions {
    const std::string* accessOcsp = nullptr;  // the container rendering: AccessOCSP after Serial
    bool extKeyUsage = false;                 // ExtKeyUsageExt with one OID per identifier, when there are any
};

// The detailed description: DRFO, EDRPOU, Name, OrgNm, Issuer, Email, Title,
// PostalCode, Obl, Rayon, Adres, Tel, SN, IssuerSN, UnitName, EDDRU, Serial,
// [AccessOCSP], Type, DtBeg, DtEnd, CanCrypt, CanSign, IsQualified,
// IsKeyInDevice (flags "true"/"false"), [ExtKeyUsageExt], appended to holder.
void AppendCertDetails(tinyxml2::XMLElement* holder, const CertRecord& record, const CertDetailOptions& options = {});
// The same from the provider's record, with its OCSP access point (the
// rendering of the signed-container commands).
void AppendCertDetails(tinyxml2::XMLElement* holder, const ProviderCertInfo& info, const std::vector<std::string>& eku);

// A file path as the page sees it (Base64 of its UTF-8 bytes) and back.
std::string PathToken(const std::string& path);
std::string PathFromToken(std::string_view token);

}  // namespace zk
