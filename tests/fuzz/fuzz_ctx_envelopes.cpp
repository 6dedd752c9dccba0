// Envelope parsing in the provider, through the façade as the envelope
// commands call it: the input as an envelope given to every operation that
// reads one (type, recipients, originator certificates, decryption), and the
// input as edits to a real envelope made at start-up for a key made at
// start-up, opened with that key, so that decryption itself meets damaged
// structures and ciphertexts. Nothing may crash, read out of bounds or leak.
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "provider/Invoke.h"
#include "provider/Operations.h"
#include "ProviderForFuzzing.h"

namespace {

constexpr char kPass[] = "fuzz";

struct Party {
    std::vector<uint8_t> cert, keyFile, envelope;
};
Party party;

std::vector<uint8_t> Der(X509* x) {
    std::vector<uint8_t> out(static_cast<size_t>(i2d_X509(x, nullptr)));
    uint8_t* p = out.data();
    i2d_X509(x, &p);
    return out;
}

// A P-256 key with a self-signed certificate, and its PKCS#12 key file.
void MakeParty() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    if (!key || !x) abort();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, key);
    if (X509_sign(x, key, EVP_sha256()) <= 0) abort();
    PKCS12* p12 = PKCS12_create(kPass, nullptr, key, x, nullptr, 0, 0, 0, 0, 0);
    if (!p12) abort();
    party.cert = Der(x);
    party.keyFile.resize(static_cast<size_t>(i2d_PKCS12(p12, nullptr)));
    uint8_t* p = party.keyFile.data();
    i2d_PKCS12(p12, &p);
    PKCS12_free(p12);
    X509_free(x);
    EVP_PKEY_free(key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LoadProviderForFuzzing("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n");

    MakeParty();
    using namespace zk::provider;
    static const uint8_t kContent[] = "a document of some length, longer than one block of the cipher";
    Output envelope;
    const std::vector<ByteView> recipients{ByteView(party.cert)};
    if (CtxEncryptData(Site{}, ByteView(kContent, sizeof kContent), {party.cert, {party.keyFile}, kPass}, recipients,
                       envelope) != 0)
        abort();
    party.envelope.assign(envelope.data(), envelope.data() + envelope.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zk::provider;
    const Site quiet{};
    const KeyRef key{party.keyFile};

    auto everything = [&](ByteView envelope) {
        int32_t type = 0;
        Invoke<ZK_EXPORT(ZKLCTX_GetEnvelopeType)>(quiet, envelope, &type);
        std::vector<ProviderCertInfo> recipients;
        CtxEnumerateRecipients(quiet, envelope, recipients);
        std::vector<uint8_t> cert;
        CtxGetOriginatorCertificate(quiet, envelope, 0, cert);
        CtxGetOriginatorCertificate(quiet, envelope, 1, cert);
        Output plain;
        const int opened = CtxDecryptData(quiet, envelope, key, kPass, {}, party.cert, plain);
        // The same plaintext written over the envelope where it lies.
        std::vector<uint8_t> over(envelope.begin(), envelope.end());
        Overwrite place{over};
        const int openedOver = Invoke<ZK_EXPORT(ZKLCTX_DecryptData)>(quiet, ByteView(over), key, kPass, ByteView{},
                                                                     party.cert, place);
        if (openedOver != opened) abort();
        if (opened == 0 && (place.written != plain.size() || !std::equal(plain.data(), plain.data() + plain.size(),
                                                                          over.begin())))
            abort();
    };
    everything(ByteView(data, size));

    // The input as (offset, value) edits of the real envelope, and a new length.
    if (size >= 2) {
        std::vector<uint8_t> edited = party.envelope;
        for (size_t i = 0; i + 2 < size; i += 3) {
            const size_t at = ((static_cast<size_t>(data[i]) << 8) | data[i + 1]) % edited.size();
            edited[at] ^= data[i + 2];
        }
        const size_t cut = edited.size() - (data[size - 1] % 4 == 0 ? data[size - 2] % edited.size() : 0);
        edited.resize(cut);
        everything(ByteView(edited));
    }
    return 0;
}
