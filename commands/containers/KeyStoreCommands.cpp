#include "commands/containers/KeyStoreCommands.h"

#include <cstring>
#include <ctime>
#include <vector>

#include "base/CBase64.h"
#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/CertDescription.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "platform/Files.h"
#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {
namespace {

SecretBytes DecodeStore(const char* data) {
    return SecretBytes(Base64Decode(std::string_view(data, std::strlen(data))));
}

// The certificates whose keys are wanted: those of Certs first, in request
// order, then every certificate of the list that passes the filter (a file
// that cannot be read is skipped).
std::vector<std::vector<uint8_t>> WantedCertificates(const tinyxml2::XMLElement* params) {
    std::vector<std::vector<uint8_t>> certs;
    for (const tinyxml2::XMLElement* e : Children(LastChild(params, "Certs"), "Cert")) {
        std::vector<uint8_t> cert = Base64Decode(ElementText(e));
        if (!cert.empty()) certs.push_back(std::move(cert));
    }
    const CertFilter filter = ReadCertFilter(params, kFilterCodes | kFilterExceeded | kFilterTrimAllCodes);
    CertList list;
    CertListGet(list);
    const time_t now = time(nullptr);
    for (const CertRecord& r : list) {
        if (!CertPasses(filter, r, now)) continue;
        auto bytes = files::ReadAll(r.path, kMaxScannedFile);
        if (bytes && !bytes->empty()) certs.push_back(std::move(*bytes));
    }
    return certs;
}

}  // namespace

bool CtxGetJksCertsCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer) {
    // Pass is optional: without it the store's certificates are listed
    // unchecked (they are public; the page supplied the store), with it the
    // store's integrity is checked as well.
    const PasswordParam pass = ReadPasswordParam(params);
    const SecretBytes store = DecodeStore(data);
    std::vector<std::vector<uint8_t>> certs;
    const int code = provider::CtxGetCertsFromStore(ZK_SITE("CtxGetJksCertsCommand"), store.bytes(),
                                                    ChildIsTrue(params, "OnlyUserCerts"),
                                                    pass.present ? pass.text.c_str() : nullptr, certs);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) {
        tinyxml2::XMLElement* list = out->InsertNewChildElement("Certs");
        for (const std::vector<uint8_t>& cert : certs) {
            ProviderCertInfo info{};
            std::vector<std::string> eku;
            if (cert.empty() || ReadCertInfo(cert.data(), cert.size(), info, eku, ZK_SITE("CtxGetJksCertsCommand")))
                continue;  // certificates that cannot be described are left out
            tinyxml2::XMLElement* entry = list->InsertNewChildElement("Cert");
            AddTextElement(entry, "Data", Base64Encode(cert.data(), cert.size()));
            AppendCertDetails(entry, info, {});
        }
    }
    answer = PrintDocument(doc);
    return true;
}

bool CtxGetJksKeysCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                          std::string& answer) {
    const PasswordParam pass = ReadPasswordParam(params);  // Preserve changes nothing here
    const std::vector<std::vector<uint8_t>> wanted = WantedCertificates(params);
    const std::vector<provider::ByteView> views(wanted.begin(), wanted.end());
    const SecretBytes store = DecodeStore(data);
    std::vector<SecretBytes> keys;
    std::vector<std::string> unprocessed;
    const int code = provider::CtxGetKeysFromStore(ZK_SITE("CtxGetJksKeysCommand"), store.bytes(),
                                                   pass.text.c_str(), views, keys, unprocessed);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) {
        tinyxml2::XMLElement* list = out->InsertNewChildElement("Keys");
        for (const SecretBytes& key : keys) {
            if (key.empty()) continue;
            std::string text = Base64Encode(key.bytes().data(), key.bytes().size());
            tinyxml2::XMLElement* entry = AddTextElement(list, "Key", text);
            SecureWipe(text);
            provider::AcquiredKeys acquired;
            if (provider::AcquireKey(ZK_SITE("CtxGetJksKeysCommand"), key.bytes(), pass.text.c_str(), acquired) == 0) {
                if (!acquired.ids.id1.empty()) entry->SetAttribute("Serial1", acquired.ids.id1.c_str());
                if (!acquired.ids.id2.empty()) entry->SetAttribute("Serial2", acquired.ids.id2.c_str());
            }
        }
        tinyxml2::XMLElement* names = out->InsertNewChildElement("Unprocessed");
        for (const std::string& name : unprocessed)
            if (!name.empty()) AddTextElement(names, "Serial", name);
    }
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
