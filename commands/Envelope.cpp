#include "commands/Envelope.h"

#include "commands/Messages.h"
#include "base/TextHelpers.h"
#include "base/CBase64.h"
#include "base/Log.h"
#include "platform/CodePage.h"
#include "provider/Operations.h"

namespace zk {
namespace {

class TabPrinter : public tinyxml2::XMLPrinter {
protected:
    void PrintSpace(int depth) override {
        for (int i = 0; i < depth; ++i) Putc('\t');
    }
};

}  // namespace

void AddDeclaration(tinyxml2::XMLDocument& doc) {
    doc.InsertEndChild(doc.NewDeclaration("xml version=\"1.0\" encoding=\"utf-8\""));
}

tinyxml2::XMLElement* AddTextElement(tinyxml2::XMLElement* parent, const char* name, const std::string& text) {
    tinyxml2::XMLElement* e = parent->InsertNewChildElement(name);
    if (!text.empty()) e->SetText(text.c_str());
    return e;
}

void SetNil(tinyxml2::XMLElement* element) { element->SetAttribute("xsi:nil", "true"); }

tinyxml2::XMLElement* AddNilElement(tinyxml2::XMLElement* parent, const char* name) {
    tinyxml2::XMLElement* e = parent->InsertNewChildElement(name);
    SetNil(e);
    return e;
}

tinyxml2::XMLElement* BuildXMLHead(tinyxml2::XMLDocument& doc, const char* command, int code, int detail) {
    int cspCode = provider::LastErrorCode();
    std::string cspMessage = provider::LastErrorMessage();
    log::Write("_BuildXMLHead", "ProcessRequest", __LINE__, "Command: '%s', Exec result: '%d', CSP result: '%d' '%s'",
               command, code, cspCode, cspMessage.c_str());

    AddDeclaration(doc);
    tinyxml2::XMLElement* result = doc.NewElement("Result");
    doc.InsertEndChild(result);
    result->SetAttribute("xmlns:xsi", kXsiNamespace);
    AddTextElement(result, "Command", command);
    tinyxml2::XMLElement* ret = result->InsertNewChildElement("Return");
    AddTextElement(ret, "Code", std::to_string(code));
    AddTextElement(ret, "Message", ReturnMessage(code));
    if (code != 0) {
        AddTextElement(ret, "CSPCode", std::to_string(cspCode));
        AddTextElement(ret, "CSPMessage", cspMessage);
    }
    tinyxml2::XMLElement* data = result->InsertNewChildElement("Data");
    if (detail != kNoDetail) AddTextElement(result, "Detailing", std::to_string(detail));
    return data;
}

std::string BareErrorEnvelope(int code) {
    tinyxml2::XMLDocument doc;
    AddDeclaration(doc);
    tinyxml2::XMLElement* result = doc.NewElement("Result");
    doc.InsertEndChild(result);
    tinyxml2::XMLElement* ret = result->InsertNewChildElement("Return");
    AddTextElement(ret, "Code", std::to_string(code));
    AddTextElement(ret, "Message", ReturnMessage(code));
    result->InsertNewChildElement("Data");
    return PrintDocument(doc);
}

std::string PrintDocument(const tinyxml2::XMLDocument& doc) {
    TabPrinter printer;
    doc.Print(&printer);
    // CStrSize counts the terminating zero.
    return std::string(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1));
}

constexpr size_t kUtf8Room = 4096;

namespace {

// Prints the document with marker as holder's text; the marker's position in
// the printed text, npos when the printer lost it.
std::string PrintWithMarker(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, const std::string& marker,
                            size_t& at) {
    holder->SetText(marker.c_str());
    std::string printed = PrintDocument(doc);
    at = printed.find(marker);
    return printed;
}

}  // namespace

std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, SharedBytes bytes) {
    if (bytes.size() < kAttachFrom) return PrintDocumentWithBase64(doc, holder, bytes.data(), bytes.size());
    const std::string marker = AttachAnswerDocument(bytes);
    if (marker.empty()) return PrintDocumentWithBase64(doc, holder, bytes.data(), bytes.size());  // no front end
    size_t at = 0;
    return PrintWithMarker(doc, holder, marker, at);
}

std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, DocumentPieces document) {
    if (document.pieces.size() == 1) return PrintDocumentWithBase64(doc, holder, std::move(document.pieces.front()));
    if (document.size() < kAttachFrom) {
        const std::vector<uint8_t> bytes = document.Prefix(document.size());
        return PrintDocumentWithBase64(doc, holder, bytes.data(), bytes.size());
    }
    const std::string marker = AttachAnswerDocument(document);
    if (marker.empty()) return PrintDocumentWithBase64(doc, holder, document.Joined());  // no front end
    size_t at = 0;
    return PrintWithMarker(doc, holder, marker, at);
}

std::string DocumentAnswer(const char* command, int code, DocumentPieces document, int detail) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code, detail);
    return code == 0 ? PrintDocumentWithBase64(doc, holder, std::move(document)) : PrintDocument(doc);
}

std::string DocumentAnswer(const char* command, int code, SharedBytes document, int detail) {
    DocumentPieces pieces;
    pieces.pieces.push_back(std::move(document));
    return DocumentAnswer(command, code, std::move(pieces), detail);
}

std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder,
                                    provider::Output&& bytes) {
    return PrintDocumentWithBase64(doc, holder, provider::Shared(std::move(bytes)));
}

std::string PrintDocumentWithBase64(tinyxml2::XMLDocument& doc, tinyxml2::XMLElement* holder, const void* data,
                                    size_t len) {
    if (len == 0) return PrintDocument(doc);
    // A random marker holds the text's place while the document is printed.
    const std::string marker = "~" + NewGuidText() + "~";
    size_t at = 0;
    const std::string printed = PrintWithMarker(doc, holder, marker, at);
    if (at == std::string::npos) return printed;
    std::string out;
    // Room for the Cyrillic of the rest to grow into UTF-8 where it lies.
    out.reserve(printed.size() - marker.size() + (len + 2) / 3 * 4 + kUtf8Room);
    out.append(printed, 0, at);
    Base64EncodeAppend(data, len, out);
    out.append(printed, at + marker.size(), std::string::npos);
    return out;
}

std::string SimpleAnswer(const char* command, int code, int detail) {
    tinyxml2::XMLDocument doc;
    BuildXMLHead(doc, command, code, detail);
    return PrintDocument(doc);
}

std::string RefusalAnswer(const char* command, int code, const std::string& reasonUtf8) {
    tinyxml2::XMLDocument doc;
    BuildXMLHead(doc, command, code);
    if (tinyxml2::XMLElement* message = doc.RootElement()->FirstChildElement("Return")->FirstChildElement("CSPMessage"))
        message->SetText(Utf8ToCp1251(reasonUtf8).c_str());
    return PrintDocument(doc);
}

}  // namespace zk
