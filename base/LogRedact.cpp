#include "base/LogRedact.h"

#include <tinyxml2.h>

#include <array>
#include <cctype>
#include <cstring>
#include <vector>

#include "platform/Text.h"

namespace zk::log {
namespace {

constexpr std::string_view kMask = "***";

bool NameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool Listed(std::span<const std::string_view> names, std::string_view name) {
    for (auto n : names)
        if (EqualNoCase(n, name)) return true;
    return false;
}

bool HoldsText(const tinyxml2::XMLElement& element) {
    return element.FirstChild() && element.FirstChild()->ToText();
}

size_t TextLength(const tinyxml2::XMLNode& node, const StandIn* standIn) {
    size_t total = 0;
    std::vector<const tinyxml2::XMLNode*> stack{&node};
    while (!stack.empty()) {
        const tinyxml2::XMLNode* n = stack.back();
        stack.pop_back();
        if (n->ToText()) total += standIn && standIn->marker == n->Value() ? standIn->length : strlen(n->Value());
        for (const tinyxml2::XMLNode* c = n->FirstChild(); c; c = c->NextSibling()) stack.push_back(c);
    }
    return total;
}

// Prints a document with the masks applied. Children of masked elements are
// never visited, and once the text is long enough the walk stops (every
// element opened is still closed, so the text stays well-formed).
class RedactingPrinter : public tinyxml2::XMLPrinter {
public:
    RedactingPrinter(const LogRules& rules, size_t maxLength, const StandIn* standIn)
        : tinyxml2::XMLPrinter(nullptr, true), rules_(rules), maxLength_(maxLength), standIn_(standIn) {}

    bool VisitEnter(const tinyxml2::XMLElement& element, const tinyxml2::XMLAttribute* attribute) override {
        OpenElement(element.Name(), true);
        if (Full()) return false;
        for (; attribute; attribute = attribute->Next())
            PushAttribute(attribute->Name(), Listed(rules_.secretAttributes, attribute->Name())
                                                 ? std::string(kMask).c_str()
                                                 : attribute->Value());
        const bool secret = Listed(rules_.secrets, element.Name());
        // The root (an answer's own Result) is never a data element.
        const bool root = !element.Parent() || !element.Parent()->ToElement();
        const bool document = Listed(rules_.documents, element.Name()) && HoldsText(element);
        if (!secret && (root || (!Listed(rules_.data, element.Name()) && !document))) return true;
        if (element.FirstChild()) {
            if (secret) PushText(std::string(kMask).c_str());
            else PushText(("[" + std::to_string(TextLength(element, standIn_)) + " bytes]").c_str());
        }
        return false;
    }
    bool VisitExit(const tinyxml2::XMLElement&) override {
        CloseElement(true);
        return !Full();
    }
    bool Visit(const tinyxml2::XMLText& text) override {
        if (Full()) return false;
        if (standIn_ && standIn_->marker == text.Value()) {
            // As much of the text as the printed length takes.
            const size_t room = maxLength_ + 1 - static_cast<size_t>(CStrSize()) + 1;
            PushText(std::string(standIn_->shown.substr(0, room)).c_str());
            return true;
        }
        PushText(text.Value(), text.CData());
        return true;
    }

private:
    bool Full() { return static_cast<size_t>(CStrSize()) > maxLength_; }
    const LogRules& rules_;
    size_t maxLength_;
    const StandIn* standIn_;
};

// Masks the values of secret attributes inside one start tag [begin, end).
std::string MaskAttributes(std::string_view tag, std::span<const std::string_view> secretAttributes) {
    std::string out;
    size_t i = 0;
    while (i < tag.size()) {
        if (NameChar(tag[i]) && (i == 0 || !NameChar(tag[i - 1]))) {
            size_t n = i;
            while (n < tag.size() && NameChar(tag[n])) ++n;
            std::string_view name = tag.substr(i, n - i);
            size_t eq = n;
            while (eq < tag.size() && std::isspace(static_cast<unsigned char>(tag[eq]))) ++eq;
            if (eq < tag.size() && tag[eq] == '=' && Listed(secretAttributes, name)) {
                size_t q = eq + 1;
                while (q < tag.size() && std::isspace(static_cast<unsigned char>(tag[q]))) ++q;
                if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'')) {
                    size_t close = tag.find(tag[q], q + 1);
                    if (close != std::string_view::npos) {
                        out.append(tag.substr(i, q + 1 - i));
                        out.append(kMask);
                        i = close;
                        continue;
                    }
                }
            }
            out.append(name);
            i = n;
            continue;
        }
        out.push_back(tag[i++]);
    }
    return out;
}

