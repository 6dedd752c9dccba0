// Parameters shared by the signed-container commands: signature and
// certificate indices, the optional signed attributes under Additional, and
// the signing time text.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "provider/ZelkorD.h"

namespace zk {

// An index parameter (SignIndex, CertIndex): a decimal number from 0 to
// 2^31-1; nothing when it is absent, negative or not a number (the command
// then has no answer of its own).
std::optional<int32_t> ReadIndex(const tinyxml2::XMLElement* params, const char* name);

// A decimal 32-bit parameter with a default when absent; nothing when it is
// present but not such a number.
std::optional<int32_t> ReadInt32(const tinyxml2::XMLElement* params, const char* name, int32_t absent);

// The signing time text ("/" and "\" read as "."): day, month, year with an
// optional hour and minute and an optional second ("01.02.2020",
// "01.02.2020 10:11", "01.02.2020 10:11:12"), local time, as seconds since
// 1970. 0 for any other text, and for dates that do not exist (31.02.2020,
// a month 13) or do not fit 32 bits: the attribute is then left out.
uint32_t ParseSigningTime(const std::string& text);

// The AdditionalAttributes record of the signing commands, read from the
// children of Params/Additional: zeroed, then each attribute present gets
// its flag and fields. The buffers it points to live as long as this object.
class AdditionalAttributesParam {
public:
    explicit AdditionalAttributesParam(const tinyxml2::XMLElement* params);
    AdditionalAttributesParam(const AdditionalAttributesParam&) = delete;
    AdditionalAttributesParam& operator=(const AdditionalAttributesParam&) = delete;

    const AdditionalAttributes& record() const { return record_; }

private:
    std::vector<uint8_t> policy_, uri_, notice_, timestamp_;
    AdditionalAttributes record_{};
};

}  // namespace zk
