// The provider's container operations called through the façade and as
// exports: the two-call sizing (an upper bound first, the actual length
// second), the sizing of an added signature by the plain operation, the room
// checks of the fixed outputs (descriptions, results), and the
// order-preserving SignedData edits, each checked with the openssl command line.
#include <openssl/objects.h>

#include "../unit/DiscoveryFixture.h"
#include "ProviderBytes.h"
#include "provider/ContentFraming.h"
#include "provider/Operations.h"
#include "zelkord/RawSignedData.h"

namespace {

using zk::provider::ByteView;
using zk::provider::Call;
using zk::provider::Exports;
using namespace zktest;  // fixtures, shell helpers and the byte helpers of ProviderBytes.h


class ContainerOps : public zktest::DiscoveryFixture {
protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        pki.Ca("ca");
        for (const char* name : {"ec", "p384", "rsa"}) {
            pki.User(name, "ca", std::string("--key ") + name);
            pki.KeyFile(pki.path(std::string(name) + ".pfx"), "p12", "1234", name);
        }
    }
    Bytes Read(const std::string& name) { return zktest::ReadFile(pki.path(name)); }
    zk::provider::SignerRef Signer(const Bytes& cert, const Bytes& key) {
        return {V(cert), zk::provider::KeyRef{V(key), 0}, "1234"};
    }
    // The container made by the façade (two calls), or "" on failure.
    Bytes Create(const std::string& who, bool attached, const Bytes& doc, const AdditionalAttributes& attrs = {}) {
        const Bytes cert = Read(who + ".cer"), key = Read(who + ".pfx");
        zk::provider::Output out;
        EXPECT_EQ(zk::provider::CtxCreateContainer({}, attached, V(doc), Signer(cert, key), attrs, out), 0);
        return T(out);
    }
    bool OpensslVerifies(const Bytes& container, const Bytes* detachedContent = nullptr) {
        zktest::WriteFile(dir.file("c.der"), container);
        std::string cmd = "openssl cms -verify -cades -binary -inform DER -in " + ShellQuote(dir.file("c.der")) +
                          " -CAfile " + ShellQuote(pki.path("ca.pem")) + " -out /dev/null";
        if (detachedContent) {
            zktest::WriteFile(dir.file("content.bin"), *detachedContent);
            cmd += " -content " + ShellQuote(dir.file("content.bin"));
        }
        return RunCommand(cmd + " 2>/dev/null") == 0;
    }
    std::string Printed(const Bytes& container) {
        zktest::WriteFile(dir.file("p.der"), container);
        std::string out;
        RunCommand("openssl cms -cmsout -print -inform DER -in " + ShellQuote(dir.file("p.der")), &out);
        return out;
    }
};

// The first call's bound holds every container, whatever the signature's
// length (ECDSA varies) and the attributes; the second writes the actual length.
TEST_F(ContainerOps, SizingCallBoundsEveryContainer) {
    const Bytes doc(3000, 'd'), cert = Read("p384.cer"), key = Read("p384.pfx");
    const Bytes uri(300, 'u'), notice = "Політика", oid = "1.2.804.2.1.1.1.2.1";
    AdditionalAttributes attrs{};
    attrs.Flags = ZK_ATTR_POLICY_ID | ZK_ATTR_POLICY_URI | ZK_ATTR_POLICY_NOTICE;
    attrs.SigPolicy = {const_cast<uint8_t*>(U(oid)), L(oid)};
    attrs.SigPolicyURI = {const_cast<uint8_t*>(U(uri)), L(uri)};
    attrs.SigPolicyMessage = {const_cast<uint8_t*>(U(notice)), L(notice)};
    for (int i = 0; i < 8; ++i) {
        const bool attached = i % 2 == 0;
        uint32_t bound = 0;
        auto create = attached ? &Exports::ZKLCTX_CreateContainer : &Exports::ZKLCTX_CreateContainerExt;
        auto fn = zk::provider::Get().exports.*create;
        ASSERT_EQ(fn(U(doc), L(doc), U(cert), L(cert), U(key), L(key), "1234", nullptr, &bound, &attrs), 0);
        Bytes out(bound, '\0');
        uint32_t len = bound;
        ASSERT_EQ(fn(U(doc), L(doc), U(cert), L(cert), U(key), L(key), "1234",
                     reinterpret_cast<uint8_t*>(out.data()), &len, &attrs), 0);
        EXPECT_LE(len, bound);
        out.resize(len);
        EXPECT_TRUE(attached ? OpensslVerifies(out) : OpensslVerifies(out, &doc));
    }
}

