#include "base/Params.h"

#include <cstdlib>

#include <charconv>
#include <strings.h>

namespace zk {

bool NameEquals(const char* a, const char* b) { return a && b && strcasecmp(a, b) == 0; }

const tinyxml2::XMLElement* LastChild(const tinyxml2::XMLElement* parent, const char* name) {
    const tinyxml2::XMLElement* found = nullptr;
    if (!parent) return nullptr;
    for (const auto* e = parent->FirstChildElement(); e; e = e->NextSiblingElement())
        if (NameEquals(e->Name(), name)) found = e;
    return found;
}

std::vector<const tinyxml2::XMLElement*> Children(const tinyxml2::XMLElement* parent, const char* name) {
    std::vector<const tinyxml2::XMLElement*> list;
    if (!parent) return list;
    for (const auto* e = parent->FirstChildElement(); e; e = e->NextSiblingElement())
        if (NameEquals(e->Name(), name)) list.push_back(e);
    return list;
}

std::string ElementText(const tinyxml2::XMLElement* element) {
    if (!element) return {};
    const tinyxml2::XMLNode* first = element->FirstChild();
    const tinyxml2::XMLText* text = first ? first->ToText() : nullptr;
    return text && text->Value() ? std::string(text->Value()) : std::string();
}

std::string ChildText(const tinyxml2::XMLElement* parent, const char* name) { return ElementText(LastChild(parent, name)); }

std::string LastChildTextWithText(const tinyxml2::XMLElement* parent, const char* name) {
    std::string text;
    for (const auto* e : Children(parent, name)) {
        std::string t = ElementText(e);
        if (!t.empty()) text = t;
    }
    return text;
}

bool IsTrueText(const std::string& text) { return strcasecmp(text.c_str(), "true") == 0; }

bool ChildIsTrue(const tinyxml2::XMLElement* parent, const char* name) { return IsTrueText(ChildText(parent, name)); }

std::string AttributeText(const tinyxml2::XMLElement* element, const char* name) {
    if (!element) return {};
    for (const auto* a = element->FirstAttribute(); a; a = a->Next())
        if (NameEquals(a->Name(), name)) return a->Value() ? a->Value() : "";
    return {};
}

bool ParseDecimal(const std::string& text, int64_t& value) {
    const std::string t = TrimBlanks(text);
    const char* end = t.data() + t.size();
    auto [p, ec] = std::from_chars(t.data(), end, value);
    return !t.empty() && ec == std::errc() && p == end;
}

int32_t SlotIdParam(const tinyxml2::XMLElement* params, const char* name) {
    const std::string text = ChildText(params, name);
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace zk
