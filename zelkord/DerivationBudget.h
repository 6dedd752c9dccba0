// The work of the password-based key derivations that a key file or key
// store asks for. Whoever made the file chose it: a PKCS#12 MAC or PBES2
// iteration count of 2^31 - 1 would keep a thread busy for minutes, and a
// file may hold many encrypted parts. Every count is read from the
// algorithm parameters before anything is derived, and one file may ask for
// kMaxKeyDerivationIterations in all; beyond that it is refused at once.
//
// A Java key store needs no such count: its integrity digest is one SHA-1
// over the store and its key protector one SHA-1 per 20 bytes of a key, both
// bounded by the store's size (kMaxKeyFileSize).
#pragma once
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdint>

namespace zkd {

// The most iterations the derivations of one key file or store may take
// together: each PBKDF2, PKCS#12 key generation or MAC counts its iteration
// count, scrypt counts N * r * p. Files made by common tools use 2,048 to
// 600,000 per derivation; 10^7 takes a few seconds of one core.
constexpr uint64_t kMaxKeyDerivationIterations = 10'000'000;

// The most memory one scrypt derivation may ask for (128 * r * (N + p + 2)
// bytes): OpenSSL's own bound for the scrypt of PBES2, said here so that a
// file beyond it is refused as such, not as a wrong password.
constexpr uint64_t kMaxScryptMemory = 32u << 20;

// What a file may still ask for. Each Spend takes the work of derivations
// about to run (or, better, of all that can be seen before the first one
// runs): 0 while the file stays within the cap; 7 (incorrect secret key
// format) when it goes beyond, or when the parameters of a password-based
// scheme cannot be read. Code 7 because such a file is not one this system
// takes as a key file, as with any other key file it cannot read; 10 (file
// damaged) would tell the user that a file made with a high count is broken.
class DerivationBudget {
public:
    // One algorithm identifier: PBES2 (PBKDF2 or scrypt), a PKCS#5 v1.5 or
    // PKCS#12 password-based scheme (whatever its cipher); any other
    // algorithm derives nothing from a password and costs nothing.
    int Spend(const X509_ALGOR* alg);
    // The file's MAC (none: nothing), tried `tries` times.
    int SpendMac(const PKCS12* p12, unsigned tries);
    int SpendIterations(uint64_t iterations);

    uint64_t Left() const { return left_; }

private:
    uint64_t left_ = kMaxKeyDerivationIterations;
};

}  // namespace zkd
