#include "commands/datastore/LocalData.h"

#include <cstdio>
#include <mutex>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "commands/datastore/DataFolder.h"
#include "base/Settings.h"
#include "platform/CodePage.h"
#include "platform/Files.h"

namespace zk {
namespace {

constexpr int kDataFileError = ZK_E_VERIFY_INTERNAL;  // code 12 stands for every data-file failure

int WriteData(const std::string& text) {
    const std::string path = UserDataPath();
    // A temporary file renamed over the old one: a crash or a full disk
    // leaves the previous blob in place, never a part of the new one.
    return files::WriteAtomically(path, text.data(), text.size()) ? ZK_E_OK : kDataFileError;
}

int DeleteData() {
    if (std::remove(UserDataPath().c_str()) == 0) return ZK_E_OK;
    return kDataFileError;  // also when there was nothing to delete
}

}  // namespace

std::string UserDataPath() { return WorkFolder("Data") + "/UserData.dat"; }

// The file holds the Data text exactly as the request carried it (UTF-8).
bool SaveDataCommand(const char* command, const tinyxml2::XMLElement*, const char* data, std::string& answer) {
    const std::string text = data ? data : "";
    int code = kDataFileError;
    if (DataFolder()) {
        std::lock_guard lock(SettingsLock());
        code = text.empty() ? DeleteData() : WriteData(text);
    }
    answer = SimpleAnswer(command, code);
    return true;
}

bool LoadDataCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    const std::string path = UserDataPath();
    int code = kDataFileError;
    std::string text;
    if (DataFolder()) {
        std::lock_guard lock(SettingsLock());
        if (!files::Exists(path)) {
            code = ZK_E_OK;
        } else if (auto bytes = files::ReadAll(path)) {
            text.assign(bytes->begin(), bytes->end());
            code = ZK_E_OK;
        }
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    // Answers are Windows-1251 until the front end converts them to UTF-8.
    if (code == ZK_E_OK && !text.empty()) out->SetText(Utf8ToCp1251(text).c_str());
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
