// Secrets never reach the log: request and answer texts are passed through
// here before they are logged.
#pragma once
#include <span>
#include <string>
#include <string_view>

namespace tinyxml2 {
class XMLNode;
}

namespace zk::log {

// What the log hides of one document (each command's row says it: the
// commands layer's LogRulesFor): the text of secret elements (passwords,
// PINs, key bytes, seeds) and the values of secret attributes as "***"; the
// text of data elements, and of document elements where they hold text, as
// its length only ("[N bytes]"). Names are compared without regard to case.
struct LogRules {
    std::span<const std::string_view> secrets;
    std::span<const std::string_view> secretAttributes;
    std::span<const std::string_view> data;
    std::span<const std::string_view> documents;
};

// The request text with the secrets of rules masked. Works on the text;
// RedactDocument is the one the front end uses.
std::string RedactSecrets(std::string_view xml, const LogRules& rules);

// A parsed request or answer printed for the log with rules applied.
// Printing stops soon after maxLength characters.
std::string RedactDocument(const tinyxml2::XMLNode& document, const LogRules& rules, size_t maxLength);

// A text the document holds by a marker (a document left out of the parsed
// request, or left to the front end by an answer): printed as the text it
// marks, of which shown is the beginning (at least what fits the
// printed length) and length the whole length.
struct StandIn {
    std::string_view marker;
    std::string_view shown;
    size_t length = 0;
};
std::string RedactDocument(const tinyxml2::XMLNode& document, const LogRules& rules, size_t maxLength,
                           const StandIn& standIn);

// The command name of a parsed request ("" when it has none): the text of
// Command under the first Request element.
std::string RequestCommand(const tinyxml2::XMLNode& document);

}  // namespace zk::log
