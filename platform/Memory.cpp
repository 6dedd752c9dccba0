#include "platform/Memory.h"

#include <malloc.h>

namespace zk {

void ReturnFreeMemory() { malloc_trim(0); }

}  // namespace zk
