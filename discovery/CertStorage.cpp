#include "discovery/CertStorage.h"

#include <cerrno>
#include <filesystem>

#include "base/Settings.h"
#include "platform/Files.h"
#include "platform/ModulePath.h"

namespace zk {
namespace {

namespace fs = std::filesystem;

bool IsStoredExtension(const std::string& lowerName) {
    for (const char* ext : {".crt", ".cer", ".p7b"}) {
        std::string e(ext);
        if (lowerName.size() > e.size() && lowerName.compare(lowerName.size() - e.size(), e.size(), e) == 0) return true;
    }
    return false;
}

}  // namespace

int PrepareCertStorage() {
    const std::string storage = WorkFolder("CertStorage");
    if (!files::CreateFolder(storage)) return errno ? errno : EIO;
    files::EmptyFolder(storage);
    std::error_code ec;
    for (fs::directory_iterator it(ProgramFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (!it->is_regular_file(ignored)) continue;
        std::string name = files::LowerAscii(it->path().filename().string());
        if (IsStoredExtension(name)) files::CopyFile(it->path().string(), storage + "/" + name);
    }
    return 0;
}

std::vector<std::string> StoredCertFiles(size_t limit) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(WorkFolder("CertStorage"), ec), end; !ec && it != end && out.size() < limit;
         it.increment(ec)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored) && IsStoredExtension(files::LowerAscii(it->path().filename().string())))
            out.push_back(it->path().string());
    }
    return out;
}

void StoreCertCopy(const std::string& certPath) {
    if (certPath.empty()) return;
    files::CopyFile(certPath, WorkFolder("CertStorage") + "/" + files::LowerAscii(files::BaseName(certPath)));
}

}  // namespace zk
