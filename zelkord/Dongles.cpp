// Hardware key tokens.
#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/Export.h"

// The provider number is the count of token modules this provider serves.
ZKD_EXPORT int ZKLDongles_Init(int32_t* providerNumber) {
    if (providerNumber) *providerNumber = 0;
    return 0;
}
