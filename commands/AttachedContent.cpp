#include "commands/AttachedContent.h"

#include "provider/ContentFraming.h"

namespace zk {
namespace {

SharedBytes Shared(std::vector<uint8_t> bytes) {
    auto owner = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
    return SharedBytes(owner, owner->data(), owner->size());
}

}  // namespace

DocumentPieces OnePiece(provider::Output&& output) {
    DocumentPieces document;
    document.pieces.push_back(provider::Shared(std::move(output)));
    return document;
}

int AttachContent(const provider::Site& site, provider::Output detached, SharedBytes document,
                  DocumentPieces& container) {
    if (auto frame = provider::FrameAttachedContent({detached.data(), detached.size()}, document.size())) {
        container.pieces.clear();
        container.pieces.push_back(Shared(std::move(frame->head)));
        container.pieces.push_back(std::move(document));
        container.pieces.push_back(Shared(std::move(frame->tail)));
        return 0;
    }
    provider::Output whole;
    const int code = provider::Invoke<ZK_EXPORT(ZKLCTX_AddContent)>(site, provider::ByteView(detached.data(), detached.size()),
                                                                    document.view(), whole);
    container = OnePiece(std::move(whole));
    return code;
}

}  // namespace zk