// The ">" that ends the tag opened at lt: one inside a quoted attribute
// value does not (else a secret value holding ">" would escape the mask).
size_t TagEnd(std::string_view xml, size_t lt) {
    char quote = 0;
    for (size_t i = lt + 1; i < xml.size(); ++i) {
        char c = xml[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

std::string RedactSecrets(std::string_view xml, const LogRules& rules) {
    std::string out;
    out.reserve(xml.size());
    size_t i = 0;
    while (i < xml.size()) {
        size_t lt = xml.find('<', i);
        if (lt == std::string_view::npos) {
            out.append(xml.substr(i));
            break;
        }
        out.append(xml.substr(i, lt - i));
        size_t gt = TagEnd(xml, lt);
        if (gt == std::string_view::npos) {
            out.append(xml.substr(lt));
            break;
        }
        std::string_view tag = xml.substr(lt, gt + 1 - lt);
        out.append(MaskAttributes(tag, rules.secretAttributes));
        i = gt + 1;
        // A secret element's content runs to its end tag.
        size_t n = lt + 1;
        while (n < gt && NameChar(xml[n])) ++n;
        std::string_view name = xml.substr(lt + 1, n - lt - 1);
        bool selfClosing = gt > lt && xml[gt - 1] == '/';
        if (name.empty() || selfClosing || !Listed(rules.secrets, name)) continue;
        size_t search = i;
        while (true) {
            size_t end = xml.find("</", search);
            if (end == std::string_view::npos) {
                out.append(kMask);
                return out;
            }
            std::string_view endName = xml.substr(end + 2, name.size());
            if (EqualNoCase(endName, name) && (end + 2 + name.size() >= xml.size() || !NameChar(xml[end + 2 + name.size()]))) {
                if (end > i) out.append(kMask);
                i = end;
                break;
            }
            search = end + 2;
        }
    }
    return out;
}

std::string RedactDocument(const tinyxml2::XMLNode& document, const LogRules& rules, size_t maxLength) {
    RedactingPrinter printer(rules, maxLength, nullptr);
    document.Accept(&printer);
    return std::string(printer.CStr(), printer.CStrSize() > 0 ? printer.CStrSize() - 1 : 0);
}

std::string RedactDocument(const tinyxml2::XMLNode& document, const LogRules& rules, size_t maxLength,
                           const StandIn& standIn) {
    RedactingPrinter printer(rules, maxLength, &standIn);
    document.Accept(&printer);
    return std::string(printer.CStr(), printer.CStrSize() > 0 ? printer.CStrSize() - 1 : 0);
}

std::string RequestCommand(const tinyxml2::XMLNode& document) {
    // The first Request in document order, as the dispatcher finds it.
    std::vector<const tinyxml2::XMLNode*> stack{&document};
    while (!stack.empty()) {
        const tinyxml2::XMLNode* n = stack.back();
        stack.pop_back();
        if (const tinyxml2::XMLElement* e = n->ToElement(); e && EqualNoCase(e->Name(), "Request")) {
            std::string command;
            for (const tinyxml2::XMLElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement())
                if (EqualNoCase(c->Name(), "Command") && c->FirstChild() && c->FirstChild()->ToText())
                    command = c->FirstChild()->Value();
            return command;
        }
        std::vector<const tinyxml2::XMLNode*> children;
        for (const tinyxml2::XMLNode* c = n->FirstChild(); c; c = c->NextSibling()) children.push_back(c);
        stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    return {};
}

}  // namespace zk::log
