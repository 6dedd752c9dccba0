// The certificate filter of the listing, retrieval and cleaning commands:
// its fields, how they are read from a request's Params, and the rule a
// certificate record must pass.
#pragma once
#include <cstdint>
#include <ctime>
#include <set>
#include <string>

#include <tinyxml2.h>

namespace zk {

struct CertRecord;

struct CertFilter {
    std::string EDRPOU, DRFO, Serial, IssuerSN, SN;  // Windows-1251; empty = any
    std::set<int32_t> Types;                         // empty = any
    uint32_t KeyUsage = 0;                           // 0 = any
    uint32_t ExtKeyUsage = 0;                        // 0 = any
    bool Exceeded = true;                            // false hides expired certificates
};

// Which parameters a command reads into its filter.
enum CertFilterFields : unsigned {
    kFilterCodes = 1,     // EDRPOU, DRFO, Serial, IssuerSN, SN
    kFilterUsage = 2,     // Types, KeyUsage, ExtKeyUsage
    kFilterExceeded = 4,  // Exceeded
    kFilterAll = 7,
    kFilterTrimAllCodes = 8,  // trim Serial, IssuerSN and SN too (EDRPOU and DRFO always are)
};

// Reads the filter from Params (names matched ignoring case, the later
// occurrence winning); params may be null. Texts are converted from UTF-8 to
// Windows-1251; EDRPOU and DRFO lose leading and trailing characters of code
// 32 and below; Types is a comma-separated list of decimal numbers (an empty
// item counts as 0); KeyUsage and ExtKeyUsage are decimal; Exceeded is true
// only for "true" in any case.
CertFilter ReadCertFilter(const tinyxml2::XMLElement* params, unsigned fields = kFilterAll);

// The matching rule: expiry (when Exceeded is false, a non-zero DateEnd not
// later than now fails), a shared key usage bit and extended key usage bit,
// EDRPOU and DRFO equal ignoring case either as they are or after ToCyrillic
// of the certificate's value, Serial, IssuerSN and SN equal ignoring case,
// and the Type in Types.
bool CertPasses(const CertFilter& filter, const CertRecord& record, time_t now);

}  // namespace zk
