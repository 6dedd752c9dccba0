#include "commands/keys/KeyCommands.h"

#include <memory>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "commands/Params.h"
#include "commands/TextHelpers.h"
#include "commands/keys/CertDescription.h"
#include "commands/keys/CertKeyCheck.h"
#include "commands/signing/SignerLocator.h"
#include "discovery/FolderScan.h"
#include "host/Log.h"
#include "host/Settings.h"
#include "http/CBase64.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "provider/Provider.h"

namespace zk {
namespace {

constexpr size_t kLibTextSize = 16;

// The certificate check on the certificate a page names by its list token.
CertCheck CheckNamedCert(const tinyxml2::XMLElement* params, const std::string& password, bool preserve) {
    const std::string path = PathFromToken(ChildText(params, "Cert"));
    if (!FindListedCert(path)) {
        CertListClear();
        CertCheck unlisted;
        unlisted.code = kNoCertFile;
        return unlisted;
    }
    return CheckCertKey(path, ParamText(LastChild(params, "Lib"), kLibTextSize), password, preserve);
}

// Slot 43 into a buffer sized by its first call; the result may hold a key.
int ReencryptKey(int32_t lib, const SecretBytes& key, const SecretString& oldPass, const SecretString& newPass,
                 SecretBytes& out) {
    const std::vector<uint8_t>& in = key.bytes();
    const auto len = static_cast<uint32_t>(in.size());
    uint32_t size = 0;
    ZLOG("ChangeKeyPassCommand", "Before ChangeKeyPassword");
    int code = provider::CallSlot<ZKLD_SLOT_CHANGE_KEY_PASSWORD>(lib, in.data(), len, oldPass.c_str(), newPass.c_str(),
                                                                 nullptr, &size);
    if (code == 0) {
        std::vector<uint8_t> bytes(size);
        code = provider::CallSlot<ZKLD_SLOT_CHANGE_KEY_PASSWORD>(lib, in.data(), len, oldPass.c_str(), newPass.c_str(),
                                                                     bytes.data(), &size);
        bytes.resize(std::min<size_t>(size, bytes.size()));
        out = SecretBytes(std::move(bytes));
    }
    ZLOG("ChangeKeyPassCommand", "After ChangeKeyPassword, Return: %d", code);
    return code;
}

}  // namespace

bool CheckCertKeyCommand(const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const PasswordParam pass = ReadPasswordParam(params);
    if (ChildText(params, "Cert").empty() || !pass.present) return false;
    const CertCheck check = CheckNamedCert(params, pass.text.str(), pass.preserve);
    answer = SimpleAnswer("CHECK_CERT_KEY", check.code, check.detail);
    return true;
}

// The key file is replaced through a temporary file and a rename, so it is
// either the old file or the new one, never a part. It is read whole (up to
// the size the key search reads), so a large key file is never cut.
bool ChangeKeyPassCommand(const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const PasswordParam oldPass = ReadPasswordParam(params, "OldPass");
    const PasswordParam newPass = ReadPasswordParam(params, "NewPass");
    if (ChildText(params, "Cert").empty() || !oldPass.present || !newPass.present) return false;

    const CertCheck check = CheckNamedCert(params, oldPass.text.str(), false);
    CertListClear();  // the key file changes: the remembered keys go
    int code = check.code;
    if (code == 0) {
        auto bytes = files::ReadAll(check.keyPath, kMaxScannedFile);
        SecretBytes key(bytes ? std::move(*bytes) : std::vector<uint8_t>());
        SecretBytes reencrypted;
        code = key.empty() ? kNoKeyFile : ReencryptKey(check.libIndex, key, oldPass.text, newPass.text, reencrypted);
        if (code == 0 && !files::WriteAtomically(check.keyPath, reencrypted.bytes().data(), reencrypted.bytes().size()))
            code = kNoKeyFile;
    }
    answer = SimpleAnswer("CHANGE_KEY_PASS", code);
    return true;
}

bool GetSubjKeyIdCommand(const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    std::string text = ChildText(params, "SK");
    if (text.empty()) return false;
    const SecretBytes key(Base64Decode(text));
    SecureWipe(text);
    const PasswordParam pass = ReadPasswordParam(params);

    char id1[ZK_ID_TEXT_SIZE] = {}, id2[ZK_ID_TEXT_SIZE] = {};
    ZLOG("GetSubjKeyIdCommand", "Before GetSubjectKeyIdentifier");
    int code = provider::Call<&provider::Exports::ZKLCTX_GetSubjectKeyIdentifier>(
        key.bytes().data(), static_cast<uint32_t>(key.bytes().size()), pass.text.c_str(), id1, id2);
    ZLOG("GetSubjKeyIdCommand", "After GetSubjectKeyIdentifier, Return: %d", code);
    id1[ZK_ID_TEXT_SIZE - 1] = id2[ZK_ID_TEXT_SIZE - 1] = '\0';

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, "GET_SUBJ_KEY_ID", code);
    if (code == 0) {
        if (*id1) AddTextElement(out, "Id1", id1);
        if (*id2) AddTextElement(out, "Id2", id2);
    }
    answer = PrintDocument(doc);
    return true;
}

// Paths stay UTF-8, as the key search reads them back. The settings writer
// refuses a path with a line break (it would add lines of its own).
bool KeyFolderCommand(const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const std::string folder = LastChildTextWithText(params, "KeyFolder");
    if (folder.empty()) return false;
    int code = kNoKeyFile;
    if (files::Exists(folder) && Profile::WriteString(CertParamsIniPath(), "common", "KeyPath", folder)) {
        CertListClear();
        code = kOk;
    }
    answer = SimpleAnswer("KEY_FOLDER", code);
    return true;
}

}  // namespace zk
