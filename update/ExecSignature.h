// The signature of an update's digest list: a detached CMS SignedData
// ("digest.txt.sig", DER or PEM) over the list's bytes, made with the key of
// one configured certificate (UpdateSigner). The certificate is the trust
// anchor itself: no chain is built, so neither the system's store nor an
// issuer can take its place.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zk::update {

// True when signature is a detached CMS SignedData over content whose every
// signer is the certificate in signerCertFile (PEM or DER), with a valid
// signature. Otherwise false, logged as
// "VerifyDetachedSignature File '<name>': <reason>".
bool VerifyDetachedSignature(const std::string& name, const std::vector<uint8_t>& content,
                             const std::vector<uint8_t>& signature, const std::string& signerCertFile);

}  // namespace zk::update
