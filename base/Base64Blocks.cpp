#include "base/Base64Blocks.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zk {

#if defined(__x86_64__)
namespace {

// Each character is classified by its two nibbles: a character is strict
// when the bits its low nibble selects and those its high nibble selects
// never meet; its value is the character plus an offset chosen by the high
// nibble ("/" apart, which shares its nibble with "+").
__attribute__((target("avx2"))) size_t DecodeAvx2(const unsigned char* text, size_t len, uint8_t* out,
                                                  char lastTwo[2]) {
    const __m256i lutLo = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                           0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                           0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lutHi = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i lutRoll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                             -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask2F = _mm256_set1_epi8(0x2F);
    const __m256i packBytes = _mm256_set1_epi32(0x01400140);
    const __m256i packWords = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                                           10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
    size_t done = 0, written = 0;
    while (len - done >= 48) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + done));
        const __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(in, 4), mask2F);
        const __m256i loNibbles = _mm256_and_si256(in, mask2F);
        const __m256i lo = _mm256_shuffle_epi8(lutLo, loNibbles);
        const __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
        if (!_mm256_testz_si256(lo, hi)) break;  // a character outside the strict alphabet
        const __m256i is2F = _mm256_cmpeq_epi8(in, mask2F);
        const __m256i roll = _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(is2F, hiNibbles));
        const __m256i values = _mm256_add_epi8(in, roll);
        const __m256i words = _mm256_maddubs_epi16(values, packBytes);
        __m256i bytes = _mm256_madd_epi16(words, packWords);
        bytes = _mm256_shuffle_epi8(bytes, order);
        bytes = _mm256_permutevar8x32_epi32(bytes, lanes);
        lastTwo[0] = static_cast<char>(text[done + 30]);  // before the store may cover them
        lastTwo[1] = static_cast<char>(text[done + 31]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + written), bytes);
        done += 32;
        written += 24;
    }
    return done;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

}  // namespace

size_t DecodeStrictBlocks(const unsigned char* text, size_t len, uint8_t* out, char lastTwo[2]) {
    return HasAvx2() ? DecodeAvx2(text, len, out, lastTwo) : 0;
}
#else
size_t DecodeStrictBlocks(const unsigned char*, size_t, uint8_t*, char*) { return 0; }
#endif

}  // namespace zk
