#include "platform/SecureWipe.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zk {

void SecureWipe(void* data, size_t size) {
    if (data && size) OPENSSL_cleanse(data, size);
}

bool SameSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
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

void ExcludeFromCoreDump(const void* data, size_t size) {
    if (!data || !size) return;
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTDUMP);
}

}  // namespace zk
