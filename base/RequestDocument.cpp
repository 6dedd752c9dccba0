#include "base/RequestDocument.h"

#include <algorithm>
#include <cstring>

#include "base/CBase64.h"
#include "base/RequestContext.h"
#include "base/TextHelpers.h"

namespace zk {

SharedBytes TakeRequestDocument(const char* data) {
    RequestDocuments* docs = CurrentRequest().documents;
    std::shared_ptr<BodyMemory> memory;
    char* text = nullptr;
    size_t length = 0;
    bool decoded = false;  // the bytes as they lie, decoded as the request arrived
    if (docs && docs->memory && data && docs->text &&
        (docs->decoded ? data == docs->standIn.c_str() : data == docs->text)) {
        memory = std::move(docs->memory);
        text = const_cast<char*>(docs->text);  // the request's own memory, the command's from now on
        length = docs->length;
        decoded = docs->decoded;
        docs->text = nullptr;
    } else {
        length = data ? std::strlen(data) : 0;
        memory = std::make_shared<BodyMemory>(Base64DecodedBound(length));
    }
    auto* out = reinterpret_cast<uint8_t*>(text ? text : memory->data());
    const size_t size = decoded ? length : Base64DecodeTo(text ? text : data, length, out);
    const size_t offset = static_cast<size_t>(reinterpret_cast<char*>(out) - memory->data());
    memory->KeepOnly(offset + size);
    const size_t room = memory->capacity() - offset;  // pages given back above come again when written
    return SharedBytes(memory, out, size, room);
}

std::string AttachAnswerDocument(DocumentPieces& document) {
    RequestDocuments* docs = CurrentRequest().documents;
    if (!docs) return {};
    docs->answer = RequestDocuments::Attached{"~" + NewGuidText() + "~", std::move(document)};
    return docs->answer->marker;
}

std::string AttachAnswerDocument(SharedBytes& bytes) {
    if (!CurrentRequest().documents) return {};
    DocumentPieces document;
    document.pieces.push_back(std::move(bytes));
    return AttachAnswerDocument(document);
}

size_t DocumentPieces::size() const {
    size_t n = 0;
    for (const SharedBytes& piece : pieces) n += piece.size();
    return n;
}

std::vector<uint8_t> DocumentPieces::Prefix(size_t n) const {
    std::vector<uint8_t> out;
    for (const SharedBytes& piece : pieces) {
        if (out.size() == n) break;
        const size_t take = std::min(n - out.size(), piece.size());
        out.insert(out.end(), piece.data(), piece.data() + take);
    }
    return out;
}

SharedBytes DocumentPieces::Joined() const {
    const size_t total = size();
    auto memory = std::make_shared<BodyMemory>(total);
    auto* out = reinterpret_cast<uint8_t*>(memory->data());
    size_t at = 0;
    for (const SharedBytes& piece : pieces) {
        if (piece.size()) std::memcpy(out + at, piece.data(), piece.size());
        at += piece.size();
    }
    return SharedBytes(std::move(memory), out, total);
}

}  // namespace zk
