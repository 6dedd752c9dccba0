// The answer envelope every command sends, the bare error envelope of the
// front end, and the printer that renders them.
#pragma once
#include <string>

#include <tinyxml2.h>

#include "base/RequestDocument.h"
#include "provider/Operations.h"

namespace zk {

constexpr const char* kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";
constexpr int kNoDetail = -1;

// Appends the declaration and Result/Command/Return(/Code/Message[/CSPCode/
// CSPMessage])/Data[/Detailing] to an empty document and returns Data. Reads
// the provider's last error at this moment and logs the answer line.
tinyxml2::XMLElement* BuildXMLHead(tinyxml2::XMLDocument& doc, const char* command, int code, int detail = kNoDetail);

// The envelope without Command and provider fields (codes 55 and 56).
std::string BareErrorEnvelope(int code);

// The declaration every printed document starts with (version 1.0, utf-8).
void AddDeclaration(tinyxml2::XMLDocument& doc);

// One tab per nesting level, "\n" line breaks, empty elements self-closing.
std::string PrintDocument(const tinyxml2::XMLDocument& doc);

// Prints the document with the Base64 of data as the text of holder. The
// Base64 is written straight into the printed text, so a large result is not
// copied through the document and its printer.
std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, const void* data,
                                    size_t len);
// The same with bytes the command hands over. A large document is not
// written here at all: the front end encodes it straight into what it sends
// (AttachAnswerDocument); the answer text holds a marker in its place.
std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, SharedBytes bytes);
std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder,
                                    provider::Output&& bytes);
std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, DocumentPieces document);

// The answer of a command whose result is a document: the code (and the
// detail value when there is one), and on success the document as the text
// of Data (a large one left to the front end to encode as it sends it).
std::string DocumentAnswer(const char* command, int code, DocumentPieces document, int detail = kNoDetail);
std::string DocumentAnswer(const char* command, int code, SharedBytes document, int detail = kNoDetail);

// An answer with nothing under Data, printed.
std::string SimpleAnswer(const char* command, int code, int detail = kNoDetail);
// The same for an operation the service refused itself: CSPMessage says why
// (reason in UTF-8), as the provider's message says it for the provider's
// refusals.
std::string RefusalAnswer(const char* command, int code, const std::string& reasonUtf8);

// Helpers for filling answers.
tinyxml2::XMLElement* AddTextElement(tinyxml2::XMLElement* parent, const char* name, const std::string& text);
// An element without a value: no text and xsi:nil="true".
void SetNil(tinyxml2::XMLElement* element);
tinyxml2::XMLElement* AddNilElement(tinyxml2::XMLElement* parent, const char* name);

}  // namespace zk