// The size of an added signature is asked of the plain operation even when
// the container has no content; the operation that takes the content makes it.
TEST_F(ContainerOps, AddedSignatureIsSizedByThePlainOperation) {
    const Bytes doc = "content kept apart", detached = Create("ec", false, doc);
    const Bytes cert = Read("rsa.cer"), key = Read("rsa.pfx");
    const AdditionalAttributes none{};
    uint32_t bound = 0;
    ASSERT_EQ(Call<&Exports::ZKLCTX_AddSignature>(U(detached), L(detached), U(cert), L(cert), U(key),
                                                 ZKKeyLen{L(key)}, "1234", nullptr, &bound, &none),
              0);
    Bytes out(bound, '\0');
    uint32_t len = bound;
    EXPECT_EQ(Call<&Exports::ZKLCTX_AddSignature>(U(detached), L(detached), U(cert), L(cert), U(key),
                                                 ZKKeyLen{L(key)}, "1234", reinterpret_cast<uint8_t*>(out.data()),
                                                 &len, &none),
              1)
        << "without the document there is nothing to sign";
    len = bound;
    ASSERT_EQ(Call<&Exports::ZKLCTX_AddSignatureExt>(U(detached), L(detached), U(doc), L(doc), U(cert), L(cert),
                                                    U(key), ZKKeyLen{L(key)}, "1234",
                                                    reinterpret_cast<uint8_t*>(out.data()), &len, &none),
              0);
    out.resize(len);
    EXPECT_TRUE(OpensslVerifies(out, &doc));
    // Through the façade: logged as the operation that made it.
    zk::provider::Output result;
    const ByteView content = V(doc);
    EXPECT_EQ(zk::provider::CtxAddSignature(ZK_SITE("Test"), V(detached), &content, Signer(cert, key), none, result), 0);
    EXPECT_NE(Log().find("Before AddSignatureExt"), std::string::npos);
}

// A container with content sent in pieces around the request's document is
// the provider's own attached encoding, byte for byte, at every length of
// the lengths' encodings (short form, one to three length bytes); what is
// not a container without content is not framed.
TEST_F(ContainerOps, FramedContentIsTheProvidersAttachedEncoding) {
    for (const char* who : {"ec", "rsa"}) {
        for (size_t size : {1u, 100u, 127u, 128u, 255u, 256u, 65535u, 65536u, (1u << 24) + 1}) {
            SCOPED_TRACE(std::string(who) + " " + std::to_string(size));
            Bytes doc(size, '\0');
            for (size_t i = 0; i < size; ++i) doc[i] = static_cast<char>(i * 31 + (i >> 8));
            const Bytes detached = Create(who, false, doc);
            const auto frame = zk::provider::FrameAttachedContent(V(detached), doc.size());
            ASSERT_TRUE(frame);
            const Bytes framed = Bytes(frame->head.begin(), frame->head.end()) + doc +
                                 Bytes(frame->tail.begin(), frame->tail.end());
            zk::provider::Output attached;
            ASSERT_EQ(zk::provider::Invoke<ZK_EXPORT(ZKLCTX_AddContent)>({}, V(detached), V(doc), attached), 0);
            EXPECT_EQ(framed, T(attached));
            if (size == 65536u) {
                EXPECT_TRUE(OpensslVerifies(framed));
            }
        }
    }
    const Bytes doc = "kept", attached = Create("ec", true, doc), detached = Create("ec", false, doc);
    const Bytes cert = Read("ec.cer");
    for (const Bytes& refused : {attached, cert, detached.substr(0, detached.size() - 1), detached + "x", Bytes("0")})
        EXPECT_FALSE(zk::provider::FrameAttachedContent(V(refused), 10));
}

