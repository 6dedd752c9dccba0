// A container with its content, framed around a content the caller already
// holds: the DER a container without content becomes when the content is
// attached (the provider's attached encoding, byte for byte) is
//     head + content + tail,
// so an answer can be sent as those three pieces, the content read where it
// lies (the request's own document) instead of copied into a second block
// the size of the document.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/Der.h"

namespace zk::provider {

using der::ContentFrame;

// detached: the DER of a ContentInfo holding a SignedData without content
// (encapContentInfo holding its content type only), definite lengths, filling
// the bytes exactly. Nothing for anything else (then nothing can be framed
// this way, and the caller attaches the content the usual way), or when the
// attached container would not fit the contract's lengths.
std::optional<ContentFrame> FrameAttachedContent(std::span<const uint8_t> detached, size_t contentLength);

}  // namespace zk::provider
