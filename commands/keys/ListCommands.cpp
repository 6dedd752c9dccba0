#include "commands/keys/ListCommands.h"

#include <ctime>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "base/Params.h"
#include "commands/CertDescription.h"
#include "commands/keys/CertKeyCheck.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "discovery/keys/SKListFunc.h"

namespace zk {
namespace {

// Every listing starts from a fresh scan (which forgets the kept passwords).
CertList FreshCertList() {
    CertListClear();
    CertList list;
    CertListGet(list);
    return list;
}

}  // namespace

bool GetCertFilesCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const CertFilter filter = ReadCertFilter(params, kFilterAll);
    const PasswordParam pass = ReadPasswordParam(params);
    const CertList list = FreshCertList();
    const time_t now = time(nullptr);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, ZK_E_OK);
    for (const CertRecord& r : list) {
        if (!CertPasses(filter, r, now)) continue;
        if (!pass.text.empty() && CheckCertKey(r.path, "", pass.text.str(), pass.preserve).code != ZK_E_OK) continue;
        AppendCertEntry(data, r);
    }
    answer = PrintDocument(doc);
    return true;
}

bool GetSkFilesCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    if (!LastChild(params, "Pass")) return false;
    const CertFilter filter = ReadCertFilter(params, kFilterUsage | kFilterExceeded);
    const bool exclude = ChildIsTrue(params, "ExcludeKeysWithFilteredCerts");
    const PasswordParam pass = ReadPasswordParam(params);
    KeyList keys;
    SKListGet(pass.text.str(), keys);
    const CertList list = FreshCertList();
    const time_t now = time(nullptr);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, ZK_E_OK);
    for (const KeyEntry& key : keys) {
        CertFilter paired;  // any certificate of this key
        paired.Serial = key.id;
        CertFilter wanted = filter;
        wanted.Serial = key.id;
        if (exclude) {
            bool anyPaired = false, anyWanted = false;
            for (const CertRecord& r : list) {
                if (!CertPasses(paired, r, now)) continue;
                anyPaired = true;
                anyWanted = anyWanted || CertPasses(wanted, r, now);
            }
            if (anyPaired && !anyWanted) continue;
        }
        tinyxml2::XMLElement* entry = data->InsertNewChildElement("Key");
        entry->SetAttribute("Serial", key.id.c_str());
        for (const CertRecord& r : list)
            if (CertPasses(wanted, r, now)) AppendCertEntry(entry, r);
    }
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
