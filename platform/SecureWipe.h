// Secrets (passwords, PINs, key bytes) are wiped from memory when dropped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zk {

void SecureWipe(void* data, size_t size);
void SecureWipe(std::string& text);             // wipes and empties
void SecureWipe(std::vector<unsigned char>& bytes);

// Whether two secrets are equal, in a time that does not depend on where they
// differ (only on their lengths).
bool SameSecret(const std::string& a, const std::string& b);

// Leaves the whole pages inside [data, data + size) out of core dumps (a
// buffer smaller than a page, or the parts of pages it shares, stay in).
void ExcludeFromCoreDump(const void* data, size_t size);

// A string that wipes its bytes when it is destroyed or reassigned.
class SecretString {
public:
    SecretString() = default;
    explicit SecretString(std::string value) : value_(std::move(value)) {}
    SecretString(const SecretString& other) : value_(other.value_) {}
    SecretString& operator=(const SecretString& other) {
        if (this != &other) {
            SecureWipe(value_);
            value_ = other.value_;
        }
        return *this;
    }
    SecretString& operator=(std::string value) {
        SecureWipe(value_);
        value_ = std::move(value);
        return *this;
    }
    ~SecretString() { SecureWipe(value_); }

    const std::string& str() const { return value_; }
    const char* c_str() const { return value_.c_str(); }
    bool empty() const { return value_.empty(); }
    void clear() { SecureWipe(value_); }

private:
    std::string value_;
};

// Bytes that may hold a secret (key files): wiped when dropped or replaced.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) { KeepOutOfDumps(); }
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            SecureWipe(bytes_);
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    // Large key files fill whole pages: those pages stay out of core dumps.
    // Called on construction; callers that fill bytes() in place call it after.
    void KeepOutOfDumps() const { ExcludeFromCoreDump(bytes_.data(), bytes_.capacity()); }
    ~SecretBytes() { SecureWipe(bytes_); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::vector<uint8_t>& bytes() { return bytes_; }  // filled in place by readers and encoders
    bool empty() const { return bytes_.empty(); }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace zk
