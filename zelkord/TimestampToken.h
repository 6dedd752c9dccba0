// RFC 3161 timestamp tokens and responses, read and checked in one place for
// every operation that meets them: the timestamp requests, the description of
// a response, signature timestamps added to containers and the RFC 5544
// timestamped data of protected documents.
#pragma once
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "provider/ZelkorD.h"
#include "zelkord/Ossl.h"

namespace zkd {

using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslFree<PKCS7_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, OsslFree<TS_TST_INFO_free>>;

// A token and what it states.
struct TimestampToken {
    Pkcs7Ptr token;  // owned, unless read from a structure that owns it (see ReadTokenOf)
    PKCS7* p7 = nullptr;
    TstInfoPtr tst;
};

// A token given as its DER (a ContentInfo that fills the bytes exactly):
// 0, or 10 when it is none.
int ReadTimestampToken(const uint8_t* der, size_t len, TimestampToken& out);
// The statement of a token that another structure owns: 0, or 10.
int ReadTokenOf(PKCS7* token, TimestampToken& out);

// What a token without its service's certificate comes to when none is at
// hand either: a failure (for whatever relies on the token), or a token
// described without the check of its signature.
enum class WithoutServiceCert { Fails, Unchecked };

// The token's signature over its statement, checked with the service's
// certificate: the one the token carries, else one at hand (CertsAtHand.h)
// that the token's signer identifier names. Its chain is the verifier's
// concern. 0, or 11 (also when no certificate is found, unless missing is
// Unchecked: then 0 without a check).
int CheckTokenSignature(const TimestampToken& t, WithoutServiceCert missing = WithoutServiceCert::Fails);

// The imprint's digest over parts (hashed one after the other) equals the
// imprint: 0; 21 when its algorithm is unknown; 27 when it differs ("the
// timestamp was made over another " + what).
int CheckImprintOver(const TimestampToken& t, std::span<const std::span<const uint8_t>> parts, const std::string& what);

// Fills the record from a token: Hash (the imprint, at most 32 bytes), Time,
// Serial, and the service's certificate into the caller's CertBuffer when it
// fits (CertLength: its length, 0 when none or too large). Status and
// FailInfo are left as they are.
void FillTimestampInfo(const TimestampToken& t, TimestampInfo& info);

// A TimeStampResp: its status and failure information bits, and the token
// when the status grants one.
struct TimestampResponse {
    int status = 0;     // PKIStatus: 0 granted, 1 granted with modifications, 2 rejection, ...
    int failInfo = 0;   // PKIFailureInfo bit n as 1 << n
    Bytes tokenDer;     // the token's bytes as the response holds them; empty without one
    TimestampToken token;
    bool granted() const { return status == 0 || status == 1; }
};
// 0, or 10 when the bytes are no TimeStampResp (or a granting one holds no
// readable token).
int ReadTimestampResponse(const uint8_t* der, size_t len, TimestampResponse& out);

}  // namespace zkd
