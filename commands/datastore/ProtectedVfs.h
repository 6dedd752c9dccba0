// The file layer of a protected database: a SQLite VFS that forwards every
// operation to the default one and passes every byte read from or written to
// the database's files (main file, rollback journal, WAL, temporary files)
// through the provider's unit cipher (methods-table slots 37 to 39).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "platform/SecureWipe.h"

namespace zk {

constexpr size_t kCipherUnit = 512;

// The unit cipher over bytes that stand at a file offset: the file is cut into
// 512-byte units at absolute offsets; each unit gets its own cipher context
// whose 8-byte initialisation vector is the unit's offset (big-endian), so no
// two units of a file share a keystream, and any part of a unit can be
// transformed on its own. Applying it twice gives the input back. False when
// a provider operation fails (the buffer is then unusable).
bool ApplyUnitCipher(uint8_t* data, size_t len, uint64_t offset, const SecretString& key, int libIndex);

class ProtectedVfs {
public:
    // Registers a layer over the default VFS, under a name unique to this
    // object; nullptr when there is no default VFS.
    static std::unique_ptr<ProtectedVfs> Register(const std::string& dbName, const SecretString& key, int libIndex);
    ~ProtectedVfs();  // unregisters: close every connection that uses it first
    ProtectedVfs(const ProtectedVfs&) = delete;
    ProtectedVfs& operator=(const ProtectedVfs&) = delete;

    // The name to pass to sqlite3_open_v2.
    const char* Name() const { return name_.c_str(); }

    sqlite3_vfs* Base() const { return base_; }
    bool Transform(uint8_t* data, size_t len, uint64_t offset) const {
        return ApplyUnitCipher(data, len, offset, key_, libIndex_);
    }

private:
    ProtectedVfs() = default;
    sqlite3_vfs vfs_{};
    sqlite3_vfs* base_ = nullptr;
    std::string name_;
    SecretString key_;
    int libIndex_ = -1;
};

}  // namespace zk
