#include "platform/IssuerClass.h"

#include "platform/Text.h"

namespace zk {
namespace {

struct IssuerPrefix {
    const char* prefix;
    int issuerClass;
};

// First match wins.
constexpr IssuerPrefix kPrefixes[] = {
    {"UA-36865753", 9},  {"UA-33406510", 0},  {"UA-32348248", 0},  {"UA-33406085", 1},
    {"UA-30404750", 1},  {"UA-32614261", 5},  {"UA-14360570", 7},  {"UA-21579381", 8},
    {"UA-21685166", 10}, {"UA-34925642", 11}, {"UA-35394192", 14}, {"UA-38725930", 14},
    {"UA-39384476", 14}, {"ROOT-CSK", 0},
};

}  // namespace

int ClassifyIssuer(std::string_view issuerSN) {
    if (issuerSN.empty()) return 0;
    for (const IssuerPrefix& p : kPrefixes)
        if (StartsWithNoCase(issuerSN, p.prefix)) return p.issuerClass;
    return -1;
}

const char* LibraryCodeForClass(int issuerClass) {
    switch (issuerClass) {
        case 0: return "USC";
        case 9: return "QLB";
        default: return "UA1";
    }
}

}  // namespace zk
