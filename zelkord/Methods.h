// The methods table: operations reached by slot number.
#pragma once
#include "provider/ZelkorD.h"

namespace zkd {

// Registers an operation of another module of the library in its slot.
// Called from static initialisers of those modules.
struct SlotRegistration {
    SlotRegistration(int slot, ZKLDProc proc);
};

}  // namespace zkd

#define ZKD_SLOT(slot, fn) \
    static const ::zkd::SlotRegistration zkdSlot##slot##_(slot, reinterpret_cast<ZKLDProc>(&fn))
