// Reading the children of a request's Params element. Names are compared
// without regard to ASCII case; when a parameter occurs twice the later one
// wins unless the command treats it as a list.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "platform/Text.h"

namespace zk {

bool NameEquals(const char* a, const char* b);

// The last child element named name, or nullptr.
const tinyxml2::XMLElement* LastChild(const tinyxml2::XMLElement* parent, const char* name);
// Every child element named name, in document order.
std::vector<const tinyxml2::XMLElement*> Children(const tinyxml2::XMLElement* parent, const char* name);

// The raw text (as parsed, UTF-8) of the first child of an element when it is
// a text node; empty otherwise.
std::string ElementText(const tinyxml2::XMLElement* element);

// Raw text of the last child named name; empty when absent or empty.
std::string ChildText(const tinyxml2::XMLElement* parent, const char* name);
// Raw text of the last child named name that has text.
std::string LastChildTextWithText(const tinyxml2::XMLElement* parent, const char* name);

// True only for the text "true" in any case.
bool IsTrueText(const std::string& text);
bool ChildIsTrue(const tinyxml2::XMLElement* parent, const char* name);

// An attribute found without regard to case; empty when absent.
std::string AttributeText(const tinyxml2::XMLElement* element, const char* name);

// A decimal number and nothing else (blanks around it allowed); false for
// any other text, empty included.
bool ParseDecimal(const std::string& text, int64_t& value);

// A slot number parameter: decimal, unsigned 32-bit slot numbers included
// (they come back as DONGLES_LIST wrote them); 0 when absent.
int32_t SlotIdParam(const tinyxml2::XMLElement* params, const char* name);


}  // namespace zk