// Pieces of a description land in the caller's work buffer, each once; a
// buffer too small for them is refused, never overrun.
TEST_F(ContainerOps, DescriptionsStayInTheWorkBuffer) {
    const Bytes doc(2000, 'x');
    zk::provider::Output two;
    const Bytes one = Create("ec", true, doc), cert = Read("p384.cer"), key = Read("p384.pfx");
    ASSERT_EQ(zk::provider::CtxAddSignature({}, V(one), nullptr, Signer(cert, key), AdditionalAttributes{}, two), 0);
    const Bytes container = T(two);

    zk::provider::ContainerDescriptions all;
    ASSERT_EQ(zk::provider::CtxGetContainerInfos({}, V(container), all), 0);
    ASSERT_EQ(all.infos.size(), 2u);
    const uint8_t* begin = all.work.get();
    const uint8_t* end = begin + container.size();
    for (const ContainerInfo& info : all.infos) {
        for (const ZKBlob* piece : {&info.Content, &info.SignerCert, &info.Signature, &info.Certs[0], &info.Certs[1]}) {
            const uint8_t* at = piece->data;  // a copy: the record's fields are not aligned
            ASSERT_NE(at, nullptr);
            EXPECT_TRUE(at >= begin && at + piece->length <= end);
        }
        EXPECT_EQ(Bytes(reinterpret_cast<const char*>(info.Content.data), info.Content.length), doc);
    }
    const uint8_t *first = all.infos[0].Content.data, *second = all.infos[1].Content.data;
    EXPECT_EQ(first, second) << "the content is copied once";
    EXPECT_EQ(Bytes(reinterpret_cast<const char*>(all.infos[1].SignerCert.data), all.infos[1].SignerCert.length), cert);

    std::vector<uint8_t> work(100);
    ContainerInfo info{};
    info.Work = {work.data(), static_cast<uint32_t>(work.size())};
    EXPECT_EQ(Call<&Exports::ZKLCTX_GetContainerInfo>(U(container), L(container), 0, &info), 56);
    int32_t count = 1;
    std::vector<ContainerInfo> records(1);
    ZKBlob big{all.work.get(), L(container)};
    EXPECT_EQ(Call<&Exports::ZKLCTX_GetContainerInfos>(U(container), L(container), records.data(), &count, &big), 56);
    EXPECT_EQ(count, 2) << "the count the records need";
    std::vector<int32_t> results(1);
    count = 1;
    EXPECT_EQ(Call<&Exports::ZKLCTX_Verify>(U(container), L(container), results.data(), &count), 56);
    EXPECT_EQ(count, 2);
}

