#include "zelkord/Envelope.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "zelkord/CertInfo.h"
#include "zelkord/Der.h"
#include "zelkord/Errors.h"

namespace zkd {
namespace {

constexpr uint8_t kOidEnveloped[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};

// Room for the envelope's own structure (version, algorithms, IV, headers)
// and for one recipient entry besides the two copies of certificate-sized
// data it may hold (an issuer name, an encrypted or ephemeral key).
constexpr size_t kStructureSlack = 1024;
constexpr size_t kRecipientSlack = 512;
constexpr size_t kBlock = 16;        // AES block: CBC pads to a whole block, always adding one
constexpr size_t kChunk = 1u << 30;  // BIO calls take int lengths

size_t CiphertextSize(size_t len) { return (len / kBlock + 1) * kBlock; }

size_t DerSize(X509* cert) {
    const int n = i2d_X509(cert, nullptr);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

Bytes DerOf(CMS_ContentInfo* cms) {
    unsigned char* p = nullptr;
    const int n = i2d_CMS_ContentInfo(cms, &p);
    Bytes out(p, p + (n > 0 ? n : 0));
    OPENSSL_free(p);
    return out;
}

int AddRecipient(CMS_ContentInfo* cms, X509* cert, bool keyIds) {
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    const unsigned idFlag = keyIds ? CMS_USE_KEYID : 0;
    if (pub && EVP_PKEY_is_a(pub, "RSA")) {
        CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms, cert, idFlag | CMS_KEY_PARAM);
        EVP_PKEY_CTX* ctx = ri ? CMS_RecipientInfo_get0_pkey_ctx(ri) : nullptr;
        if (ctx && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0)
            return ZK_E_OK;
    } else if (pub && EVP_PKEY_is_a(pub, "EC")) {
        CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms, cert, idFlag);
        EVP_PKEY_CTX* ctx = ri ? CMS_RecipientInfo_get0_pkey_ctx(ri) : nullptr;
        // Only the digest: setting the KDF type as well makes OpenSSL 3.0 refuse the KDF.
        if (ctx && EVP_PKEY_CTX_set_ecdh_kdf_md(ctx, EVP_sha256()) > 0) return ZK_E_OK;
    } else {
        return Fail(ZK_E_CERT_NOT_USABLE, "the recipient's key is neither RSA nor EC");
    }
    ERR_clear_error();
    return Fail(ZK_E_CERT_NOT_USABLE, "the recipient's certificate cannot take part in an envelope");
}

// Is ri (the key agreement entry's first key, or the key transport entry)
// the recipient of cert?
bool EntryIs(CMS_RecipientInfo* ri, X509* cert) {
    switch (CMS_RecipientInfo_type(ri)) {
        case CMS_RECIPINFO_TRANS:
            return CMS_RecipientInfo_ktri_cert_cmp(ri, cert) == 0;
        case CMS_RECIPINFO_AGREE: {
            STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(ri);
            return sk_CMS_RecipientEncryptedKey_num(keys) > 0 &&
                   CMS_RecipientEncryptedKey_cert_cmp(sk_CMS_RecipientEncryptedKey_value(keys, 0), cert) == 0;
        }
        default:
            return false;
    }
}

// The envelope's elements down to the encrypted content info: ContentInfo,
// its [0], EnvelopedData; the version, the optional originatorInfo, the
// recipient set, the encrypted content info. False when the bytes are not
// laid out so (or are no enveloped data).
struct Layout {
    der::Item info, explicit0, enveloped, version, originators, recipients, content;
    bool hasOriginators = false;
};

bool ReadLayout(const uint8_t* d, size_t len, Layout& l, bool& enveloped) {
    enveloped = false;
    der::Item oid;
    if (!der::ReadItem(d, len, 0, l.info) || l.info.tag != der::kSequence || l.info.End() != len) return false;
    if (!der::ReadItem(d, l.info.End(), l.info.ContentStart(), oid) || oid.tag != der::kOid) return false;
    enveloped = der::ContentEquals(d, oid, kOidEnveloped, sizeof kOidEnveloped);
    if (!enveloped) return false;
    if (!der::ReadItem(d, l.info.End(), oid.End(), l.explicit0) || l.explicit0.tag != der::kContext0 ||
        l.explicit0.End() != l.info.End())
        return false;
    if (!der::ReadItem(d, l.explicit0.End(), l.explicit0.ContentStart(), l.enveloped) ||
        l.enveloped.tag != der::kSequence || l.enveloped.End() != l.explicit0.End())
        return false;
    const size_t end = l.enveloped.End();
    if (!der::ReadItem(d, end, l.enveloped.ContentStart(), l.version) || l.version.tag != der::kInteger) return false;
    size_t at = l.version.End();
    if (!der::ReadItem(d, end, at, l.recipients)) return false;
    if (l.recipients.tag == der::kContext0) {
        l.originators = l.recipients;
        l.hasOriginators = true;
        if (!der::ReadItem(d, end, l.originators.End(), l.recipients)) return false;
    }
    if (l.recipients.tag != der::kSet) return false;
    return der::ReadItem(d, end, l.recipients.End(), l.content) && l.content.tag == der::kSequence;
}

// The elements of a SET or SEQUENCE, in encoded order.
bool Elements(const uint8_t* d, const der::Item& parent, std::vector<der::Item>& out) {
    out.clear();
    for (size_t at = parent.ContentStart(); at < parent.End();) {
        der::Item e;
        if (!der::ReadItem(d, parent.End(), at, e)) return false;
        out.push_back(e);
        at = e.End();
    }
    return true;
}

// The structure OpenSSL encoded, rewritten: recipient entries back in the
// recipe's order (DER sorts a SET by encoding), and originatorInfo with the
// recipe's certificates in its order (version 2, as RFC 5652 wants then).
int Arrange(const Bytes& encoded, const EnvelopeRecipe& recipe, Bytes& out) {
    const uint8_t* d = encoded.data();
    Layout l;
    bool isEnveloped = false;
    std::vector<der::Item> entries;
    if (!ReadLayout(d, encoded.size(), l, isEnveloped) || l.hasOriginators || !Elements(d, l.recipients, entries))
        return Fail(ZK_E_ENVELOPE_ENCODING, "the envelope's structure is not as expected");

    // Which recipe recipient each encoded entry belongs to (OpenSSL keeps
    // the encoded order when it parses).
    const unsigned char* p = d;
    CmsPtr parsed(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(encoded.size())));
    STACK_OF(CMS_RecipientInfo)* infos = parsed ? CMS_get0_RecipientInfos(parsed.get()) : nullptr;
    if (!infos || static_cast<size_t>(sk_CMS_RecipientInfo_num(infos)) != entries.size() ||
        entries.size() != recipe.recipients.size())
        return Fail(ZK_E_ENVELOPE_ENCODING, "the envelope's recipients cannot be matched");
    std::vector<int> entryOf(recipe.recipients.size(), -1);
    for (size_t e = 0; e < entries.size(); ++e) {
        CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(infos, static_cast<int>(e));
        for (size_t r = 0; r < recipe.recipients.size(); ++r)
            if (entryOf[r] < 0 && EntryIs(ri, recipe.recipients[r])) {
                entryOf[r] = static_cast<int>(e);
                break;
            }
    }
    Bytes set(encoded.begin() + static_cast<long>(l.recipients.start),
              encoded.begin() + static_cast<long>(l.recipients.ContentStart()));
    for (int e : entryOf) {
        if (e < 0) return Fail(ZK_E_ENVELOPE_ENCODING, "an envelope recipient was not found again");
        const der::Item& it = entries[static_cast<size_t>(e)];
        set.insert(set.end(), d + it.start, d + it.End());
    }

