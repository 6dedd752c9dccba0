#include "zelkord/Ossl.h"

#include "zelkord/ParsedCerts.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace zkd {
namespace {

int SinkWrite(BIO* bio, const char* data, int len) {
    auto* sink = static_cast<SinkTarget*>(BIO_get_data(bio));
    if (!sink || len < 0) return -1;
    if (sink->written > sink->cap || static_cast<size_t>(len) > sink->cap - sink->written) {
        sink->overflow = true;
        return -1;
    }
    if (len) std::memcpy(sink->out + sink->written, data, static_cast<size_t>(len));
    sink->written += static_cast<size_t>(len);
    return len;
}

long SinkCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int SinkCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// A method made once and freed when the library is unloaded.
struct Method {
    BIO_METHOD* method;
    ~Method() { BIO_meth_free(method); }
};

const BIO_METHOD* SinkMethod() {
    static const Method holder{[] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "buffer sink");
        if (m) {
            BIO_meth_set_write(m, SinkWrite);
            BIO_meth_set_ctrl(m, SinkCtrl);
            BIO_meth_set_create(m, SinkCreate);
        }
        return m;
    }()};
    return holder.method;
}

struct Source {
    const uint8_t* data;
    size_t left;
};

int SourceRead(BIO* bio, char* out, int len) {
    auto* source = static_cast<Source*>(BIO_get_data(bio));
    if (!source || len <= 0) return 0;
    const size_t n = std::min(source->left, static_cast<size_t>(len));
    if (n) std::memcpy(out, source->data, n);
    source->data += n;
    source->left -= n;
    return static_cast<int>(n);
}

long SourceCtrl(BIO* bio, int cmd, long, void*) {
    auto* source = static_cast<Source*>(BIO_get_data(bio));
    switch (cmd) {
        case BIO_CTRL_EOF:
            return !source || source->left == 0;
        case BIO_CTRL_PENDING:
            return source ? static_cast<long>(std::min<size_t>(source->left, LONG_MAX)) : 0;
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            return 0;
    }
}

int SourceDestroy(BIO* bio) {
    delete static_cast<Source*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

const BIO_METHOD* SourceMethod() {
    static const Method holder{[] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "buffer source");
        if (m) {
            BIO_meth_set_read(m, SourceRead);
            BIO_meth_set_ctrl(m, SourceCtrl);
            BIO_meth_set_create(m, SinkCreate);
            BIO_meth_set_destroy(m, SourceDestroy);
        }
        return m;
    }()};
    return holder.method;
}

}  // namespace

BioPtr NewBufferSource(const uint8_t* data, size_t len) {
    const BIO_METHOD* method = SourceMethod();
    BioPtr bio(method ? BIO_new(method) : nullptr);
    if (bio) BIO_set_data(bio.get(), new Source{data, len});
    return bio;
}

BioPtr NewBufferSink(SinkTarget* target) {
    const BIO_METHOD* method = SinkMethod();
    BioPtr bio(method ? BIO_new(method) : nullptr);
    if (bio) BIO_set_data(bio.get(), target);
    return bio;
}

X509Ptr ParseCertificate(const uint8_t* data, size_t len) {
    if (!data || len == 0 || len > INT_MAX) return nullptr;
    if (X509Ptr cached = FindParsedCert(data, len)) return cached;
    const unsigned char* p = data;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(len)));
    if (!cert) {
        BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(len)));
        if (bio) cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        ERR_clear_error();
    }
    if (cert) KeepParsedCert(data, len, cert.get());
    return cert;
}

std::string HexUpper(const uint8_t* data, size_t len) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

std::string CertKeyIdentifier(X509* cert) {
    if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert))
        return HexUpper(ASN1_STRING_get0_data(ski), static_cast<size_t>(ASN1_STRING_length(ski)));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (X509_pubkey_digest(cert, EVP_sha1(), md, &mdLen) != 1) return {};
    return HexUpper(md, mdLen);
}

Bytes PublicKeyIdentifierBytes(EVP_PKEY* key) {
    X509_PUBKEY* pub = nullptr;
    if (X509_PUBKEY_set(&pub, key) != 1) return {};
    const unsigned char* bits = nullptr;
    int bitsLen = 0;
    Bytes id;
    if (X509_PUBKEY_get0_param(nullptr, &bits, &bitsLen, nullptr, pub) == 1) {
        id.resize(SHA_DIGEST_LENGTH);
        SHA1(bits, static_cast<size_t>(bitsLen), id.data());
    }
    X509_PUBKEY_free(pub);
    return id;
}

std::string PublicKeyIdentifier(EVP_PKEY* key) {
    Bytes id = PublicKeyIdentifierBytes(key);
    return id.empty() ? std::string() : HexUpper(id.data(), id.size());
}

}  // namespace zkd
