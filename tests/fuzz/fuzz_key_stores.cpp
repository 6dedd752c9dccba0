// Key store reading in the provider (PKCS#12 files and Java key stores),
// through the façade as CTX_GET_JKS_CERTS and CTX_GET_JKS_KEYS call it.
// A Java key store is trusted only when its keyed digest matches, which
// random bytes never do: when the first byte of the input is odd, the rest
// is taken as a store body and given the right digest for the password, so
// that the entries behind the digest (certificates, protected keys) are
// reached too. The same bytes are opened as a key file (PKCS#12, PKCS#8 in
// DER or PEM, or a Java key store). With bit 2 of the first byte the store's
// certificates are also listed without a password. Nothing may crash, read
// out of bounds or leak.
//
// Key derivations: counts beyond the cap are refused before any runs (the
// seeds hold such counts, made with tests/integration's DER patcher); within
// it the host gives a request up after a few questions, as a client gone
// would, so that no input derives for long and the give-up path is taken.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/SecureWipe.h"
#include "provider/Operations.h"
#include "ProviderForFuzzing.h"

namespace {

constexpr char kPass[] = "fuzz";

// The host's give-up check: a few hundred digest steps per input are enough
// to reach every path behind a derivation.
constexpr int kQuestionsPerInput = 8;
thread_local int t_questions = 0;
int GiveUpSoon() { return ++t_questions > kQuestionsPerInput; }

// The body followed by SHA-1(password as UTF-16BE, "Mighty Aphrodite", body).
std::vector<uint8_t> WithDigest(const uint8_t* body, size_t len) {
    static const uint8_t kPassUtf16[] = {0, 'f', 0, 'u', 0, 'z', 0, 'z'};
    static const char kWhitener[] = "Mighty Aphrodite";
    std::vector<uint8_t> out(body, body + len);
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx, kPassUtf16, sizeof kPassUtf16) != 1 ||
        EVP_DigestUpdate(ctx, kWhitener, sizeof kWhitener - 1) != 1 || EVP_DigestUpdate(ctx, body, len) != 1 ||
        EVP_DigestFinal_ex(ctx, digest, &n) != 1)
        abort();
    EVP_MD_CTX_free(ctx);
    out.insert(out.end(), digest, digest + n);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LoadProviderForFuzzing("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n");
    zk::provider::Call<&zk::provider::Exports::ZKLSVC_SetGiveUpCheck>(&GiveUpSoon);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zk::provider;
    if (size == 0) return 0;
    t_questions = 0;
    const bool digested = data[0] & 1;
    const std::vector<uint8_t> store = digested ? WithDigest(data + 1, size - 1) : std::vector<uint8_t>(data + 1, data + size);
    const Site quiet{};

    std::vector<std::vector<uint8_t>> certs;
    CtxGetCertsFromStore(quiet, store, (data[0] & 2) != 0, kPass, certs);
    if (data[0] & 4) {  // without a password: certificates read unchecked, keys left shut
        std::vector<std::vector<uint8_t>> unchecked;
        t_questions = 0;
        CtxGetCertsFromStore(quiet, store, (data[0] & 2) != 0, nullptr, unchecked);
    }
    // The store's own certificates ask for their keys, with one that is none.
    std::vector<ByteView> wanted;
    for (size_t i = 0; i < certs.size() && i < 4; ++i) wanted.emplace_back(certs[i]);
    wanted.emplace_back(store.data(), std::min<size_t>(store.size(), 64));
    std::vector<zk::SecretBytes> keys;
    std::vector<std::string> unprocessed;
    CtxGetKeysFromStore(quiet, store, kPass, wanted, keys, unprocessed);
    t_questions = 0;
    KeyIds ids;
    GetSubjectKeyIdentifier(quiet, store, kPass, ids);
    return 0;
}
