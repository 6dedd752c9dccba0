#include "discovery/CertFilter.h"

#include <cstdlib>

#include "base/Params.h"
#include "base/TextHelpers.h"
#include "discovery/CertListFunc.h"
#include "platform/CodePage.h"
#include "platform/Text.h"

namespace zk {
namespace {

// Texts of parameters are cut like the fixed fields they fill.
constexpr size_t kTextSize = 1024;

std::string Param(const tinyxml2::XMLElement* params, const char* name, bool trim) {
    std::string text = ParamText(LastChild(params, name), kTextSize);
    return trim ? TrimBlanks(text) : text;
}

uint32_t Number(const tinyxml2::XMLElement* params, const char* name) {
    std::string text = ChildText(params, name);
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

std::set<int32_t> TypeSet(const std::string& text) {
    std::set<int32_t> types;
    if (text.empty()) return types;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        types.insert(static_cast<int32_t>(std::strtol(item.c_str(), nullptr, 10)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return types;
}

bool CodeMatches(const std::string& wanted, const std::string& actual) {
    return wanted.empty() || EqualNoCaseCp1251(wanted, actual) || EqualNoCaseCp1251(wanted, ToCyrillic(actual));
}

bool TextMatches(const std::string& wanted, const std::string& actual) {
    return wanted.empty() || EqualNoCaseCp1251(wanted, actual);
}

}  // namespace

CertFilter ReadCertFilter(const tinyxml2::XMLElement* params, unsigned fields) {
    CertFilter f;
    if (!params) return f;
    if (fields & kFilterCodes) {
        bool trimAll = fields & kFilterTrimAllCodes;
        f.EDRPOU = Param(params, "EDRPOU", true);
        f.DRFO = Param(params, "DRFO", true);
        f.Serial = Param(params, "Serial", trimAll);
        f.IssuerSN = Param(params, "IssuerSN", trimAll);
        f.SN = Param(params, "SN", trimAll);
    }
    if (fields & kFilterUsage) {
        f.Types = TypeSet(ChildText(params, "Types"));
        f.KeyUsage = Number(params, "KeyUsage");
        f.ExtKeyUsage = Number(params, "ExtKeyUsage");
    }
    if ((fields & kFilterExceeded) && LastChild(params, "Exceeded")) f.Exceeded = ChildIsTrue(params, "Exceeded");
    return f;
}

bool CertPasses(const CertFilter& f, const CertRecord& r, time_t now) {
    if (!f.Exceeded && r.DateEnd != 0 && static_cast<time_t>(r.DateEnd) <= now) return false;
    if (f.KeyUsage && !(r.KeyUsage & f.KeyUsage)) return false;
    if (f.ExtKeyUsage && !(r.ExtKeyUsage & f.ExtKeyUsage)) return false;
    if (!CodeMatches(f.EDRPOU, r.EDRPOU) || !CodeMatches(f.DRFO, r.DRFO)) return false;
    if (!TextMatches(f.Serial, r.Serial) || !TextMatches(f.IssuerSN, r.IssuerSN) || !TextMatches(f.SN, r.SN))
        return false;
    if (!f.Types.empty() && !f.Types.count(r.Type)) return false;
    return true;
}

}  // namespace zk
