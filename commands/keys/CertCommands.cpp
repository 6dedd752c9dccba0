#include "commands/keys/CertCommands.h"

#include <ctime>
#include <optional>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "base/Params.h"
#include "commands/keys/CertDescription.h"
#include "commands/keys/CertKeyCheck.h"
#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "base/CBase64.h"
#include "platform/Files.h"

namespace zk {
namespace {

// A lookup by Serial, or by IssuerSN and SN together.
bool HasCodes(const tinyxml2::XMLElement* params) {
    return !ChildText(params, "Serial").empty() ||
           (!ChildText(params, "IssuerSN").empty() && !ChildText(params, "SN").empty());
}

// The first certificate of the list, in its order, with these Serial,
// IssuerSN and SN (any type, expired ones included).
std::optional<CertRecord> FindByCodes(const tinyxml2::XMLElement* params) {
    const CertFilter read = ReadCertFilter(params, kFilterCodes);
    CertFilter filter;
    filter.Serial = read.Serial;
    filter.IssuerSN = read.IssuerSN;
    filter.SN = read.SN;
    CertList list;
    CertListGet(list);
    const time_t now = time(nullptr);
    for (const CertRecord& r : list)
        if (CertPasses(filter, r, now)) return r;
    return std::nullopt;
}

// The certificate named by the Cert token, else by the codes.
std::optional<CertRecord> NamedCert(const tinyxml2::XMLElement* params) {
    if (std::string token = ChildText(params, "Cert"); !token.empty()) return FindListedCert(PathFromToken(token));
    return FindByCodes(params);
}

}  // namespace

bool GetCertCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    if (ChildText(params, "Cert").empty() && !HasCodes(params)) return false;
    const std::optional<CertRecord> cert = NamedCert(params);
    auto bytes = cert ? files::ReadAll(cert->path, kMaxScannedFile) : std::nullopt;
    const int code = bytes && !bytes->empty() ? ZK_E_OK : ZK_E_NO_CERT_FILE;
    if (code != ZK_E_OK) CertListClear();

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    answer = code == ZK_E_OK ? PrintDocumentWithBase64(doc, data, bytes->data(), bytes->size()) : PrintDocument(doc);
    return true;
}

// Unreadable bytes or an unknown certificate give no answer of the command's own.
bool GetInfoCertCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    std::optional<CertRecord> record;
    if (std::string blk = ChildText(params, "CertBlk"); !blk.empty()) {
        const std::vector<uint8_t> bytes = Base64Decode(blk);
        CertRecord parsed;
        std::string libCode;
        if (GetCertFlInfo(bytes.data(), bytes.size(), "", parsed, libCode) == 0) record = std::move(parsed);
    } else if (!ChildText(params, "Cert").empty() || HasCodes(params)) {
        record = NamedCert(params);
    }
    if (!record) return false;

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, ZK_E_OK);
    CertDetailOptions options;
    options.extKeyUsage = true;
    AppendCertDetails(data, *record, options);
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
