#include "commands/service/ServiceCommands.h"

#include <vector>

#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "base/Params.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/TextHelpers.h"
#include "commands/ocsp/OcspServers.h"
#include "commands/service/ServiceHost.h"
#include "platform/CodePage.h"
#include "platform/Profile.h"

namespace zk {
namespace {

// Every OCSPServers/Address with both an address and an IssuerSN is
// registered (commands/ocsp/OcspServers: for the page's origin alone,
// or in Params.ini for a program of the user; a later address for the same
// issuer wins). Entries that would add lines of their own to the settings
// file are left out, and GET_VERSION still answers its version then; false
// when the rest goes beyond the bounds of the registrations (none kept).
bool RegisterFromParams(const tinyxml2::XMLElement* params) {
    if (!params) return true;
    std::vector<OcspServerEntry> entries;
    for (const tinyxml2::XMLElement* servers : Children(params, "OCSPServers")) {
        for (const tinyxml2::XMLElement* address : Children(servers, "Address")) {
            std::string url = Utf8ToCp1251(ElementText(address));
            std::string issuer = TrimBlanks(Utf8ToCp1251(AttributeText(address, "IssuerSN")));
            if (url.empty() || issuer.empty()) continue;
            if (!Profile::ValidEntry(issuer, url)) {
                ZLOG("GetVersionCommand", "An OCSP server entry was not kept");
                continue;
            }
            entries.push_back({std::move(issuer), std::move(url)});
        }
    }
    switch (RegisterOcspServers(entries)) {
        case RegisterResult::Kept:
            return true;
        case RegisterResult::TooLarge:
            ZLOG("GetVersionCommand", "%zu OCSP server entries refused: beyond the bounds of the registrations",
                 entries.size());
            return false;
        case RegisterResult::Failed:
            ZLOG("GetVersionCommand", "The OCSP server entries were not kept: Params.ini cannot be written");
            return true;
    }
    return true;
}

std::string VersionAnswer(const char* command) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, ZK_E_OK);
    tinyxml2::XMLElement* version = AddTextElement(data, "Version", VersionText());
    version->SetAttribute("IsDLL", "false");
    return PrintDocument(doc);
}

}  // namespace

// Pages ask for the version to find the service at all, often: the answer,
// the same for the whole run, is made once.
bool GetVersionCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    if (!RegisterFromParams(params)) return false;
    static const std::string made = VersionAnswer(command);
    answer = made;
    return true;
}

// What the update thread knows: isNew is "true" once a check has found files
// on the update server that are not installed yet (until the service has
// restarted into them); the other attributes tell whether updates are on,
// whether a restart into a staged update is under way, and when the last
// run ended and how.
bool GetUpdateInfoCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    const UpdateStatus state = CurrentUpdateStatus();
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, ZK_E_OK);
    tinyxml2::XMLElement* info = doc.NewElement("Info");
    info->SetAttribute("isNew", state.newVersion ? "true" : "false");
    info->SetAttribute("autoUpdate", state.enabled ? "true" : "false");
    info->SetAttribute("restarting", state.restarting ? "true" : "false");
    info->SetAttribute("lastRun", state.lastRun ? DateText(state.lastRun).c_str() : "");
    info->SetAttribute("lastRunOk", state.lastRun && state.lastRunOk ? "true" : "false");
    data->InsertEndChild(info);
    answer = PrintDocument(doc);
    return true;
}

// Pages cannot start an update: the update thread alone decides when to run.
bool DoUpdateCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    answer = SimpleAnswer(command, ZK_E_USER_DECLINED);
    return true;
}

bool OnLoadCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    answer = SimpleAnswer(command, ZK_E_OK);
    return true;
}

// Opens the folder choice of the tray menu; answers at once, while the
// chooser is still open (without a desktop nothing opens).
bool SelectKeyFolderCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    ChooseKeyFolder();
    answer = SimpleAnswer(command, ZK_E_OK);
    return true;
}

bool ParentExchangeCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    answer = SimpleAnswer(command, ZK_E_USER_DECLINED);
    return true;
}

}  // namespace zk
