// Secrets never reach the log: request and answer texts are passed through
// here before they are logged.
#pragma once
#include <string>
#include <string_view>

namespace tinyxml2 {
class XMLNode;
}

namespace zk::log {

// The request text with the content of every secret-bearing element
// (passwords, PINs, key bytes, seeds) and every KEY attribute replaced by
// "***". Element names are compared without regard to case. Works on the
// text; RedactDocument is the one the front end uses.
std::string RedactSecrets(std::string_view xml);

// A parsed request or answer printed for the log: secret-bearing elements and
// KEY attributes as "***"; the elements that carry a command's data as their
// length only ("[N bytes]"): Data of SAVE_DATA, LOAD_DATA, SYMMETRIC, ENCRYPT,
// GET_ORIGINAL, GET_SIGNED and the token files (DONGLES_FILE_GET,
// DONGLES_FILE_SET), Query, Result and FIELD of DB_COMMAND; Data, Content,
// Container, Signed, Decrypted, Response, CRL and OCSP of the CTX_ commands
// where they hold text (documents, containers, validation data). command is
// the request's command
// name (any case). Printing stops soon after maxLength characters.
std::string RedactDocument(const tinyxml2::XMLNode& document, std::string_view command, size_t maxLength);

// A text the document holds by a marker (a document left out of the parsed
// request, or left to the front end by an answer): printed as the text it
// stands for, of which shown is the beginning (at least what fits the
// printed length) and length the whole length.
struct StandIn {
    std::string_view marker;
    std::string_view shown;
    size_t length = 0;
};
std::string RedactDocument(const tinyxml2::XMLNode& document, std::string_view command, size_t maxLength,
                           const StandIn& standIn);

// The command name of a parsed request ("" when it has none): the text of
// Command under the first Request element.
std::string RequestCommand(const tinyxml2::XMLNode& document);

}  // namespace zk::log
