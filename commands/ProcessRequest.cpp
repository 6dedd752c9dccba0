#include "commands/ProcessRequest.h"

#include <strings.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "base/CBase64.h"
#include "base/Log.h"
#include "base/RequestContext.h"
#include "base/RequestDocument.h"
#include "platform/Text.h"
#include "provider/Operations.h"

namespace zk {
namespace {

using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

const XMLElement* FindRequest(const XMLNode* node) {
    for (const XMLNode* child = node->FirstChild(); child; child = child->NextSibling()) {
        const XMLElement* e = child->ToElement();
        if (!e) continue;  // comments, text, declarations
        if (strcasecmp(e->Name(), "Request") == 0) return e;
        if (const XMLElement* found = FindRequest(e)) return found;
    }
    return nullptr;
}

// The text of the first child when it is a text node (CDATA included).
const char* FirstChildText(const XMLElement* e) {
    const XMLNode* first = e->FirstChild();
    const tinyxml2::XMLText* text = first ? first->ToText() : nullptr;
    return text ? text->Value() : nullptr;
}

// The handler's own result; an exception is logged and counts as a failure.
bool RunHandler(const CommandRow& row, const XMLElement* params, const char* data, std::string& answer) {
    try {
        return row.handler(row.name, params, data, answer);
    } catch (const std::exception& e) {
        ZLOG("ProcessRequestPOST", "Command '%s' failed: %s", row.name, e.what());
    } catch (...) {
        ZLOG("ProcessRequestPOST", "Command '%s' failed", row.name);
    }
    return false;
}

// Command, Params and Data of the request envelope; a later element wins.
struct Envelope {
    const char* command = nullptr;
    const XMLElement* params = nullptr;
    const char* data = nullptr;
};

Envelope ReadEnvelope(const XMLElement* request) {
    Envelope e;
    for (const XMLElement* child = request->FirstChildElement(); child; child = child->NextSiblingElement()) {
        const char* name = child->Name();
        if (strcasecmp(name, "Command") == 0) {
            if (const char* t = FirstChildText(child)) e.command = t;
        } else if (strcasecmp(name, "Params") == 0) {
            e.params = child;
        } else if (strcasecmp(name, "Data") == 0) {
            const char* t = FirstChildText(child);
            if (t && *t) e.data = t;
        }
    }
    return e;
}

bool TakesDocument(Inputs inputs) { return inputs == Inputs::Document || inputs == Inputs::ParamsDocument; }

// The document left out of the parsed request, where its marker text is.
// One decoded as it arrived stays bytes for a command that takes it as the
// document (its marker, which TakeRequestDocument knows); any other command
// gets its Base64 back, made once.
const char* DocumentText(const char* data, Inputs inputs) {
    RequestDocuments* docs = CurrentRequest().documents;
    if (!data || !docs || !docs->text || docs->standIn.empty() || docs->standIn != data) return data;
    if (!docs->decoded) return docs->text;
    if (TakesDocument(inputs)) return docs->standIn.c_str();
    if (docs->reencoded.empty()) docs->reencoded = Base64Encode(docs->text, docs->length);
    return docs->reencoded.c_str();
}

}  // namespace

const char* RequestDataText(const tinyxml2::XMLDocument& doc) {
    const XMLElement* request = FindRequest(&doc);
    return request ? ReadEnvelope(request).data : nullptr;
}

const CommandRow* FindCommand(std::string_view name) {
    size_t count = 0;
    const CommandRow* table = CommandTable(&count);
    for (const CommandRow& row : std::span<const CommandRow>(table, count))
        if (EqualNoCase(name, row.name)) return &row;
    return nullptr;
}

Runs RunsWhere(const tinyxml2::XMLDocument& doc) {
    const XMLElement* request = FindRequest(&doc);
    if (!request) return Runs::OnWorker;
    const Envelope envelope = ReadEnvelope(request);
    if (!envelope.command || envelope.params) return Runs::OnWorker;
    const CommandRow* row = FindCommand(envelope.command);
    return row ? row->runs : Runs::OnWorker;
}

log::LogRules LogRulesFor(std::string_view command) {
    // Secrets of every row are masked in every document: a name that is a
    // secret somewhere never shows anywhere.
    static const auto secrets = [] {
        std::pair<std::vector<std::string_view>, std::vector<std::string_view>> all;
        auto add = [](std::vector<std::string_view>& to, std::span<const std::string_view> names) {
            for (std::string_view n : names)
                if (std::none_of(to.begin(), to.end(), [&](std::string_view t) { return EqualNoCase(t, n); }))
                    to.push_back(n);
        };
        size_t count = 0;
        const CommandRow* table = CommandTable(&count);
        for (const CommandRow& row : std::span<const CommandRow>(table, count)) {
            add(all.first, row.log.secrets);
            add(all.second, row.log.secretAttributes);
        }
        return all;
    }();
    log::LogRules rules;
    if (const CommandRow* row = FindCommand(command)) rules = row->log;
    rules.secrets = secrets.first;
    rules.secretAttributes = secrets.second;
    return rules;
}

bool ProcessRequestPOST(const tinyxml2::XMLDocument& doc, std::string& answer) {
    size_t count = 0;
    const CommandRow* table = CommandTable(&count);
    return DispatchRequest(doc, answer, {table, count});
}

bool DispatchRequest(const tinyxml2::XMLDocument& doc, std::string& answer, std::span<const CommandRow> table) {
    answer.clear();
    const XMLElement* request = FindRequest(&doc);
    if (!request) {
        ZLOG("ProcessRequestPOST", "Enter. Empty request");
        return false;
    }

    const Envelope envelope = ReadEnvelope(request);
    const char* command = envelope.command;
    const XMLElement* params = envelope.params;
    if (!command) {
        ZLOG("ProcessRequestPOST", "Enter. Undefined command");
        return false;
    }
    ZLOG("ProcessRequestPOST", "Enter. Command: '%s'", command);
    provider::ResetLastError();

    bool ok = false;
    for (const CommandRow& row : table) {
        if (strcasecmp(command, row.name) != 0) continue;
        const char* data = DocumentText(envelope.data, row.inputs);
        const bool needsParams = row.required == Required::Params || row.required == Required::ParamsData;
        const bool needsData = row.required == Required::Data || row.required == Required::ParamsData;
        const bool missing = (needsParams && !params) || (needsData && !data);
        if (!missing && row.handler) {
            const bool takesParams = row.inputs == Inputs::Params || row.inputs == Inputs::ParamsData ||
                                     row.inputs == Inputs::ParamsDocument;
            const bool takesData =
                row.inputs == Inputs::Data || row.inputs == Inputs::ParamsData || TakesDocument(row.inputs);
            ok = RunHandler(row, takesParams ? params : nullptr, takesData ? data : nullptr, answer);
        }
        break;
    }
    if (!ok) answer.clear();
    ZLOG("ProcessRequestPOST", "Exit. Command: '%s', Result: '%s'", command, ok ? "OK" : "FAIL");
    return ok;
}

}  // namespace zk
