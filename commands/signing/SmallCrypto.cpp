#include "commands/signing/SmallCrypto.h"

#include <cstdint>
#include <vector>

#include "commands/Envelope.h"
#include "base/Params.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr int64_t kMaxRandomLength = 65536;
constexpr size_t kHashSize = 32;

// Seed and key hashed into the 32-byte key (slot 25).
int DeriveKey(int lib, const std::vector<uint8_t>& seed, std::vector<uint8_t>& key) {
    std::vector<uint8_t> material(seed);
    material.insert(material.end(), key.begin(), key.end());
    uint8_t hash[kHashSize] = {};
    int code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_HASH)>(ZK_SITE("SymmetricCommand"), lib, material, hash, 0, 0);
    SecureWipe(material);
    if (code == 0) {
        SecureWipe(key);
        key.assign(hash, hash + kHashSize);
    }
    SecureWipe(hash, sizeof hash);
    return code;
}

}  // namespace

bool GetRandomCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    int64_t length = 0;
    const tinyxml2::XMLElement* element = LastChild(params, "Length");
    if (element && !ParseDecimal(ElementText(element), length)) return false;
    if (length < 1 || length > kMaxRandomLength) return false;

    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    int code = provider::GetRandomBlock(ZK_SITE("GetRandomCommand"), bytes);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) out->SetText(Base64Encode(bytes.data(), bytes.size()).c_str());
    answer = PrintDocument(doc);
    return true;
}

bool SymmetricCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    const std::string dir = ChildText(params, "DIR");
    std::string keyText = ChildText(params, "KEY");
    if ((!StartsWithNoCase(dir, "0") && !StartsWithNoCase(dir, "1")) || keyText.empty()) return false;

    const int lib = provider::SelectLibrary("QLB");
    std::vector<uint8_t> key = Base64Decode(keyText);
    SecureWipe(keyText);
    std::string seedText = ChildText(params, "SEED");
    std::vector<uint8_t> seed = Base64Decode(seedText);
    SecureWipe(seedText);
    int code = seed.empty() ? 0 : DeriveKey(lib, seed, key);
    SecureWipe(seed);

    provider::Output result;
    if (code == 0) {
        const SharedBytes input = TakeRequestDocument(data);
        const int mode = dir[0] == '1' ? ZK_SYMMETRIC_ENCRYPT : ZK_SYMMETRIC_DECRYPT;
        code = provider::LibSymmetric(ZK_SITE("SymmetricCommand"), lib, input.view(), key, mode, result);
    }
    SecureWipe(key);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0 && !result.empty()) out->SetText(Base64Encode(result.data(), result.size()).c_str());
    result.Release();
    answer = PrintDocument(doc);
    return true;
}

bool CheckExternalSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    const std::string sign = ChildText(params, "Sign");
    if (sign.empty()) return false;
    const std::vector<uint8_t> signature = Base64Decode(sign);
    const SharedBytes content = TakeRequestDocument(data);

    const int lib = provider::SelectLibrary("UA1");
    provider::Output cert;
    int code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_VERIFY_DETACHED)>(ZK_SITE("CheckExternalSignCommand"), lib, signature,
                                                                   content.view(), cert);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0 && ChildIsTrue(params, "ReturnSigns")) AddTextElement(out, "Cert", Base64Encode(cert.data(), cert.size()));
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
