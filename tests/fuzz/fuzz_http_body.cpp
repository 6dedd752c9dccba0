// A POST body as a page sends it: flags, unwrapping (raw XML, the Base64 form
// field, percent-encoding), the document length and the answer forms. Nothing
// may crash, and the window-name page is always 103 bytes longer than the
// Base64 it carries. The scan for a large document's text proposes only a
// span the parser would hand on unchanged, and an answer streamed in pieces
// is byte for byte the answer made whole. A body unwrapped while it arrives
// gives what it gives unwrapped whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/CBase64.h"
#include "http/AnswerStream.h"
#include "http/DocumentText.h"
#include "http/RequestEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    zk::http::RequestFlags flags = zk::http::ReadFlags(body);
    std::string text = zk::http::UnwrapBody(body);
    size_t docLen = zk::http::DocumentLength(text);
    if (docLen > text.size()) abort();

    std::string base64 = zk::http::EncodeAnswer(text, {true, true});
    std::string page = zk::http::EncodeAnswer(text, {false, flags.encodeOutput});
    if (page.size() != base64.size() + 103) abort();

    const std::string_view doc(text.data(), docLen);
    if (auto span = zk::http::FindDocumentText(doc, 4)) {
        if (span->begin > span->end || span->end > doc.size() || span->size() < 4) abort();
        const std::string_view found = doc.substr(span->begin, span->size());
        if (found.find_first_of("<&\r") != std::string_view::npos) abort();
    }

    // The body's bytes as an answer's document between two pieces of its
    // text, the document itself in two pieces (a container framed around
    // the request's document).
    const size_t cut = size ? data[0] % (text.size() + 1) : 0;
    const zk::http::RequestFlags forms[] = {{true, false}, {true, true}, {false, true}};
    const zk::http::RequestFlags form = forms[size > 1 ? data[1] % 3 : 0];
    const size_t piece = size > 2 ? 1 + data[2] % 97 : 1;
    const size_t split = size > 3 ? data[3] % (size + 1) : 0;
    auto owner = std::make_shared<std::vector<uint8_t>>(data, data + size);
    zk::DocumentPieces document;
    document.pieces.emplace_back(owner, owner->data(), split);
    document.pieces.emplace_back(owner, owner->data() + split, size - split);
    zk::http::AnswerStream stream(text.substr(0, cut), std::move(document), text.substr(cut), form);
    const std::string whole =
        zk::http::EncodeAnswer(text.substr(0, cut) + zk::Base64Encode(data, size) + text.substr(cut), form);
    if (stream.Length() != whole.size()) abort();
    std::string sent;
    char room[97];
    while (!stream.Done()) {
        const size_t n = stream.Next(room, piece);
        if (n == 0 || n > piece) abort();
        sent.append(room, n);
    }
    if (sent != whole) abort();

    // The body as the form pages send, unwrapped while it arrives in pieces:
    // the same text and flags as unwrapped whole, whether the raw bytes lie
    // in the body's memory or pass through a buffer of their own holding
    // only what the unwrapping still needs (as the landing passes them,
    // decoding a document as it comes: given back as its Base64, the text
    // is the text as it came, and the bytes are what the text decodes to).
    const std::string form_body = "data=" + body;
    const zk::http::RequestFlags wholeFlags = zk::http::ReadFlags(form_body);
    const std::string wholeText = zk::http::UnwrapBody(form_body);
    for (const bool apart : {false, true}) {
        std::string memory = apart ? std::string(form_body.size() + 1, '#') : form_body;
        zk::http::ArrivingBody arriving;
        if (apart) arriving.DecodeDocument(4);
        for (size_t received = 0; received < form_body.size();) {
            received = std::min(form_body.size(), received + piece);
            const bool complete = received == form_body.size();
            if (!apart) {
                arriving.Feed(memory.data(), 0, received, complete, memory.data());
                continue;
            }
            const size_t needed = std::min(arriving.NeededFrom(), received);
            const std::string raw = form_body.substr(needed, received - needed);  // its own memory (ASan sees past it)
            arriving.Feed(raw.data(), needed, received, complete, memory.data());
        }
        if (apart && arriving.RawFrom() < form_body.size())
            memcpy(memory.data() + arriving.RawFrom(), form_body.data() + arriving.RawFrom(),
                   form_body.size() - arriving.RawFrom());
        const zk::http::RequestFlags gotFlags = arriving.Flags();
        const std::string_view got = arriving.Text(memory.data(), form_body.size());
        const auto document = arriving.Document();
        std::string asCame(got);
        if (document) {
            asCame.assign(got.size() - document->size + document->textLength, '\0');
            zk::http::WriteTextAsItCame(got, *document, asCame.data());
        }
        if (asCame != wholeText ||
            gotFlags.native != wholeFlags.native || gotFlags.encodeOutput != wholeFlags.encodeOutput)
            abort();
        if (document) {
            const std::string_view bytes = got.substr(document->begin, document->size);
            const std::string_view asText = std::string_view(wholeText).substr(document->begin, document->textLength);
            if (zk::Base64DecodeToString(asText) != bytes) abort();
        }
    }
    return 0;
}
