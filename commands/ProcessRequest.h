// The command dispatcher: finds the request envelope in a parsed document and
// runs the handler named by its Command.
#pragma once
#include <span>
#include <string>
#include <string_view>

#include <tinyxml2.h>

#include "base/LogRedact.h"
#include "commands/Handlers.h"

namespace zk {

// What a command receives and what must be present before it is called
// (the dispatcher answers 56 without calling the handler otherwise).
// Document and ParamsDocument: Data is the request's document, which the
// handler reads only through TakeRequestDocument (or what calls it), never
// as text: its bytes may have been decoded as the request arrived, and it is
// then handed on as they are. Any other command taking Data gets its text.
enum class Inputs { Nothing, Params, Data, ParamsData, Document, ParamsDocument };
enum class Required { None, Params, Data, ParamsData };

// Where the front end runs a command: on a worker, or at once where the
// request arrived (from memory: no file, network, token or provider work, no
// lock held for long), which it does only for a request without Params
// (Params may ask for more: GET_VERSION's write settings). AtOnceSame: at
// once, and the answer to a request without Params is the same for the
// whole run, so the front end may send it again for the same request bytes.
enum class Runs { OnWorker, AtOnce, AtOnceSame };

// Every fact about one command: its name, its inputs, what must be present,
// its handler, where it runs, and how the log shows its request and answer
// (log.secrets: elements and log.secretAttributes: attributes whose text is
// a secret, masked wherever they appear in any command; log.data and
// log.documents: elements logged as their length, always or where they hold
// text).
struct CommandRow {
    const char* name;
    Inputs inputs;
    Required required;
    CommandHandler handler;  // nullptr: not available in this build
    Runs runs = Runs::OnWorker;
    log::LogRules log = {};
};

// The dispatch table in comparison order.
const CommandRow* CommandTable(size_t* count);

// Answer text out; true when it is to be sent, false for the bare code 56.
// A handler that throws counts as one that failed (logged).
bool ProcessRequestPOST(const tinyxml2::XMLDocument& doc, std::string& answer);
// The same against a table of the caller's (tests run the dispatcher on a
// copy of CommandTable with handlers of their own).
bool DispatchRequest(const tinyxml2::XMLDocument& doc, std::string& answer, std::span<const CommandRow> table);

// The row of a command name (any case); nullptr when there is none.
const CommandRow* FindCommand(std::string_view name);

// Where the request runs: its command's Runs when it has no Params and the
// command runs at once (the front end may answer it where it arrived), else
// Runs::OnWorker.
Runs RunsWhere(const tinyxml2::XMLDocument& doc);

// How the log shows a request or answer of the command (any case): its
// row's data and documents, and the secrets of every row; for a name
// without a row, the secrets alone.
log::LogRules LogRulesFor(std::string_view command);

// The Data text the dispatcher hands to the command: the text of the last
// Data element of the request envelope that has one; nullptr when none has.
// Where the request's document was left out of the parsed request (its marker text,
// RequestDocuments::standIn, is there), the dispatcher hands on the
// document's own text instead (RequestDocuments::text).
const char* RequestDataText(const tinyxml2::XMLDocument& doc);

}  // namespace zk
