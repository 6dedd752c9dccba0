#include "commands/datastore/ProtectedVfs.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "provider/Operations.h"

namespace zk {
namespace {

// One unit (or part of one) through a fresh cipher context of the provider.
bool TransformUnit(uint8_t* data, size_t len, uint64_t unitOffset, const SecretString& key, int libIndex) {
    uint8_t iv[8];
    for (int i = 7; i >= 0; --i, unitOffset >>= 8) iv[i] = static_cast<uint8_t>(unitOffset);
    const auto* keyBytes = reinterpret_cast<const uint8_t*>(key.str().data());
    return provider::PageCipherTransform(libIndex, {keyBytes, key.str().size()}, iv, {data, len}) == 0;
}

// ------------------------------------------------------------- the file

struct ProtectedFile {
    sqlite3_file base;          // what SQLite sees; pMethods = kMethods
    const ProtectedVfs* owner;
    sqlite3_file* real;         // the default VFS's file, right behind this struct
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<ProtectedFile*>(f)->real; }
const ProtectedVfs* Owner(sqlite3_file* f) { return reinterpret_cast<ProtectedFile*>(f)->owner; }

int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }

int Read(sqlite3_file* f, void* buf, int amt, sqlite3_int64 ofst) {
    sqlite3_file* real = Real(f);
    int rc = real->pMethods->xRead(real, buf, amt, ofst);
    size_t valid = static_cast<size_t>(amt);
    if (rc == SQLITE_IOERR_SHORT_READ) {
        // SQLite relies on the zero fill behind the end of the file: leave it.
        sqlite3_int64 size = 0;
        if (real->pMethods->xFileSize(real, &size) != SQLITE_OK) return SQLITE_IOERR_READ;
        valid = size > ofst ? std::min<size_t>(valid, static_cast<size_t>(size - ofst)) : 0;
    } else if (rc != SQLITE_OK) {
        return rc;
    }
    auto* bytes = static_cast<uint8_t*>(buf);
    if (!Owner(f)->Transform(bytes, valid, static_cast<uint64_t>(ofst))) {
        std::memset(buf, 0, static_cast<size_t>(amt));
        return SQLITE_IOERR_READ;
    }
    return rc;
}

int Write(sqlite3_file* f, const void* buf, int amt, sqlite3_int64 ofst) {
    // The caller's buffer is SQLite's page: transform a copy.
    thread_local std::vector<uint8_t> copy;
    copy.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + amt);
    if (!Owner(f)->Transform(copy.data(), copy.size(), static_cast<uint64_t>(ofst))) {
        SecureWipe(copy);
        return SQLITE_IOERR_WRITE;  // nothing unprotected ever reaches the file
    }
    sqlite3_file* real = Real(f);
    return real->pMethods->xWrite(real, copy.data(), amt, ofst);
}

int Truncate(sqlite3_file* f, sqlite3_int64 size) { return Real(f)->pMethods->xTruncate(Real(f), size); }
int Sync(sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); }
int FileSize(sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); }
int FileControl(sqlite3_file* f, int op, void* arg) { return Real(f)->pMethods->xFileControl(Real(f), op, arg); }
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }

// The WAL index holds page numbers and checksums, no content: passed through.
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    const sqlite3_io_methods* m = Real(f)->pMethods;
    return m->iVersion >= 2 && m->xShmMap ? m->xShmMap(Real(f), page, size, extend, out) : SQLITE_IOERR_SHMMAP;
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    const sqlite3_io_methods* m = Real(f)->pMethods;
    return m->iVersion >= 2 && m->xShmLock ? m->xShmLock(Real(f), offset, n, flags) : SQLITE_IOERR_SHMLOCK;
}
void ShmBarrier(sqlite3_file* f) {
    const sqlite3_io_methods* m = Real(f)->pMethods;
    if (m->iVersion >= 2 && m->xShmBarrier) m->xShmBarrier(Real(f));
}
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
    const sqlite3_io_methods* m = Real(f)->pMethods;
    return m->iVersion >= 2 && m->xShmUnmap ? m->xShmUnmap(Real(f), deleteFlag) : SQLITE_OK;
}

// Memory-mapped pages would bypass the cipher: SQLite reads through xRead.
int Fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
    *out = nullptr;
    return SQLITE_OK;
}
int Unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

const sqlite3_io_methods kMethods = {
    3,        Close,  Read,  Write,     Truncate, Sync,    FileSize, Lock,
    Unlock,   CheckReservedLock, FileControl, SectorSize, DeviceCharacteristics,
    ShmMap,   ShmLock, ShmBarrier, ShmUnmap, Fetch, Unfetch,
};

// --------------------------------------------------------------- the VFS

