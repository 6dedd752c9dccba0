// The certificate facts of ProviderCertInfo, read from standard X.509 fields:
//   Name, SubjectCN CN; OrgNm O; UnitName OU; Title title; Email emailAddress,
//   else the first e-mail of subjectAltName; PostalCode postalCode; Obl ST;
//   Rayon L; Adres street; Tel telephoneNumber; Country C; Surname SN;
//   GivenName GN; SerialNumber the subject's serialNumber;
//   EDRPOU, DRFO, EDDRU the subject directory attributes
//   1.2.804.2.1.1.1.11.1.4.2.1, ...4.1.1 and ...4.7.1 (EDRPOU else
//   organizationIdentifier "NTRUA-...", DRFO else serialNumber "TINUA-...");
//   Issuer the issuer's CN (else O); IssuerSN the issuer's serialNumber;
//   SN the serial number, Serial the key identifier (CertKeyIdentifier), both
//   upper-case hex; IssuerDN, SubjectDN one-line names;
//   DateBeg, DateEnd seconds since 1970 (UTC); an end of 9999-12-31 23:59:59
//   ("no well-defined expiration") is 0, times beyond 2038 are held at the
//   largest 32-bit value;
//   KeyUsage the key usage bits as OpenSSL gives them (low byte = first byte
//   of the bit string), 0 without the extension;
//   ExtKeyUsage OpenSSL's XKU_* bits (XKU_SSL_SERVER 0x1, XKU_SSL_CLIENT 0x2,
//   XKU_SMIME 0x4, XKU_CODE_SIGN 0x8, XKU_SGC 0x10, XKU_OCSP_SIGN 0x20,
//   XKU_TIMESTAMP 0x40, XKU_DVCS 0x80, XKU_ANYEKU 0x100), 0 without the
//   extension; the dotted identifiers go into the caller's slots in order;
//   IsQualified, IsKeyInDevice the QcCompliance and QcSSCD statements;
//   AccessOCSP, AccessTSP the OCSP and timestamping access points of the
//   authority (else subject) information access extensions;
//   Type 1 signing (digitalSignature or nonRepudiation only), 2 encryption
//   (keyEncipherment, dataEncipherment or keyAgreement only), 3 both,
//   0 neither (no key usage, or certificate signing only).
// Texts are converted from UTF-8 to Windows-1251 and cut to their fields.
#pragma once
#include <openssl/x509.h>

#include "provider/ZelkorD.h"

namespace zkd {

void FillCertInfo(X509* cert, ProviderCertInfo& info);

// What an identifier of a certificate (issuer and serial number, or subject
// key identifier; either part may be null) tells of it: SN, IssuerSN,
// Issuer and IssuerDN, or Serial. Other fields are left as they are.
void FillRecipientId(const X509_NAME* issuer, const ASN1_INTEGER* serial, const ASN1_OCTET_STRING* keyId,
                     ProviderCertInfo& info);

// Parses DER or PEM certificate bytes and fills info; 0, or 3 when the bytes
// hold no certificate.
int DescribeCertificate(const uint8_t* data, uint32_t len, ProviderCertInfo* info);

}  // namespace zkd
