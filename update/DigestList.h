// The digest list of an update: "digest.txt" in the program folder and on the
// update server, one entry per line, an MD5 value and a file name relative to
// the program folder ("<md5> <name>", CR LF or LF). Only plain names of files
// in the program folder itself are accepted; everything else makes the whole
// list invalid, so that nothing is ever written outside the program folder.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk::update {

// File name -> listed MD5 (lower-case hex after parsing), ordered by name in
// byte order.
using DigestList = std::map<std::string, std::string>;

constexpr size_t kMaxListEntries = 10000;
constexpr size_t kMaxNameBytes = 255;

// Parses a list: for each entry the next token delimited by blanks or line
// breaks is the MD5 value and the rest of its line the name (names may hold
// spaces), white space cut from both ends of each. False, with the reason in
// why, when an entry lacks a name, a value is not 32 hexadecimal digits, a
// name is not safe (IsSafeFileName), the text holds a NUL byte, or there are
// more than kMaxListEntries entries. A name listed twice keeps its last value.
bool ParseDigestList(std::string_view text, DigestList& out, std::string* why = nullptr);

// A name that stays in the program folder: not empty, at most kMaxNameBytes,
// no "/" or "\" (so never absolute and never in another folder), no "..", no
// control characters, not "." and not a name the update itself uses for
// staging (holding ".~" or ending with ".bak").
bool IsSafeFileName(std::string_view name, std::string* why = nullptr);

// MD5 values compared without regard to case.
bool SameDigest(std::string_view a, std::string_view b);

// The MD5 of bytes as 32 lower-case hexadecimal digits.
std::string Md5Hex(const uint8_t* data, size_t size);
// The same of a file read in pieces (a program file may be large), with its
// length in bytes when asked: nothing when it cannot be read whole or is
// larger than maxBytes.
std::optional<std::string> FileMd5Hex(const std::string& path, uint64_t maxBytes, uint64_t* bytes = nullptr);

// A name for the address: letters, digits and "-._~" stay, every other byte
// becomes "%" and two lower-case hexadecimal digits.
std::string PercentEncode(std::string_view name);

// The base address, "/" unless it ends with one, and the encoded name.
std::string FileAddress(const std::string& base, std::string_view name);

}  // namespace zk::update
