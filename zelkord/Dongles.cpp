// Hardware key tokens.
#include "zelkord/Registry.h"

namespace zkd {
namespace {

// The provider number is the count of token modules this provider serves.
int DonglesInit(int32_t* providerNumber) {
    if (providerNumber) *providerNumber = 0;
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLDongles_Init, DonglesInit);

}  // namespace zkd
