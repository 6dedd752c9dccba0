// Helpers shared by the operations: the two-call output pattern and the
// check of the arguments every slot receives first.
#pragma once
#include <cstddef>
#include <cstdint>

#include "provider/ZelkorD.h"

namespace zkd {

// Two-call output: without a buffer only the length is reported; with one,
// the bytes are copied when it is large enough (out may overlap data: an
// operation may hand back a part of its input over the input itself).
// Returns 0 or a Fail() code.
int PutOutput(const void* data, size_t len, uint8_t* out, uint32_t* outLen);

// True when ctx is the library context and lib one of its crypto libraries.
bool IsKnownLibrary(ZKLDContext ctx, int32_t lib);

}  // namespace zkd
