// Containers with their content for answers, built around the request's
// document where it lies. The signature of a container is the same with or
// without its content (its signed attributes carry the content's digest
// either way), so a command signs without content and the answer frames the
// document between the DER head and tail of the attached form: a large
// document is then held once, not once more inside its container.
#pragma once
#include "base/RequestDocument.h"
#include "provider/Operations.h"

namespace zk {

// From this document size on a container with content is made this way.
constexpr size_t kFrameFrom = kAttachFrom;

// The container with document as content, for detached (a container without
// content the provider made over document): head, document, tail when it
// frames (the provider's attached encoding byte for byte); else the provider
// attaches it (ZKLCTX_AddContent). 0 or the provider's code.
int AttachContent(const provider::Site& site, provider::Output detached, SharedBytes document,
                  DocumentPieces& container);

// An output as a document of one piece.
DocumentPieces OnePiece(provider::Output&& output);

}  // namespace zk
