#include "http/RequestEncoding.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/CBase64.h"
#include "platform/SecureWipe.h"

namespace zk::http {
namespace {

constexpr std::string_view kNativeFlag = "nativedata=", kEncodeFlag = "encodeOutput=", kXmlStart = "<?xml";
constexpr std::string_view kDataField = "data=";

// Where what first occurs in text, or npos. The names looked for hold a
// "<" or "=", which a form body carries only between its fields (Base64's
// "=" comes percent-encoded): memchr for that character runs many times
// faster than memmem over a large body.
size_t Find(std::string_view text, std::string_view what) {
    const size_t rare = what.find_first_of("<=");
    if (rare == std::string_view::npos) {
        const void* at = memmem(text.data(), text.size(), what.data(), what.size());
        return at ? static_cast<size_t>(static_cast<const char*>(at) - text.data()) : std::string_view::npos;
    }
    for (size_t from = rare; from < text.size();) {
        const void* p = std::memchr(text.data() + from, what[rare], text.size() - from);
        if (!p) break;
        const size_t at = static_cast<size_t>(static_cast<const char*>(p) - text.data());
        const size_t start = at - rare;
        if (text.substr(start).starts_with(what)) return start;
        from = at + 1;
    }
    return std::string_view::npos;
}

// The flag's value at its name (found at at), or absent when not found.
bool FlagAt(std::string_view body, size_t at, std::string_view name, bool absent) {
    if (at == std::string_view::npos) return absent;
    size_t next = at + name.size();
    return next < body.size() && body[next] >= '1' && body[next] <= '9';
}

// The body may be a whole document, and the flags come last.
bool FlagAfter(std::string_view body, std::string_view name, bool absent) {
    return FlagAt(body, Find(body, name), name, absent);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Position after the construct that starts at text[at] == '<' and whether it
// opens (+1), closes (-1) or is neutral (0) for the element depth;
// npos when it does not end.
size_t SkipMarkup(std::string_view text, size_t at, int& depthChange) {
    depthChange = 0;
    auto after = [&](std::string_view end) {
        size_t e = text.find(end, at);
        return e == std::string_view::npos ? e : e + end.size();
    };
    std::string_view rest = text.substr(at);
    if (rest.starts_with("<!--")) return after("-->");
    if (rest.starts_with("<![CDATA[")) return after("]]>");
    if (rest.starts_with("<?")) return after("?>");
    if (rest.starts_with("<!")) {  // document type, perhaps with an internal subset
        size_t i = at + 2;
        int brackets = 0;
        for (; i < text.size(); ++i) {
            if (text[i] == '[') ++brackets;
            else if (text[i] == ']') --brackets;
            else if (text[i] == '>' && brackets <= 0) return i + 1;
        }
        return std::string_view::npos;
    }
    bool closing = rest.starts_with("</");
    char quote = 0;
    for (size_t i = at + 1; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            depthChange = closing ? -1 : (text[i - 1] == '/' ? 0 : 1);
            return i + 1;
        }
    }
    return std::string_view::npos;
}

}  // namespace

RequestFlags ReadFlags(std::string_view body) {
    RequestFlags f;
    f.native = FlagAfter(body, kNativeFlag, false);
    f.encodeOutput = FlagAfter(body, kEncodeFlag, true);
    return f;
}

// Runs between the special characters are moved whole; the next "%" and the
// next "+" are each searched for once.
void PercentDecode(std::string& text, size_t from) { text.resize(PercentDecode(text.data(), text.size(), from)); }

size_t PercentDecode(char* s, size_t n, size_t from) {
    auto next = [&](char c, size_t at) {
        const void* p = at < n ? std::memchr(s + at, c, n - at) : nullptr;
        return p ? static_cast<size_t>(static_cast<const char*>(p) - s) : n;
    };
    size_t out = 0, i = from, percent = next('%', from), plus = next('+', from);
    while (i < n) {
        const size_t special = std::min(percent, plus);
        if (special > i) {
            std::memmove(s + out, s + i, special - i);
            out += special - i;
            i = special;
            if (i == n) break;
        }
        char c = s[i];
        if (c == '+') {
            c = ' ';
            plus = next('+', i + 1);
        } else {
            int hi = i + 1 < n ? HexValue(s[i + 1]) : -1;
            int lo = i + 2 < n ? HexValue(s[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>(hi * 16 + lo);
                i += 2;
            }
            percent = next('%', i + 1);
            if (plus <= i) plus = next('+', i + 1);
        }
        s[out++] = c;
        ++i;
    }
    return out;
}

std::string UnwrapBody(std::string body) {
    const std::string_view text = UnwrapBodyInPlace(body.data(), body.size());
    return std::string(text);
}

// Every rule works over the body's own memory: a large document is not copied.
std::string_view UnwrapBodyInPlace(char* body, size_t size) {
    auto find = [&](std::string_view what, size_t n) { return Find(std::string_view(body, n), what); };
    size_t xml = find(kXmlStart, size);
    if (xml != std::string_view::npos) return {body + xml, size - xml};
    size_t data = find(kDataField, size);
    if (data != std::string_view::npos) {
        const size_t decoded = PercentDecode(body, size, data + kDataField.size());
        return {body, Base64DecodeTo(body, decoded, reinterpret_cast<uint8_t*>(body))};
    }
    size = PercentDecode(body, size, 0);
    xml = find(kXmlStart, size);
    if (xml != std::string_view::npos) return {body + xml, size - xml};
    return {body, size};
}

// What a Feed leaves raw at the end of what came: enough for any name the
// scan looks for and the digit after it, and for a "%" and its two digits.
constexpr size_t kHeldBack = 16;

// The scan looks at the raw bytes from scanFrom_ on: an occurrence that
// starts before it was seen whole by an earlier scan, digit included, since
// a Feed moves scanFrom_ no further than kHeldBack (more than the longest
// name and its digit) before the end of what had come.
void ArrivingBody::Scan(const char* raw, size_t rawStart, size_t received, bool complete) {
    const std::string_view window(raw + (scanFrom_ - rawStart), received - scanFrom_);
    auto look = [&](std::string_view name, size_t extra, auto&& found) {
        const size_t at = Find(window, name);
        if (at != std::string_view::npos && (complete || at + name.size() + extra <= window.size()))
            found(at);
    };
    if (xmlAt_ == std::string_view::npos) look(kXmlStart, 0, [&](size_t at) { xmlAt_ = scanFrom_ + at; });
    if (!nativeSeen_)
        look(kNativeFlag, 1, [&](size_t at) { nativeSeen_ = true, flags_.native = FlagAt(window, at, kNativeFlag, false); });
    if (!encodeSeen_)
        look(kEncodeFlag, 1,
             [&](size_t at) { encodeSeen_ = true, flags_.encodeOutput = FlagAt(window, at, kEncodeFlag, true); });
    if (!complete && received > scanFrom_ + kHeldBack) scanFrom_ = received - kHeldBack;
}

size_t ArrivingBody::NeededFrom() const {
    return xmlAt_ == std::string_view::npos ? std::min(consumed_, scanFrom_) : scanFrom_;
}

void ArrivingBody::Feed(const char* raw, size_t rawStart, size_t received, bool complete, char* text) {
    if (mode_ == Mode::Undecided) {
        if (received < kDataField.size() && !complete) return;
        if (rawStart != 0 || !std::string_view(raw, received).starts_with(kDataField)) {
            mode_ = Mode::Raw;
            return;
        }
        mode_ = Mode::Data;
        consumed_ = scanFrom_ = kDataField.size();
    }
    if (mode_ != Mode::Data || received < consumed_ || rawStart > NeededFrom()) return;
    Scan(raw, rawStart, received, complete);
    // Decoded up to the first "<?xml": from there the body is the request as it is.
    size_t limit = complete ? received : received > consumed_ + kHeldBack ? received - kHeldBack : consumed_;
    limit = std::min(limit, xmlAt_);
    const char* at = raw - rawStart;  // at[i] is the body's byte i, for i in [rawStart, received)
    auto* out = reinterpret_cast<uint8_t*>(text);
    auto next = [&](char c, size_t from) {
        const void* p = from < limit ? std::memchr(at + from, c, limit - from) : nullptr;
        return p ? static_cast<size_t>(static_cast<const char*>(p) - at) : limit;
    };
    size_t i = consumed_, percent = next('%', i), plus = next('+', i);
    while (i < limit) {
        // A run without "%" or "+" goes to the decoder as it lies.
        const size_t special = std::min(percent, plus);
        if (special > i) decoder_.Feed(at + i, special - i, out);
        i = special;
        if (i >= limit) break;
        if (at[i] == '+') {  // a space, which the decoding skips
            plus = next('+', ++i);
            continue;
        }
        const int hi = i + 1 < received ? HexValue(at[i + 1]) : -1;
        const int lo = i + 2 < received ? HexValue(at[i + 2]) : -1;
        const bool escape = hi >= 0 && lo >= 0;
        const char c = escape ? static_cast<char>(hi * 16 + lo) : '%';
        decoder_.Feed(&c, 1, out);
        i += escape ? 3 : 1;
        percent = next('%', i);
        if (plus < i) plus = next('+', i);
    }
    consumed_ = std::max(consumed_, std::min(i, received));
    // Past a raw "<?xml" the decoded text is not the request.
    const bool document = document_ && xmlAt_ == std::string_view::npos;
    size_t written = decoder_.Written();
    if (document) document_->Grow(text, written);
    decoder_.SetWritten(written);
    if (!complete) return;
    length_ = decoder_.Finish(out);
    if (document) document_->Finish(text, length_);
}

std::optional<ArrivingDocument::Span> ArrivingBody::Document() const {
    if (!document_ || xmlAt_ != std::string_view::npos) return std::nullopt;
    return document_->Decoded();
}

std::string_view ArrivingBody::Text(char* body, size_t size) const {
    if (xmlAt_ != std::string_view::npos && xmlAt_ < size) return {body + xmlAt_, size - xmlAt_};
    return {body, length_};
}

size_t DocumentLength(std::string_view text) {
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    int depth = 0;
    bool rootClosed = false;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '<') {
            if (rootClosed) {
                if (!IsBlank(text[i])) return i;  // trailing form data
                ++i;
            } else {  // element text (a whole document, perhaps) up to the next markup
                i = std::min(text.find('<', i), text.size());
            }
            continue;
        }
        int change = 0;
        size_t next = SkipMarkup(text, i, change);
        if (next == std::string_view::npos) break;  // unfinished: the parser reports it
        bool wasRootLevel = depth == 0;
        depth += change;
        if (depth < 0) break;
        // A root element closes when the depth returns to 0, or at once when it is empty.
        if (depth == 0 && (change == -1 || (wasRootLevel && change == 0 && text[i + 1] != '?' && text[i + 1] != '!')))
            rootClosed = true;
        i = next;
    }
    return text.size();
}

// The plain form hands the answer on; the encoded forms are written in one
// piece, and the answer (it may hold secrets) is wiped once encoded.
std::string EncodeAnswer(std::string utf8Answer, RequestFlags flags) {
    if (flags.native && !flags.encodeOutput) return utf8Answer;
    const size_t b64Length = (utf8Answer.size() + 2) / 3 * 4;
    std::string out;
    if (flags.native) {
        out.reserve(b64Length);
    } else {
        out.reserve(kWindowNameHead.size() + b64Length + kWindowNameTail.size());
        out.append(kWindowNameHead);
    }
    Base64EncodeAppend(utf8Answer.data(), utf8Answer.size(), out);
    if (!flags.native) out.append(kWindowNameTail);
    SecureWipe(utf8Answer);
    return out;
}

}  // namespace zk::http
