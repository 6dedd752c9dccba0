// The command dispatcher: finds the request envelope in a parsed document and
// runs the handler named by its Command.
#pragma once
#include <span>
#include <string>

#include <tinyxml2.h>

#include "commands/Handlers.h"

namespace zk {

// What a command receives and what must be present before it is called.
enum class Inputs { Nothing, Params, Data, ParamsData };
enum class Required { None, Params, Data };

struct CommandRow {
    const char* name;
    Inputs inputs;
    Required required;
    CommandHandler handler;  // nullptr: not available in this build
};

// The dispatch table in comparison order.
const CommandRow* CommandTable(size_t* count);

// Answer text out; true when it is to be sent, false for the bare code 56.
// A handler that throws counts as one that failed (logged).
bool ProcessRequestPOST(const tinyxml2::XMLDocument& doc, std::string& answer);
// The same against a table of the caller's (tests run the dispatcher on a
// copy of CommandTable with handlers of their own).
bool DispatchRequest(const tinyxml2::XMLDocument& doc, std::string& answer, std::span<const CommandRow> table);

// True when the request is for a command that answers at once from what is
// in memory (no file, network, token or provider work, no lock held for
// long), so the front end may answer it where the request arrived instead of
// handing it to a worker: GET_VERSION, GET_UPDATE_INFO, ON_LOAD and DO_UPDATE
// without Params (GET_VERSION's Params may write settings).
bool AnswersAtOnce(const tinyxml2::XMLDocument& doc);

// The Data text the dispatcher hands to the command: the text of the last
// Data element of the request envelope that has one; nullptr when none has.
// Where the request's document was left out of the parsed request (its
// RequestDocuments::standIn stands there), the dispatcher hands on the
// document's own text instead (RequestDocuments::text).
const char* RequestDataText(const tinyxml2::XMLDocument& doc);

}  // namespace zk
