// Text helpers that handlers use to read requests and fill answers. Inner
// text is Windows-1251; requests carry UTF-8 and Base64.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include <tinyxml2.h>

#include "platform/CodePage.h"

namespace zk {

// The text of the element's first child converted from UTF-8 to Windows-1251
// and cut to fit a buffer of bufferSize bytes (terminator included); empty
// when the element has no text.
std::string ParamText(const tinyxml2::XMLElement* element, size_t bufferSize);

// Base64 of the UTF-8 form of a Windows-1251 text; empty for empty input.
std::string TextToBase64(std::string_view cp1251);
// Base64 text decoded, taken as UTF-8 and converted to Windows-1251.
std::string Base64ToText(std::string_view base64);

// A fresh random GUID as 32 upper-case hex digits.
std::string NewGuidText();

// Local time "DD.MM.YYYY HH:MM:SS"; empty for time 0.
std::string DateText(int64_t secondsSince1970);

// Hex digits of bytes ("%02x" or "%02X").
std::string HexText(const uint8_t* data, size_t len, bool upper);

}  // namespace zk