    Bytes originators;
    if (!recipe.originatorCerts.empty()) {
        Bytes certs;
        for (X509* x : recipe.originatorCerts) {
            unsigned char* c = nullptr;
            const int n = i2d_X509(x, &c);
            if (n <= 0) return Fail(ZK_E_ENVELOPE_ENCODING, "an originator certificate cannot be encoded");
            certs.insert(certs.end(), c, c + n);
            OPENSSL_free(c);
        }
        // originatorInfo [0] IMPLICIT { certificates [0] IMPLICIT SET OF Certificate }
        uint8_t header[2 + sizeof(size_t)];
        const size_t inner = der::WriteHeader(der::kContext0, certs.size(), header);
        originators.assign(header, header + inner);
        originators.insert(originators.end(), certs.begin(), certs.end());
        const size_t outer = der::WriteHeader(der::kContext0, originators.size(), header);
        originators.insert(originators.begin(), header, header + outer);
    }

    // The new EnvelopedData content: version, originatorInfo, the set, the rest.
    if (l.version.length != 1) return Fail(ZK_E_ENVELOPE_ENCODING, "unexpected envelope version");
    const uint8_t version = d[l.version.ContentStart()];
    Bytes body = {der::kInteger, 1, originators.empty() || version >= 2 ? version : uint8_t{2}};
    body.insert(body.end(), originators.begin(), originators.end());
    body.insert(body.end(), set.begin(), set.end());
    body.insert(body.end(), d + l.recipients.End(), d + l.enveloped.End());

