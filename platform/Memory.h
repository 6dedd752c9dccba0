// Handing freed memory back to the system.
#pragma once

namespace zk {

// Returns the free memory of every heap to the system (free pages in the
// middle of a heap included), so that a large buffer given up in small
// pieces does not stay resident.
void ReturnFreeMemory();

}  // namespace zk
