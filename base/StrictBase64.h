// Canonical Base64 over its own memory: the strict alphabet (A-Z, a-z, 0-9,
// "+", "/"), "=" only to pad the last group, and the unused bits of a padded
// group zero. Such text is exactly the encoding of its bytes (the lax
// decoding of CBase64.h gives the same bytes), so a document decoded where
// it lies while it arrives can be given back as the very text it came as
// when it turns out to be wanted as text after all.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zk {

// A character of the strict alphabet.
bool IsStrictBase64(char c);

// Decodes whole groups of strict characters from the start of text to out,
// which may lie at or before text (a group is read before its bytes are
// written). Stops at the first group holding anything else, or with fewer
// than 4 characters left. Returns the characters taken (a multiple of 4);
// their bytes are 3/4 of that.
size_t DecodeStrictGroups(const char* text, size_t len, uint8_t* out);

// A padded last group ("xx==" or "xxx=", unused bits zero): writes its 1 or
// 2 bytes to out (at or before group) and returns how many; 0 for anything
// else.
size_t DecodePaddedGroup(const char group[4], uint8_t* out);

// Writes the Base64 text of the len bytes at data over them: data has room
// for (len + 2) / 3 * 4 characters.
void Base64EncodeInPlace(uint8_t* data, size_t len);

}  // namespace zk
