// Conversion between the system's inner Windows-1251 text and UTF-8.
#pragma once
#include <string>
#include <string_view>

namespace zk {

// UTF-8 to Windows-1251. A character without a 1251 form, and every byte that
// is not valid UTF-8, becomes "?".
std::string Utf8ToCp1251(std::string_view utf8);

// Windows-1251 to UTF-8. The one undefined 1251 byte (0x98) becomes "?".
std::string Cp1251ToUtf8(std::string_view cp1251);
// The same over the text itself: an all-ASCII text (a large answer is mostly
// Base64) is left as it is, without a copy.
void Cp1251ToUtf8InPlace(std::string& text);

// A Windows-1251 letter in lower case (Latin and Cyrillic); other bytes unchanged.
unsigned char LowerCp1251(unsigned char c);
// Windows-1251 texts compared without regard to letter case.
bool EqualNoCaseCp1251(std::string_view a, std::string_view b);

}  // namespace zk
