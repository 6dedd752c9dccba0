// Documents without copies. A request's document (the Base64 text of
// Request/Data) stays where the front end received it, outside the parsed
// request, and a command decodes it there (TakeRequestDocument); a document
// an answer carries (a signed or opened document, a container) stays in the
// command's output, and the front end encodes it straight into what it sends
// (AttachAnswerDocument, used by PrintDocumentWithBase64). So a document is
// held twice at most, as the command's input and as its output, and once
// where the output is built around the input or over it (a container framed
// around its content, an envelope opened or made in place).
//
// A command adopts it with two lines:
//     SharedBytes document = TakeRequestDocument(data);   // instead of Base64Decode(data)
//     ... document.view() to the provider, then document.Release() ...
//     answer = PrintDocumentWithBase64(doc, holder, std::move(output));  // a provider::Output or SharedBytes
// Outside the front end (tests, tools) both work on plain memory.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/Memory.h"
#include "platform/SecureWipe.h"

namespace zk {

// Bytes and what keeps them alive (the request's memory, a provider output).
class SharedBytes {
public:
    SharedBytes() = default;
    // room: how many bytes from data on its owner lets the holder write
    // (at least size; the bytes after size hold nothing of value).
    SharedBytes(std::shared_ptr<void> owner, uint8_t* data, size_t size, size_t room = 0)
        : owner_(std::move(owner)), data_(data), size_(size), room_(std::max(room, size)) {}
    // A moved-from value holds nothing (not bytes without their owner).
    SharedBytes(SharedBytes&& other) noexcept
        : owner_(std::move(other.owner_)), data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)), room_(std::exchange(other.room_, 0)) {}
    SharedBytes& operator=(SharedBytes&& other) noexcept {
        if (this != &other) {
            owner_ = std::move(other.owner_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            room_ = std::exchange(other.room_, 0);
        }
        return *this;
    }
    SharedBytes(const SharedBytes&) = default;
    SharedBytes& operator=(const SharedBytes&) = default;
    std::span<const uint8_t> view() const { return {data_, size_}; }
    std::span<uint8_t> mutableView() { return {data_, size_}; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t room() const { return room_; }
    // Bytes [offset, offset + size) of the room, kept alive by the same owner.
    SharedBytes Within(size_t offset, size_t size) const {
        return offset <= room_ && size <= room_ - offset ? SharedBytes(owner_, data_ + offset, size) : SharedBytes();
    }
    // Lets go of the bytes (freed, and wiped if their owner wipes, once no
    // one else holds them).
    void Release() {
        owner_.reset();
        data_ = nullptr;
        size_ = room_ = 0;
    }

private:
    std::shared_ptr<void> owner_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0, room_ = 0;
};

// A document made of pieces that follow one another, each kept alive by its
// own owner: a container framed around the request's own document (its DER
// head, the document where it was received, its DER tail) is sent without
// being put together.
struct DocumentPieces {
    std::vector<SharedBytes> pieces;
    size_t size() const;
    // A copy of the first n bytes (all of them when there are fewer).
    std::vector<uint8_t> Prefix(size_t n) const;
    // The pieces as one block of their own (for a caller without a front end).
    SharedBytes Joined() const;
};

// The request's document and the answer's, for one request (the front end
// keeps one in the RequestContext while the command runs).
struct RequestDocuments {
    // Request/Data as the dispatcher hands it to the command: NUL-terminated
    // Base64 text inside memory.
    const char* text = nullptr;
    size_t length = 0;
    // text holds the document's bytes, decoded as the request arrived, not
    // its Base64: the dispatcher hands the marker (standIn) to a command
    // that takes the document, and reencoded to any other.
    bool decoded = false;
    SecretString reencoded;
    std::string standIn;  // what the parsed request holds in its place
    std::shared_ptr<BodyMemory> memory;  // until a command takes the document
    // The document of the answer: its Base64 goes where marker is in the
    // answer text.
    struct Attached {
        std::string marker;
        DocumentPieces bytes;
    };
    std::optional<Attached> answer;
};

// The bytes of the request's Data text: decoded where the text lies when it
// is the request's own document (the command then owns that memory: drop it
// with Release as soon as it is no longer needed; data is no longer valid
// then), else decoded from data into memory of their own. The bytes keep
// the rest of their memory as room (a command may build its output there,
// around the document); the memory wipes only the document's own bytes when
// it goes, so a secret written past them is the writer's to wipe.
SharedBytes TakeRequestDocument(const char* data);

// Leaves bytes to the front end, which writes their Base64 in place of the
// returned marker in the answer text. Empty, with bytes left as they were,
// when there is no front end to take them (the caller then writes the Base64
// itself).
std::string AttachAnswerDocument(SharedBytes& bytes);
// The same for a document in pieces.
std::string AttachAnswerDocument(DocumentPieces& document);

// Answers carry their document by reference from this size on: smaller ones
// are cheaper to write at once.
constexpr size_t kAttachFrom = 64 << 10;

}  // namespace zk