    uint8_t header[2 + sizeof(size_t)];
    Bytes oid(d + l.info.ContentStart(), d + l.explicit0.start);
    out.clear();
    const size_t edHeader = der::WriteHeader(der::kSequence, body.size(), header);
    Bytes enveloped(header, header + edHeader);
    enveloped.insert(enveloped.end(), body.begin(), body.end());
    const size_t exHeader = der::WriteHeader(der::kContext0, enveloped.size(), header);
    Bytes explicit0(header, header + exHeader);
    explicit0.insert(explicit0.end(), enveloped.begin(), enveloped.end());
    const size_t ciHeader = der::WriteHeader(der::kSequence, oid.size() + explicit0.size(), header);
    out.assign(header, header + ciHeader);
    out.insert(out.end(), oid.begin(), oid.end());
    out.insert(out.end(), explicit0.begin(), explicit0.end());
    return ZK_E_OK;
}

// Frees the BIOs CMS_dataInit put on top of the sink, the sink excepted.
void FreeChain(BIO* chain, BIO* sink) {
    while (chain && chain != sink) {
        BIO* next = BIO_pop(chain);
        BIO_free(chain);
        chain = next;
    }
}

}  // namespace

size_t EnvelopeSizeBound(size_t len, const EnvelopeRecipe& recipe) {
    size_t bound = CiphertextSize(len) + der::HeaderSize(CiphertextSize(len)) + kStructureSlack;
    for (X509* x : recipe.recipients) bound += 2 * DerSize(x) + kRecipientSlack;
    for (X509* x : recipe.originatorCerts) bound += DerSize(x) + 8;
    return bound;
}

