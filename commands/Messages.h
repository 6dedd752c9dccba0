// The Ukrainian messages of the shared return codes (the codes themselves:
// ZKReturnCode in provider/ZelkorD.h).
#pragma once
#include <string>

#include "provider/ZelkorD.h"

namespace zk {

// The message of a code in Windows-1251; empty text for a code without a row.
const std::string& ReturnMessage(int code);

}  // namespace zk
