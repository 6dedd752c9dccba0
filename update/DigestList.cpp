#include "update/DigestList.h"

#include <openssl/evp.h>

#include <cctype>
#include <memory>

#include "base/TextHelpers.h"
#include "platform/Files.h"

namespace zk::update {
namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }
bool Delimiter(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
    return s;
}

bool IsMd5(std::string_view v) {
    if (v.size() != 32) return false;
    for (char c : v)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string Lower(std::string_view v) {
    std::string out(v);
    for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

bool Fail(std::string* why, std::string text) {
    if (why) *why = std::move(text);
    return false;
}

}  // namespace

bool IsSafeFileName(std::string_view name, std::string* why) {
    if (name.empty()) return Fail(why, "empty name");
    if (name.size() > kMaxNameBytes) return Fail(why, "name longer than " + std::to_string(kMaxNameBytes) + " bytes");
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) return Fail(why, "control character in a name");
        if (c == '/' || c == '\\') return Fail(why, "a name outside the program folder");
    }
    if (name == "." || name.find("..") != std::string_view::npos) return Fail(why, "a name outside the program folder");
    if (name.find(".~") != std::string_view::npos ||
        (name.size() >= 4 && Lower(name.substr(name.size() - 4)) == ".bak"))
        return Fail(why, "a staging name");
    return true;
}

bool ParseDigestList(std::string_view text, DigestList& out, std::string* why) {
    out.clear();
    if (text.find('\0') != std::string_view::npos) return Fail(why, "binary text");
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && Delimiter(text[i])) ++i;
        if (i >= text.size()) break;
        size_t valueEnd = i;
        while (valueEnd < text.size() && !Delimiter(text[valueEnd])) ++valueEnd;
        const std::string_view value = Trim(text.substr(i, valueEnd - i));
        size_t lineEnd = valueEnd;
        while (lineEnd < text.size() && text[lineEnd] != '\r' && text[lineEnd] != '\n') ++lineEnd;
        const std::string_view name = Trim(text.substr(valueEnd, lineEnd - valueEnd));
        i = lineEnd;
        if (name.empty()) return Fail(why, "an entry without a name");
        if (!IsMd5(value)) return Fail(why, "not an MD5 value");
        std::string reason;
        if (!IsSafeFileName(name, &reason)) return Fail(why, reason);
        if (out.size() >= kMaxListEntries && !out.count(std::string(name)))
            return Fail(why, "more than " + std::to_string(kMaxListEntries) + " entries");
        out[std::string(name)] = Lower(value);
    }
    return true;
}

bool SameDigest(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

std::string Md5Hex(const uint8_t* data, size_t size) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(data, size, md, &len, EVP_md5(), nullptr)) return {};
    return HexText(md, len, false);
}

std::optional<std::string> FileMd5Hex(const std::string& path, uint64_t maxBytes, uint64_t* bytes) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr)) return std::nullopt;
    bool ok = true;
    uint64_t read = 0;
    if (!files::ReadInPieces(path, maxBytes, [&](const uint8_t* piece, size_t n) {
            ok = ok && EVP_DigestUpdate(ctx.get(), piece, n);
            read += n;
        }))
        return std::nullopt;
    if (bytes) *bytes = read;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ok || !EVP_DigestFinal_ex(ctx.get(), md, &len)) return std::nullopt;
    return HexText(md, len, false);
}

std::string PercentEncode(std::string_view name) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (isalnum(u) && u < 128) {
            out.push_back(c);
        } else if (c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
    return out;
}

std::string FileAddress(const std::string& base, std::string_view name) {
    std::string url = base;
    if (url.empty() || url.back() != '/') url.push_back('/');
    return url + PercentEncode(name);
}

}  // namespace zk::update
