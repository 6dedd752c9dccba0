// The "CertStorage" folder beside the executable: a working copy of
// certificates, rebuilt at every start and filled as certificates are found.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace zk {

// Creates CertStorage, empties it and copies in the certificate files
// (".crt", ".cer", ".p7b") of the program folder under lower-cased names.
// 0, or the system error code when the folder cannot be created.
int PrepareCertStorage();

// The certificate files (".crt", ".cer", ".p7b") in CertStorage, at most limit.
std::vector<std::string> StoredCertFiles(size_t limit);

// Copies one certificate file into CertStorage under its lower-cased name,
// replacing a file of that name. An empty path does nothing; failures are ignored.
void StoreCertCopy(const std::string& certPath);

}  // namespace zk
