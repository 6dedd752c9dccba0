// Start and end of the library's work.
#include <openssl/crypto.h>

#include "zelkord/Context.h"
#include "zelkord/Export.h"

ZKD_EXPORT int ZKLLIB_Init(void) {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    ZKD_LOG("Library started");
    return 0;
}

ZKD_EXPORT int ZKLLIB_Term(void) {
    ZKD_LOG("Library stopped");
    return 0;
}
