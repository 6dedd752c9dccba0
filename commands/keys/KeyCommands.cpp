#include "commands/keys/KeyCommands.h"

#include <memory>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/CertDescription.h"
#include "commands/keys/CertKeyCheck.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/FolderScan.h"
#include "discovery/keys/SKListFunc.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/CBase64.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kLibTextSize = 16;

// The certificate check on the certificate a page names by its list token.
CertCheck CheckNamedCert(const tinyxml2::XMLElement* params, const std::string& password, bool preserve) {
    const std::string path = PathFromToken(ChildText(params, "Cert"));
    if (!FindListedCert(path)) {
        CertListClear();
        CertCheck unlisted;
        unlisted.code = ZK_E_NO_CERT_FILE;
        return unlisted;
    }
    return CheckCertKey(path, ParamText(LastChild(params, "Lib"), kLibTextSize), password, preserve);
}

}  // namespace

bool CheckCertKeyCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const PasswordParam pass = ReadPasswordParam(params);
    if (ChildText(params, "Cert").empty() || !pass.present) return false;
    const CertCheck check = CheckNamedCert(params, pass.text.str(), pass.preserve);
    answer = SimpleAnswer(command, check.code, check.detail);
    return true;
}

// The key file is replaced through a temporary file and a rename, so it is
// either the old file or the new one, never a part. It is read whole (up to
// the size the key search reads), so a large key file is never cut.
bool ChangeKeyPassCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const PasswordParam oldPass = ReadPasswordParam(params, "OldPass");
    const PasswordParam newPass = ReadPasswordParam(params, "NewPass");
    if (ChildText(params, "Cert").empty() || !oldPass.present || !newPass.present) return false;

    const CertCheck check = CheckNamedCert(params, oldPass.text.str(), false);
    CertListClear();  // the key file changes: the remembered keys go
    int code = check.code;
    if (code == 0) {
        auto bytes = files::ReadAll(check.keyPath, kMaxScannedFile);
        SecretBytes key(bytes ? std::move(*bytes) : std::vector<uint8_t>());
        provider::Output reencrypted;
        code = key.empty() ? ZK_E_NO_KEY_FILE
                           : provider::Invoke<ZK_METHOD(ZKLD_SLOT_CHANGE_KEY_PASSWORD)>(
                                 ZK_SITE("ChangeKeyPassCommand"), check.libIndex, key.bytes(), oldPass.text.c_str(),
                                 newPass.text.c_str(), provider::Secret(reencrypted));
        if (code == 0 && !files::WriteAtomically(check.keyPath, reencrypted.data(), reencrypted.size()))
            code = ZK_E_NO_KEY_FILE;
    }
    answer = SimpleAnswer(command, code);
    return true;
}

bool GetSubjKeyIdCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    std::string text = ChildText(params, "SK");
    if (text.empty()) return false;
    const SecretBytes key(Base64Decode(text));
    SecureWipe(text);
    const PasswordParam pass = ReadPasswordParam(params);

    provider::KeyIds ids;
    int code = provider::GetSubjectKeyIdentifier(ZK_SITE("GetSubjKeyIdCommand"), key.bytes(), pass.text.c_str(), ids);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) {
        if (!ids.id1.empty()) AddTextElement(out, "Id1", ids.id1);
        if (!ids.id2.empty()) AddTextElement(out, "Id2", ids.id2);
    }
    answer = PrintDocument(doc);
    return true;
}

// Paths stay UTF-8, as the key search reads them back, and are stored as it
// reads them (blanks and a trailing slash cut). Only an existing folder the
// user can list, none of the service's own, is taken: a missing path, a
// file, an unlistable folder and a service folder all answer 53 alike, so
// the answer tells a page nothing about other paths. The settings writer
// refuses a path with a line break (it would add lines of its own).
bool KeyFolderCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const std::string given = LastChildTextWithText(params, "KeyFolder");
    if (given.empty()) return false;
    const std::string folder = KeyPathFromText(given);
    int code = ZK_E_NO_KEY_FILE;
    if (AcceptableKeyFolder(folder) && Profile::WriteString(CertParamsIniPath(), "common", "KeyPath", folder)) {
        CertListClear();
        code = ZK_E_OK;
    }
    answer = SimpleAnswer(command, code);
    return true;
}

}  // namespace zk