// Signers stay in the order the container writes them, even when that is
// not DER order, and an unsigned attribute added to one signer leaves every
// other byte of the signatures as it was.
TEST_F(ContainerOps, RawEditsKeepOrderAndBytes) {
    const Bytes doc = "ordered", a = Create("ec", true, doc), b = Create("rsa", true, doc), c = Create("p384", true, doc);
    zk::provider::Output merged;
    const std::vector<ByteView> parts = {V(c), V(a), V(b)};
    ASSERT_EQ(zk::provider::CtxMergeSignedData({}, true, parts, merged), 0);
    const Bytes m = T(merged);

    zkd::RawSignedData raw, ra, rb, rc;
    ASSERT_EQ(raw.Parse(U(m), m.size()), 0);
    ASSERT_EQ(ra.Parse(U(a), a.size()), 0);
    ASSERT_EQ(rb.Parse(U(b), b.size()), 0);
    ASSERT_EQ(rc.Parse(U(c), c.size()), 0);
    auto signer = [](const zkd::RawSignedData& r, int i) {
        size_t n = 0;
        const uint8_t* p = r.SignerBytes(i, &n);
        return Bytes(reinterpret_cast<const char*>(p), n);
    };
    ASSERT_EQ(raw.SignerCount(), 3);
    EXPECT_EQ(signer(raw, 0), signer(rc, 0));
    EXPECT_EQ(signer(raw, 1), signer(ra, 0));
    EXPECT_EQ(signer(raw, 2), signer(rb, 0));
    EXPECT_TRUE(OpensslVerifies(m));

    // Any DER value: here a small token-like SEQUENCE under the signature
    // timestamp's identifier.
    const Bytes value("\x30\x06\x02\x01\x05\x04\x01\x07", 8);
    ASN1_OBJECT* type = OBJ_txt2obj("1.2.840.113549.1.9.16.2.14", 1);
    ASSERT_EQ(raw.AddUnsignedAttribute(1, type, U(value), value.size()), 0);
    EXPECT_EQ(raw.AddUnsignedAttribute(1, type, U(value), value.size() - 1), 10) << "not one DER element";
    ASN1_OBJECT_free(type);
    Bytes edited(raw.EncodedLength(), '\0');
    raw.Encode(reinterpret_cast<uint8_t*>(edited.data()));
    zkd::RawSignedData back;
    ASSERT_EQ(back.Parse(U(edited), edited.size()), 0);
    EXPECT_EQ(signer(back, 0), signer(rc, 0));
    EXPECT_EQ(signer(back, 2), signer(rb, 0));
    EXPECT_NE(signer(back, 1), signer(ra, 0));
    EXPECT_NE(signer(back, 1).find(value), std::string::npos);
    EXPECT_TRUE(OpensslVerifies(edited)) << "unsigned attributes are outside the signature";
    EXPECT_NE(Printed(edited).find("id-smime-aa-timeStampToken"), std::string::npos);
}

// A merge stops at the provider's limits: 256 signatures.
TEST_F(ContainerOps, MergeRefusesMoreSignaturesThanCanBeHandled) {
    const Bytes one = Create("ec", true, "many");
    ASN1_OBJECT* type = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
    std::vector<Bytes> variants;  // the same signature with one unsigned attribute each: 300 distinct SignerInfos
    for (int i = 0; i < 300; ++i) {
        zkd::RawSignedData raw;
        ASSERT_EQ(raw.Parse(U(one), one.size()), 0);
        const Bytes value{'\x04', '\x02', char(i >> 8), char(i & 0xFF)};
        ASSERT_EQ(raw.AddUnsignedAttribute(0, type, U(value), value.size()), 0);
        Bytes der(raw.EncodedLength(), '\0');
        raw.Encode(reinterpret_cast<uint8_t*>(der.data()));
        variants.push_back(der);
    }
    ASN1_OBJECT_free(type);
    auto merge = [](const std::vector<Bytes>& parts, Bytes& out) {
        std::vector<ByteView> views;
        for (const Bytes& p : parts) views.push_back(V(p));
        zk::provider::Output merged;
        const int code = zk::provider::CtxMergeSignedData({}, true, views, merged);
        out = T(merged);
        return code;
    };
    Bytes a, b, c, ab, abc, again;
    ASSERT_EQ(merge({variants.begin(), variants.begin() + 100}, a), 0);
    ASSERT_EQ(merge({variants.begin() + 100, variants.begin() + 200}, b), 0);
    ASSERT_EQ(merge({variants.begin() + 200, variants.end()}, c), 0);
    ASSERT_EQ(merge({a, b}, ab), 0);
    ASSERT_EQ(merge({ab, a, b, ab}, again), 0);
    EXPECT_EQ(again, ab) << "signatures already present are not taken twice";
    EXPECT_EQ(merge({ab, c}, abc), 9);
    std::vector<int32_t> results;
    EXPECT_EQ(zk::provider::CtxVerify({}, V(ab), nullptr, results), 0);
    EXPECT_EQ(results, std::vector<int32_t>(200, 0));
}

}  // namespace
