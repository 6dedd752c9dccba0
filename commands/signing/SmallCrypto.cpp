#include "commands/signing/SmallCrypto.h"

#include <charconv>
#include <cstdint>
#include <vector>

#include "commands/Envelope.h"
#include "base/Params.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "provider/Provider.h"

namespace zk {
namespace {

constexpr int64_t kMaxRandomLength = 65536;
constexpr size_t kHashSize = 32;

// A decimal number and nothing else (blanks around it allowed).
bool ParseDecimal(const std::string& text, int64_t& value) {
    const std::string t = TrimBlanks(text);
    const char* end = t.data() + t.size();
    auto [p, ec] = std::from_chars(t.data(), end, value);
    return !t.empty() && ec == std::errc() && p == end;
}

// Seed and key hashed into the 32-byte key (slot 25).
int DeriveKey(int lib, const std::vector<uint8_t>& seed, std::vector<uint8_t>& key) {
    std::vector<uint8_t> material(seed);
    material.insert(material.end(), key.begin(), key.end());
    std::vector<uint8_t> hash(kHashSize);
    ZLOG("SymmetricCommand", "Before Hash");
    int code = provider::CallSlot<ZKLD_SLOT_HASH>(lib, material.data(), static_cast<uint32_t>(material.size()),
                                                  hash.data(), 0, 0);
    ZLOG("SymmetricCommand", "After Hash, Return: %d", code);
    SecureWipe(material);
    if (code == 0) {
        SecureWipe(key);
        key.swap(hash);
    }
    SecureWipe(hash);
    return code;
}

}  // namespace

bool GetRandomCommand(const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    int64_t length = 0;
    const tinyxml2::XMLElement* element = LastChild(params, "Length");
    if (element && !ParseDecimal(ElementText(element), length)) return false;
    if (length < 1 || length > kMaxRandomLength) return false;

    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    ZLOG("GetRandomCommand", "Before GetRandomBlock");
    int code = provider::Call<&provider::Exports::ZKLCTX_GetRandomBlock>(bytes.data(), static_cast<uint32_t>(length));
    ZLOG("GetRandomCommand", "After GetRandomBlock, Return: %d", code);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, "GET_RANDOM", code);
    if (code == 0) out->SetText(Base64Encode(bytes.data(), bytes.size()).c_str());
    answer = PrintDocument(doc);
    return true;
}

bool SymmetricCommand(const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    if (!params || !data || !*data) return false;
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

    std::vector<uint8_t> result;
    if (code == 0) {
        const std::vector<uint8_t> input = Base64Decode(data);
        const int mode = dir[0] == '1' ? ZK_SYMMETRIC_ENCRYPT : ZK_SYMMETRIC_DECRYPT;
        ZLOG("SymmetricCommand", "Before Symmetric");
        code = provider::CallForOutput(result, [&](uint8_t* out, uint32_t* len) {
            return provider::CallSlot<ZKLD_SLOT_SYMMETRIC>(lib, input.data(), static_cast<uint32_t>(input.size()), out,
                                                           len, key.data(), static_cast<uint32_t>(key.size()), 0, 0,
                                                           mode);
        });
        ZLOG("SymmetricCommand", "After Symmetric, Return: %d", code);
    }
    SecureWipe(key);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, "SYMMETRIC", code);
    if (code == 0 && !result.empty()) out->SetText(Base64Encode(result.data(), result.size()).c_str());
    SecureWipe(result);
    answer = PrintDocument(doc);
    return true;
}

bool CheckExternalSignCommand(const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    if (!params || !data || !*data) return false;
    const std::string sign = ChildText(params, "Sign");
    if (sign.empty()) return false;
    const std::vector<uint8_t> signature = Base64Decode(sign);
    const std::vector<uint8_t> content = Base64Decode(data);

    const int lib = provider::SelectLibrary("UA1");
    std::vector<uint8_t> cert;
    ZLOG("CheckExternalSignCommand", "Before VerifyDetached");
    int code = provider::CallForOutput(cert, [&](uint8_t* out, uint32_t* len) {
        return provider::CallSlot<ZKLD_SLOT_VERIFY_DETACHED>(lib, signature.data(),
                                                             static_cast<uint32_t>(signature.size()), content.data(),
                                                             static_cast<uint32_t>(content.size()), out, len);
    });
    ZLOG("CheckExternalSignCommand", "After VerifyDetached, Return: %d", code);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, "CHECK_EXTERNAL_SIGN", code);
    if (code == 0 && ChildIsTrue(params, "ReturnSigns")) AddTextElement(out, "Cert", Base64Encode(cert.data(), cert.size()));
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
