#include "platform/SecureWipe.h"

#include <openssl/crypto.h>

namespace zk {

void SecureWipe(void* data, size_t size) {
    if (data && size) OPENSSL_cleanse(data, size);
}

void SecureWipe(std::string& text) {
    // The whole capacity: short texts live in the inline buffer.
    SecureWipe(text.data(), text.capacity());
    text.clear();
}

void SecureWipe(std::vector<unsigned char>& bytes) {
    SecureWipe(bytes.data(), bytes.capacity());
    bytes.clear();
}

}  // namespace zk
