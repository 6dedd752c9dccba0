// The XML pre-scan must never let through what the parser would build
// beyond the limits: whatever it accepts and the parser parses has no element
// with more than kMaxAttributes attributes and at most MaxNodes nodes.
#include <tinyxml2.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/XmlLimits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!zk::http::WithinXmlLimits(text)) return 0;
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return 0;
    size_t nonText = 0;
    std::vector<const tinyxml2::XMLNode*> stack{&doc};
    while (!stack.empty()) {
        const tinyxml2::XMLNode* n = stack.back();
        stack.pop_back();
        if (n != &doc && !n->ToText()) ++nonText;
        if (const tinyxml2::XMLText* t = n->ToText(); t && t->CData()) ++nonText;
        if (const tinyxml2::XMLElement* e = n->ToElement()) {
            size_t attributes = 0;
            for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) ++attributes;
            if (attributes > zk::http::kMaxAttributes) abort();
        }
        for (const tinyxml2::XMLNode* c = n->FirstChild(); c; c = c->NextSibling()) stack.push_back(c);
    }
    if (nonText > zk::http::MaxNodes(text.size())) abort();
    return 0;
}