int WriteEnvelope(const uint8_t* content, size_t len, const EnvelopeRecipe& recipe, uint8_t* out, size_t cap,
                  size_t& written) {
    written = 0;
    if (recipe.recipients.empty()) return Fail(ZK_E_BAD_REQUEST_PARAMS, "an envelope needs a recipient");
    static const uint8_t kEmpty = 0;
    if (!content) content = &kEmpty;

    CmsPtr cms(CMS_encrypt(nullptr, nullptr, EVP_aes_256_cbc(), CMS_PARTIAL | CMS_BINARY));
    if (!cms) return Fail(ZK_E_ENVELOPE_ENCODING, "the envelope cannot be created");
    for (X509* r : recipe.recipients)
        if (int rc = AddRecipient(cms.get(), r, recipe.keyIdentifiers)) return rc;
    // The ciphertext goes to the sink; the structure is encoded without it.
    SinkTarget target;
    BioPtr sink = NewBufferSink(&target);
    BIO* chain = sink && CMS_set_detached(cms.get(), 1) == 1 ? CMS_dataInit(cms.get(), sink.get()) : nullptr;
    if (!chain) {
        ERR_clear_error();
        return Fail(ZK_E_ENVELOPE_ENCODING, "the recipients' keys cannot be made");
    }
    struct ChainGuard {
        BIO* chain;
        BIO* sink;
        ~ChainGuard() { FreeChain(chain, sink); }
    } guard{chain, sink.get()};

    // The recipient entries are complete once the content key exists.
    Bytes head;
    if (int rc = Arrange(DerOf(cms.get()), recipe, head)) return rc;
    Layout l;
    bool enveloped = false;
    if (!ReadLayout(head.data(), head.size(), l, enveloped) || l.content.End() != l.enveloped.End())
        return Fail(ZK_E_ENVELOPE_ENCODING, "the envelope's structure is not as expected");
    const size_t ctLen = CiphertextSize(len);
    const size_t ctHeader = der::HeaderSize(ctLen);
    Bytes prefix, suffix;
    der::Splice(head.data(), {l.info, l.explicit0, l.enveloped, l.content}, l.content.End(), l.content.End(),
                ctHeader + ctLen, prefix, suffix);
    const size_t total = prefix.size() + ctHeader + ctLen + suffix.size();
    if (!out || total > cap) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");

    std::memcpy(out, prefix.data(), prefix.size());
    der::WriteHeader(der::kContext0Prim, ctLen, out + prefix.size());
    target.out = out + prefix.size() + ctHeader;
    target.cap = ctLen;
    for (size_t at = 0; at < len;) {
        const size_t n = std::min(len - at, kChunk);
        if (BIO_write(chain, content + at, static_cast<int>(n)) != static_cast<int>(n))
            return Fail(ZK_E_ENVELOPE_ENCODING, "encryption failed");
        at += n;
    }
    if (BIO_flush(chain) != 1 || CMS_dataFinal(cms.get(), chain) != 1 || target.written != ctLen) {
        ERR_clear_error();
        return Fail(ZK_E_ENVELOPE_ENCODING, "encryption failed");
    }
    if (!suffix.empty()) std::memcpy(out + prefix.size() + ctHeader + ctLen, suffix.data(), suffix.size());
    written = total;
    return ZK_E_OK;
}

// --- reading

int EnvelopeReader::Parse(const uint8_t* der, size_t len) {
    cms_.reset();
    ciphertext_ = nullptr;
    ciphertextLen_ = 0;
    recipients_.clear();
    originators_.reset();
    if (!der || len == 0 || len > LONG_MAX) return Fail(ZK_E_DAMAGED, "the envelope is empty");

    Layout l;
    bool enveloped = false;
    der::Item ctype, algorithm, encrypted;
    const bool laidOut = ReadLayout(der, len, l, enveloped);
    if (!laidOut) {
        der::Item info, oid;
        // Plainly another kind of CMS: say so rather than "damaged".
        if (der::ReadHeader(der, len, 0, info) && info.tag == der::kSequence &&
            der::ReadItem(der, len, info.ContentStart(), oid) && oid.tag == der::kOid &&
            !der::ContentEquals(der, oid, kOidEnveloped, sizeof kOidEnveloped))
            return Fail(ZK_E_BAD_FILE_FORMAT, "the data is not an envelope");
    }
    if (laidOut && der::ReadItem(der, l.content.End(), l.content.ContentStart(), ctype) &&
        der::ReadItem(der, l.content.End(), ctype.End(), algorithm) &&
        der::ReadItem(der, l.content.End(), algorithm.End(), encrypted) && encrypted.tag == der::kContext0Prim &&
        encrypted.End() == l.content.End()) {
        // The structure without the ciphertext; the ciphertext stays where it is.
        Bytes prefix, suffix;
        der::Splice(der, {l.info, l.explicit0, l.enveloped, l.content}, encrypted.start, encrypted.End(), 0, prefix,
                    suffix);
        prefix.insert(prefix.end(), suffix.begin(), suffix.end());
        const unsigned char* p = prefix.data();
        cms_.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(prefix.size())));
        ciphertext_ = der + encrypted.ContentStart();
        ciphertextLen_ = encrypted.length;
    } else {
        const unsigned char* p = der;
        cms_.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(len)));
        if (cms_ && p != der + len) cms_.reset();  // trailing bytes: not one envelope
    }
    ERR_clear_error();
    if (!cms_) return Fail(ZK_E_DAMAGED, "the envelope is damaged");
    if (OBJ_obj2nid(CMS_get0_type(cms_.get())) != NID_pkcs7_enveloped) {
        cms_.reset();
        return Fail(ZK_E_BAD_FILE_FORMAT, "the data is not an envelope");
    }

    STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms_.get());
    for (int i = 0; i < sk_CMS_RecipientInfo_num(infos); ++i) {
        CMS_RecipientInfo* ri = sk_CMS_RecipientInfo_value(infos, i);
        if (CMS_RecipientInfo_type(ri) == CMS_RECIPINFO_TRANS) {
            recipients_.push_back({ri, nullptr});
        } else if (CMS_RecipientInfo_type(ri) == CMS_RECIPINFO_AGREE) {
            STACK_OF(CMS_RecipientEncryptedKey)* keys = CMS_RecipientInfo_kari_get0_reks(ri);
            for (int k = 0; k < sk_CMS_RecipientEncryptedKey_num(keys); ++k)
                recipients_.push_back({ri, sk_CMS_RecipientEncryptedKey_value(keys, k)});
        }
    }
    if (recipients_.size() > static_cast<size_t>(kMaxEnvelopeRecipients)) {
        recipients_.clear();
        cms_.reset();
        return Fail(ZK_E_BAD_FILE_FORMAT, "the envelope names more recipients than can be handled");
    }
    originators_.reset(CMS_get1_certs(cms_.get()));
    ERR_clear_error();
    return ZK_E_OK;
}

