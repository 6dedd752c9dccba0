// A container whose content is left where it lies in the caller's bytes:
// the structure around the content (certificates, signers) is parsed
// without it, so verifying or reading a large signed document does not
// copy the document into the parsed structure.
#pragma once
#include <cstddef>
#include <cstdint>

#include "zelkord/Ossl.h"

namespace zkd {

// A SignedData read from the caller's bytes, its content located.
struct SignedBlock {
    CmsPtr cms;
    const uint8_t* content = nullptr;
    size_t contentLen = 0;
    bool lent = false;  // content lies in the caller's bytes, outside cms
};

// The SignedData of data (len bytes) parsed with its content lent, when
// the content is one primitive OCTET STRING inside a well-formed structure
// that fills data exactly and the structure around it parses. False
// otherwise (the caller parses data whole then, for its own codes); out is
// left empty.
bool ParseLent(const uint8_t* data, size_t len, SignedBlock& out);

}  // namespace zkd