const ProtectedVfs* Self(sqlite3_vfs* vfs) { return static_cast<const ProtectedVfs*>(vfs->pAppData); }
sqlite3_vfs* Base(sqlite3_vfs* vfs) { return Self(vfs)->Base(); }

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* pf = reinterpret_cast<ProtectedFile*>(file);
    pf->base.pMethods = nullptr;
    pf->owner = Self(vfs);
    pf->real = reinterpret_cast<sqlite3_file*>(pf + 1);
    std::memset(pf->real, 0, static_cast<size_t>(Base(vfs)->szOsFile));
    int rc = Base(vfs)->xOpen(Base(vfs), name, pf->real, flags, outFlags);
    // Once the real file has methods it must be closed, whatever rc says.
    if (pf->real->pMethods) pf->base.pMethods = &kMethods;
    return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) { return Base(vfs)->xDelete(Base(vfs), name, syncDir); }
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
    return Base(vfs)->xAccess(Base(vfs), name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int n, char* out) {
    return Base(vfs)->xFullPathname(Base(vfs), name, n, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return Base(vfs)->xDlOpen(Base(vfs), name); }
void DlError(sqlite3_vfs* vfs, int n, char* out) { Base(vfs)->xDlError(Base(vfs), n, out); }
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
    return Base(vfs)->xDlSym(Base(vfs), handle, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* handle) { Base(vfs)->xDlClose(Base(vfs), handle); }
int Randomness(sqlite3_vfs* vfs, int n, char* out) { return Base(vfs)->xRandomness(Base(vfs), n, out); }
int Sleep(sqlite3_vfs* vfs, int micro) { return Base(vfs)->xSleep(Base(vfs), micro); }
int CurrentTime(sqlite3_vfs* vfs, double* out) { return Base(vfs)->xCurrentTime(Base(vfs), out); }
int GetLastError(sqlite3_vfs* vfs, int n, char* out) {
    return Base(vfs)->xGetLastError ? Base(vfs)->xGetLastError(Base(vfs), n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
    sqlite3_vfs* base = Base(vfs);
    if (base->iVersion >= 2 && base->xCurrentTimeInt64) return base->xCurrentTimeInt64(base, out);
    double days = 0;
    int rc = base->xCurrentTime(base, &days);
    *out = static_cast<sqlite3_int64>(days * 86400000.0);
    return rc;
}

std::atomic<unsigned> g_sequence{0};

}  // namespace

bool ApplyUnitCipher(uint8_t* data, size_t len, uint64_t offset, const SecretString& key, int libIndex) {
    while (len > 0) {
        const uint64_t unit = offset - offset % kCipherUnit;
        const size_t skip = static_cast<size_t>(offset - unit);
        const size_t n = std::min(kCipherUnit - skip, len);
        if (skip == 0) {
            if (!TransformUnit(data, n, unit, key, libIndex)) return false;
        } else {
            // A part that starts inside a unit: the unit's keystream from its start.
            uint8_t scratch[kCipherUnit] = {};
            std::memcpy(scratch + skip, data, n);
            bool ok = TransformUnit(scratch, skip + n, unit, key, libIndex);
            std::memcpy(data, scratch + skip, n);
            SecureWipe(scratch, sizeof scratch);
            if (!ok) return false;
        }
        data += n;
        len -= n;
        offset += n;
    }
    return true;
}

std::unique_ptr<ProtectedVfs> ProtectedVfs::Register(const std::string& dbName, const SecretString& key,
                                                     int libIndex) {
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    if (!base) return nullptr;
    std::unique_ptr<ProtectedVfs> self(new ProtectedVfs);
    self->base_ = base;
    self->key_ = key;
    self->libIndex_ = libIndex;
    // Never the plain database name: it could be that of a built-in VFS.
    self->name_ = "zk-protected-" + dbName + "-" + std::to_string(++g_sequence);
    sqlite3_vfs& v = self->vfs_;
    v.iVersion = 2;
    v.szOsFile = static_cast<int>(sizeof(ProtectedFile)) + base->szOsFile;
    v.mxPathname = base->mxPathname;
    v.zName = self->name_.c_str();
    v.pAppData = self.get();
    v.xOpen = Open;
    v.xDelete = Delete;
    v.xAccess = Access;
    v.xFullPathname = FullPathname;
    v.xDlOpen = DlOpen;
    v.xDlError = DlError;
    v.xDlSym = DlSym;
    v.xDlClose = DlClose;
    v.xRandomness = Randomness;
    v.xSleep = Sleep;
    v.xCurrentTime = CurrentTime;
    v.xGetLastError = GetLastError;
    v.xCurrentTimeInt64 = CurrentTimeInt64;
    if (sqlite3_vfs_register(&v, 0) != SQLITE_OK) return nullptr;
    return self;
}

ProtectedVfs::~ProtectedVfs() {
    if (vfs_.zName) sqlite3_vfs_unregister(&vfs_);
}

}  // namespace zk
