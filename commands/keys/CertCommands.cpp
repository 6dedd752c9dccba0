#include "commands/keys/CertCommands.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "base/Params.h"
#include "commands/CertDescription.h"
#include "commands/keys/CertKeyCheck.h"
#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "base/CBase64.h"
#include "base/Log.h"
#include "base/NetworkRule.h"
#include "base/RequestContext.h"
#include "base/Settings.h"
#include "platform/Files.h"
#include "platform/HttpTransfer.h"

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

// Certificates fetched by SAVE_CERT: as many tries as the update's downloads,
// each bounded in time, and a size no certificate comes near.
constexpr int kDownloadAttempts = 5;
constexpr long kDownloadSeconds = 30;
constexpr uint64_t kMaxDownloadedCert = 1 << 20;

// The certificate's Serial names its file: upper-case hex from the provider,
// checked all the same before it becomes part of a path.
bool SafeFileStem(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

// Stores certificate bytes (DER or PEM, as sent) as Cert/<Serial>.cer.
int StoreCertificate(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return ZK_E_BUFFER_EMPTY;
    ProviderCertInfo info;
    std::vector<std::string> eku;
    const int code = ReadCertInfo(bytes.data(), bytes.size(), info, eku, ZK_SITE("SaveCertCommand"));
    if (code != ZK_E_OK) return code;
    const std::string serial(info.Serial, strnlen(info.Serial, sizeof info.Serial));
    if (!SafeFileStem(serial)) return ZK_E_NO_CERT_FILE;
    const std::string folder = WorkFolder("Cert");
    files::CreateFolder(folder);
    const std::string path = folder + "/" + serial + ".cer";
    if (!files::WriteAtomically(path, bytes.data(), bytes.size())) {
        ZLOG("SaveCertCommand", "Cannot write '%s'", path.c_str());
        return ZK_E_NO_CERT_FILE;
    }
    CertListClear();  // the next listing finds it
    return ZK_E_OK;
}

// The bytes at a CertUrl address (http or https, the server's certificate
// verified; no redirects), ended early when the page has gone. A page
// reaches public addresses only (base/NetworkRule); every failure is the one
// code, its reason in the log.
int DownloadCertificate(const std::string& url, std::vector<uint8_t>& bytes) {
    net::TransferRequest request;
    request.url = url;
    request.publicOnly = CurrentNetworkRule().publicOnly;
    request.connectTimeoutSeconds = kDownloadSeconds;
    request.totalTimeoutSeconds = kDownloadSeconds;
    request.maxResponseBytes = kMaxDownloadedCert;
    request.cancel = CurrentRequest().cancelled;
    net::TransferResult result = net::TransferWithRetries(request, kDownloadAttempts, std::chrono::seconds(1));
    if (!result.ok()) {
        ZLOG("SaveCertCommand", "CertUrl '%s', Error: %s", url.c_str(), result.error.c_str());
        return ZK_E_CERT_INFO;
    }
    bytes = std::move(result.body);
    return ZK_E_OK;
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


// CertBlk and CertUrl in document order; the first failure ends the walk.
bool SaveCertCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    bool any = false;
    int code = ZK_E_OK;
    for (const tinyxml2::XMLElement* e = params ? params->FirstChildElement() : nullptr; e && code == ZK_E_OK;
         e = e->NextSiblingElement()) {
        if (NameEquals(e->Name(), "CertBlk")) {
            any = true;
            code = StoreCertificate(Base64Decode(ElementText(e)));
        } else if (NameEquals(e->Name(), "CertUrl")) {
            any = true;
            std::vector<uint8_t> bytes;
            code = DownloadCertificate(TrimBlanks(ElementText(e)), bytes);
            if (code == ZK_E_OK) code = StoreCertificate(bytes);
        }
    }
    if (!any) return false;
    answer = SimpleAnswer(command, code);
    return true;
}

}  // namespace zk
