#include "base/TextHelpers.h"

#include <openssl/rand.h>

#include <cstdio>

#include "base/CBase64.h"

namespace zk {

std::string ParamText(const tinyxml2::XMLElement* element, size_t bufferSize) {
    if (!element || bufferSize == 0) return {};
    const tinyxml2::XMLNode* first = element->FirstChild();
    const tinyxml2::XMLText* text = first ? first->ToText() : nullptr;
    if (!text || !text->Value()) return {};
    std::string converted = Utf8ToCp1251(text->Value());
    if (converted.size() > bufferSize - 1) converted.resize(bufferSize - 1);
    return converted;
}

std::string TextToBase64(std::string_view cp1251) {
    if (cp1251.empty()) return {};
    return Base64Encode(Cp1251ToUtf8(cp1251));
}

std::string Base64ToText(std::string_view base64) {
    if (base64.empty()) return {};
    return Utf8ToCp1251(Base64DecodeToString(base64));
}

std::string NewGuidText() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) return {};
    char text[33];
    snprintf(text, sizeof text, "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
             (unsigned)((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3]), (unsigned)((b[4] << 8) | b[5]),
             (unsigned)((b[6] << 8) | b[7]), b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

std::string DateText(int64_t secondsSince1970) {
    if (secondsSince1970 == 0) return {};
    time_t t = static_cast<time_t>(secondsSince1970);
    struct tm tm {};
    if (!localtime_r(&t, &tm)) return {};
    char text[64];
    snprintf(text, sizeof text, "%02u.%02u.%04u %02u:%02u:%02u", (unsigned)tm.tm_mday, (unsigned)(tm.tm_mon + 1),
             (unsigned)(tm.tm_year + 1900), (unsigned)tm.tm_hour, (unsigned)tm.tm_min, (unsigned)tm.tm_sec);
    return text;
}

std::string HexText(const uint8_t* data, size_t len, bool upper) {
    static const char lower[] = "0123456789abcdef", upperDigits[] = "0123456789ABCDEF";
    const char* digits = upper ? upperDigits : lower;
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

}  // namespace zk
