#include "platform/CodePage.h"

#include <errno.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "platform/SecureWipe.h"

namespace zk {
namespace {

// One converter per thread and direction: iconv_t carries shift state and is
// not safe to share between threads.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts the whole input; an input sequence that cannot be converted is
    // replaced by "?" and skipped (skipBad tells how many bytes).
    template <typename SkipBad>
    std::string Run(std::string_view in, SkipBad skipBad) {
        std::string out;
        out.resize(in.size() * 2 + 8);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        size_t used = 0;
        while (srcLeft > 0) {
            char* dst = out.data() + used;
            size_t dstLeft = out.size() - used;
            size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            used = out.size() - dstLeft;
            if (rc != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            // EILSEQ or EINVAL: replace the offending input.
            if (out.size() - used < 1) out.resize(out.size() * 2);
            out[used++] = '?';
            size_t n = skipBad(reinterpret_cast<const unsigned char*>(src), srcLeft);
            src += n;
            srcLeft -= n;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        out.resize(used);
        return out;
    }

private:
    iconv_t cd_;
};

// Length of the UTF-8 sequence at p when it is well formed, else 1, so that a
// character without a 1251 form is skipped whole and a stray byte alone.
size_t Utf8SequenceLength(const unsigned char* p, size_t left) {
    size_t n = p[0] < 0x80 ? 1 : (p[0] & 0xE0) == 0xC0 ? 2 : (p[0] & 0xF0) == 0xE0 ? 3 : (p[0] & 0xF8) == 0xF0 ? 4 : 1;
    if (n > left) return 1;
    for (size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 1;
    return n;
}

// Position of the first byte from "from" on with the high bit set (the end
// of an ASCII run, which reads the same in both encodings), or the size.
size_t NextHighByte(std::string_view text, size_t from) {
    size_t i = from;
    for (uint64_t word; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i < text.size() && !(static_cast<unsigned char>(text[i]) & 0x80)) ++i;
    return i;
}

size_t AsciiPrefix(std::string_view text) { return NextHighByte(text, 0); }

std::string ToUtf8WithIconv(std::string_view cp1251) {
    thread_local Converter conv("UTF-8", "WINDOWS-1251");
    return conv.Run(cp1251, [](const unsigned char*, size_t) -> size_t { return 1; });
}

// Every Windows-1251 byte has one UTF-8 form, taken from iconv once: answers
// (mostly Base64 with a few Cyrillic texts) are converted by table.
struct Utf8Forms {
    std::string form[256];
    Utf8Forms() {
        for (int c = 0; c < 256; ++c) form[c] = ToUtf8WithIconv(std::string(1, static_cast<char>(c)));
    }
};

const Utf8Forms& Forms() {
    static const Utf8Forms forms;
    return forms;
}

size_t CountHighBytes(std::string_view text) {
    size_t n = 0;
    for (size_t i = NextHighByte(text, 0); i < text.size(); i = NextHighByte(text, i + 1)) ++n;
    return n;
}

}  // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
    thread_local Converter conv("WINDOWS-1251", "UTF-8");
    const size_t prefix = AsciiPrefix(utf8);
    std::string out(utf8.substr(0, prefix));
    out += conv.Run(utf8.substr(prefix), Utf8SequenceLength);
    return out;
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
    const Utf8Forms& forms = Forms();
    std::string out;
    out.reserve(cp1251.size() + 2 * CountHighBytes(cp1251));
    for (size_t i = 0; i < cp1251.size();) {
        const size_t high = NextHighByte(cp1251, i);
        out.append(cp1251.substr(i, high - i));
        if (high == cp1251.size()) break;
        out.append(forms.form[static_cast<unsigned char>(cp1251[high])]);
        i = high + 1;
    }
    return out;
}

namespace {

// Position of the last byte before "end" with the high bit set, or npos.
size_t PrevHighByte(std::string_view text, size_t end) {
    size_t i = end;
    for (uint64_t word; i >= 8; i -= 8) {
        std::memcpy(&word, text.data() + i - 8, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i > 0 && !(static_cast<unsigned char>(text[i - 1]) & 0x80)) --i;
    return i == 0 ? std::string_view::npos : i - 1;
}

}  // namespace

void Cp1251ToUtf8InPlace(std::string& text) {
    const Utf8Forms& forms = Forms();
    size_t extra = 0;
    for (size_t i = NextHighByte(text, 0); i < text.size(); i = NextHighByte(text, i + 1))
        extra += forms.form[static_cast<unsigned char>(text[i])].size() - 1;
    if (extra == 0) return;
    if (text.capacity() < text.size() + extra) {
        std::string converted = Cp1251ToUtf8(text);
        SecureWipe(text);  // answers may hold secrets
        text = std::move(converted);
        return;
    }
    // Room enough: converted from the end towards the start, each byte
    // written at or after the place it is read from, so a large answer is
    // neither copied nor left behind in another buffer. The unchanged start
    // stays where it is.
    size_t read = text.size();
    text.resize(text.size() + extra);
    size_t write = text.size();
    while (write > read) {
        const size_t high = PrevHighByte(std::string_view(text.data(), read), read);
        const size_t runStart = high == std::string_view::npos ? 0 : high + 1;
        write -= read - runStart;
        std::memmove(text.data() + write, text.data() + runStart, read - runStart);
        if (high == std::string_view::npos) break;
        const std::string& form = forms.form[static_cast<unsigned char>(text[high])];
        write -= form.size();
        std::memcpy(text.data() + write, form.data(), form.size());
        read = high;
    }
}

unsigned char LowerCp1251(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF)) return static_cast<unsigned char>(c + 0x20);
    switch (c) {
        case 0x80: return 0x90;  // Ђ
        case 0x81: return 0x83;  // Ѓ
        case 0x8A: case 0x8C: case 0x8D: case 0x8E: case 0x8F: return static_cast<unsigned char>(c + 0x10);
        case 0xA1: return 0xA2;  // Ў
        case 0xA3: return 0xBC;  // Ј
        case 0xA5: return 0xB4;  // Ґ
        case 0xA8: case 0xAA: case 0xAF: return static_cast<unsigned char>(c + 0x10);  // Ё Є Ї
        case 0xB2: return 0xB3;  // І
        case 0xBD: return 0xBE;  // Ѕ
        default: return c;
    }
}

bool EqualNoCaseCp1251(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerCp1251(static_cast<unsigned char>(a[i])) != LowerCp1251(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace zk
