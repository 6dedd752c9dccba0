// Certificate requests: a new key pair (or two) and a PKCS#10 request for each
// subject record, the keys either in a key container for the page
// (ZKLCTX_CreateSimpleCertRequest) or on a hardware token
// (ZKLDongles_CreateSimpleCertRequest).
//
// The request's subject follows the certificate facts the provider reads back
// (CertInfo.h): CN Name, O OrganizationName, OU OrganizationalUnitName,
// title, emailAddress, postalCode, ST Obl, L Rayon, street Adres,
// telephoneNumber Tel, SN Surname, GN GivenName, serialNumber SerialNumber,
// dnQualifier Qualifier. Requested extensions: keyUsage (critical, from the
// KeyUsage bits), extendedKeyUsage (the record's identifiers in their order,
// then those of the ExtKeyUsage bits), subjectKeyIdentifier (SHA-1 of the
// public key bits), subjectDirectoryAttributes with DRFO, EDRPOU and EDDRU,
// and qcStatements (QcCompliance, QcSSCD, QcLimitValue with the transaction
// limit).
//
// SigningSchema chooses the key: 9 EC P-256 (SHA-256), 10 EC P-384
// (SHA-384), 1 RSA 2048, 2 RSA 3072, 3 RSA 4096 (SHA-256); others answer 2.
#pragma once
#include "provider/ZelkorD.h"
#include "zelkord/Ossl.h"
#include "zelkord/TokenObjects.h"

namespace zkd {

// The key a signing schema asks for: 0, or 2 for an unknown schema.
int KeyKindForSchema(int32_t schema, KeyPairKind& kind);

// The DER request for subject, with publicKey, signed by key. 0, or 22 when
// the subject cannot be encoded (a text too long or of the wrong kind for
// its attribute, a malformed identifier) or the signing fails.
int BuildCertRequest(const CertRequestSubject& subject, EVP_PKEY* key, EVP_PKEY* publicKey, Bytes& der);

// The most a request for subject can take, for the sizing call.
size_t RequestSizeBound(const CertRequestSubject* subject);

}  // namespace zkd
