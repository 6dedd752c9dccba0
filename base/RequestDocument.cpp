#include "base/RequestDocument.h"

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
    if (docs && docs->memory && data && data == docs->text) {
        memory = std::move(docs->memory);
        text = const_cast<char*>(docs->text);  // the request's own memory, the command's from now on
        length = docs->length;
        docs->text = nullptr;
    } else {
        length = data ? std::strlen(data) : 0;
        memory = std::make_shared<BodyMemory>(Base64DecodedBound(length));
    }
    auto* out = reinterpret_cast<uint8_t*>(text ? text : memory->data());
    const size_t size = Base64DecodeTo(text ? text : data, length, out);
    memory->KeepOnly(static_cast<size_t>(reinterpret_cast<char*>(out) - memory->data()) + size);
    return SharedBytes(memory, out, size);
}

std::string AttachAnswerDocument(SharedBytes& bytes) {
    RequestDocuments* docs = CurrentRequest().documents;
    if (!docs) return {};
    docs->answer = RequestDocuments::Attached{"~" + NewGuidText() + "~", std::move(bytes)};
    return docs->answer->marker;
}

}  // namespace zk
