// Base64 of the strict alphabet (A-Z, a-z, 0-9, "+", "/"), 32 characters at
// a time with AVX2 where the processor has it. The service's decoding is lax
// (whitespace skipped, any character counted), which no Debian library
// decodes; but on a run of strict characters the lax rules and the standard
// ones agree, and a large document is nearly all such runs. The lax decoder
// takes over at the first block holding anything else.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zk {

// Decodes whole blocks from text while they hold only strict characters,
// writing 24 bytes per block at out (which may lie at or before text: a
// block is read before its bytes are written). Stores are 32 bytes wide, so
// out needs room for 8 bytes past what is decoded; blocks are taken only
// while at least 48 characters remain, which gives that room to any output
// sized for the whole text. lastTwo receives the last two characters taken.
// Returns how many characters were decoded (a multiple of 32; 0 without AVX2).
size_t DecodeStrictBlocks(const unsigned char* text, size_t len, uint8_t* out, char lastTwo[2]);

}  // namespace zk
