#include "commands/keys/CertKeyCheck.h"

#include <cstring>

#include "commands/Messages.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/FolderScan.h"
#include "platform/IssuerClass.h"
#include "discovery/keys/SKListFunc.h"
#include "base/Log.h"
#include "platform/Files.h"

namespace zk {

std::optional<CertRecord> FindListedCert(const std::string& path) {
    CertList list;
    CertListGet(list);
    for (const CertRecord& r : list)
        if (r.path == path) return r;
    return std::nullopt;
}

CertCheck CheckCertKey(const std::string& certPath, const std::string& lib, const std::string& password,
                       bool preserve) {
    CertCheck check;
    auto cert = files::ReadAll(certPath, kMaxScannedFile);
    if (!cert || cert->empty()) {
        CertListClear();
        check.code = ZK_E_NO_CERT_FILE;
        return check;
    }
    ProviderCertInfo info;
    std::vector<std::string> eku;
    check.code = ReadCertInfo(cert->data(), cert->size(), info, eku, ZK_SITE("CheckCertKey"));
    if (check.code != 0) return check;

    const std::string code =
        lib.empty() ? LibraryCodeForClass(ClassifyIssuer(std::string(info.IssuerSN, strnlen(info.IssuerSN, sizeof info.IssuerSN))))
                    : lib;
    if (SelectOfferedLibrary(code, check.libIndex) != ZK_E_OK) {
        check.code = ZK_E_PROVIDER_TYPE_UNKNOWN;
        return check;
    }

    KeySearchInput in;
    in.certPath = certPath;
    in.cert = cert->data();
    in.certLen = cert->size();
    in.password = password;
    in.preserve = preserve;
    in.libIndex = check.libIndex;
    KeySearchResult search = FindCertKey(in);
    check.code = search.code;
    check.detail = search.detail;
    check.keyPath = search.keyPath;
    if (check.code == 0 && !search.opened) check.code = ZK_E_SIGN_OR_PASSWORD;
    return check;
}

}  // namespace zk
