// The certificate check shared by CHECK_CERT_KEY, CHANGE_KEY_PASS and the
// password filter of GET_CERT_FILES: read a listed certificate, choose its
// crypto library and find and open its private key.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/CertListFunc.h"
#include "platform/SecureWipe.h"

namespace zk {

// The record of the certificate list whose file is path. A page names
// certificates by the tokens of the list entries; any other path is refused,
// so that no request reads arbitrary files of the user.
std::optional<CertRecord> FindListedCert(const std::string& path);

struct CertCheck {
    int code = 0;
    int detail = -1;        // the key search's detail value; -1 when it did not run
    std::string keyPath;    // the key file found
    int32_t libIndex = -1;  // the crypto library chosen
};

// lib empty: the library that the certificate's issuer selects.
CertCheck CheckCertKey(const std::string& certPath, const std::string& lib, const std::string& password,
                       bool preserve);

}  // namespace zk