std::vector<X509*> EnvelopeReader::OriginatorCerts() const {
    std::vector<X509*> certs;
    for (int i = 0; originators_ && i < sk_X509_num(originators_.get()); ++i)
        certs.push_back(sk_X509_value(originators_.get(), i));
    return certs;
}

namespace {

bool RecipientMatches(CMS_RecipientInfo* ri, CMS_RecipientEncryptedKey* key, X509* cert) {
    return key ? CMS_RecipientEncryptedKey_cert_cmp(key, cert) == 0 : CMS_RecipientInfo_ktri_cert_cmp(ri, cert) == 0;
}

}  // namespace

X509* EnvelopeReader::RecipientCert(size_t i) const {
    if (i >= recipients_.size()) return nullptr;
    for (X509* x : OriginatorCerts())
        if (RecipientMatches(recipients_[i].info, recipients_[i].key, x)) return x;
    return nullptr;
}

bool EnvelopeReader::IsRecipient(X509* cert) const {
    for (const Recipient& r : recipients_)
        if (cert && RecipientMatches(r.info, r.key, cert)) return true;
    return false;
}

void EnvelopeReader::DescribeRecipient(size_t i, ProviderCertInfo& info) const {
    if (i >= recipients_.size()) return;
    if (X509* cert = RecipientCert(i)) {
        FillCertInfo(cert, info);
        return;
    }
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    const Recipient& r = recipients_[i];
    if (r.key)
        CMS_RecipientEncryptedKey_get0_id(r.key, &keyId, nullptr, nullptr, &issuer, &serial);
    else
        CMS_RecipientInfo_ktri_get0_signer_id(r.info, &keyId, &issuer, &serial);
    FillRecipientId(issuer, serial, keyId, info);
}

int EnvelopeReader::Decrypt(EVP_PKEY* key, X509* cert, uint8_t* out, size_t cap, size_t& written) {
    written = 0;
    if (!cms_) return Fail(ZK_E_DAMAGED, "no envelope");
    if (!key || !cert || !IsRecipient(cert))
        return Fail(ZK_E_KEY_MISMATCH, "the envelope is not encrypted for this certificate");
    SinkTarget target{out, out ? cap : 0, 0};
    BioPtr sink = NewBufferSink(&target);
    BioPtr lent(ciphertext_ ? NewBufferSource(ciphertext_, ciphertextLen_) : nullptr);
    if (!sink || (ciphertext_ && !lent)) return Fail(ZK_E_DAMAGED, "out of memory");
    // Errors are reported, not hidden behind a random key: a key that does
    // not open its entry gives a code, never garbage.
    const int ok = CMS_decrypt(cms_.get(), key, cert, lent.get(), sink.get(), CMS_BINARY | CMS_DEBUG_DECRYPT);
    ERR_clear_error();
    if (ok != 1) {
        if (target.overflow) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
        return Fail(ZK_E_INTEGRITY, "the envelope does not decrypt: it is damaged");
    }
    written = target.written;
    return ZK_E_OK;
}

}  // namespace zkd
