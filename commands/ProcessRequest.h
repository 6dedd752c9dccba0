// The command dispatcher: finds the request envelope in a parsed document and
// runs the handler named by its Command.
#pragma once
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

// Swaps a row's handler; returns the previous one. For tests of the dispatcher.
CommandHandler ReplaceHandlerForTesting(const char* name, CommandHandler handler);

// Answer text out; true when it is to be sent, false for the bare code 56.
bool ProcessRequestPOST(const tinyxml2::XMLDocument& doc, std::string& answer);

}  // namespace zk
