#include "commands/containers/ContainerParams.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>

#include "base/CBase64.h"
#include "base/Params.h"

namespace zk {
namespace {

// Decodes a Base64 parameter into buf and fills a pair of the record when
// it holds bytes.
void Fill(const tinyxml2::XMLElement* additional, const char* name, unsigned flag, std::vector<uint8_t>& buf,
          ZKBlob& blob, uint32_t& flags) {
    buf = Base64Decode(ChildText(additional, name));
    if (buf.empty() || buf.size() > std::numeric_limits<uint32_t>::max()) return;
    blob = {buf.data(), static_cast<uint32_t>(buf.size())};
    flags |= flag;
}

}  // namespace

std::optional<int32_t> ReadInt32(const tinyxml2::XMLElement* params, const char* name, int32_t absent) {
    const tinyxml2::XMLElement* e = LastChild(params, name);
    if (!e) return absent;
    int64_t value = 0;
    if (!ParseDecimal(ElementText(e), value) || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

std::optional<int32_t> ReadIndex(const tinyxml2::XMLElement* params, const char* name) {
    if (!LastChild(params, name)) return std::nullopt;
    std::optional<int32_t> index = ReadInt32(params, name, -1);
    return index && *index >= 0 ? index : std::nullopt;
}

uint32_t ParseSigningTime(const std::string& text) {
    std::string t = text;
    std::replace(t.begin(), t.end(), '/', '.');
    std::replace(t.begin(), t.end(), '\\', '.');
    unsigned day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    const int n = std::sscanf(t.c_str(), "%2u.%2u.%4u %2u:%2u:%2u", &day, &month, &year, &hour, &minute, &second);
    if (n != 3 && n != 5 && n != 6) return 0;
    if (n == 3) hour = minute = 0;
    if (n != 6) second = 0;
    if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1970 || year > 2106 || hour > 23 || minute > 59 ||
        second > 59)
        return 0;
    struct tm tm {};
    tm.tm_mday = static_cast<int>(day);
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_year = static_cast<int>(year) - 1900;
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    tm.tm_sec = static_cast<int>(second);
    tm.tm_isdst = -1;  // the time-zone rules decide
    const time_t seconds = mktime(&tm);
    // mktime moves a day that the month lacks into the next month.
    if (seconds <= 0 || tm.tm_mday != static_cast<int>(day) || tm.tm_mon != static_cast<int>(month) - 1 ||
        static_cast<int64_t>(seconds) > std::numeric_limits<uint32_t>::max())
        return 0;
    return static_cast<uint32_t>(seconds);
}

AdditionalAttributesParam::AdditionalAttributesParam(const tinyxml2::XMLElement* params) {
    const tinyxml2::XMLElement* additional = LastChild(params, "Additional");
    if (!additional) return;
    if (const uint32_t time = ParseSigningTime(ChildText(additional, "SigningTime"))) {
        record_.SigningTime = time;
        record_.Flags |= ZK_ATTR_SIGNING_TIME;
    }
    Fill(additional, "SigPolicy", ZK_ATTR_POLICY_ID, policy_, record_.SigPolicy, record_.Flags);
    Fill(additional, "SigPolicyURI", ZK_ATTR_POLICY_URI, uri_, record_.SigPolicyURI, record_.Flags);
    Fill(additional, "SigPolicyMessage", ZK_ATTR_POLICY_NOTICE, notice_, record_.SigPolicyMessage, record_.Flags);
    Fill(additional, "ContentTimestamp", ZK_ATTR_CONTENT_TIMESTAMP, timestamp_, record_.ContentTimestamp,
         record_.Flags);
}

}  // namespace zk
