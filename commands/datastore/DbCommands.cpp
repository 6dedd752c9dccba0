#include "commands/datastore/DbCommands.h"

#include "commands/Envelope.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/datastore/DbRegistry.h"
#include "base/CBase64.h"
#include "platform/CodePage.h"
#include "platform/Files.h"

namespace zk {
namespace {

// Result/Command/Return(/Code[/Message])/Data, without the namespace and the
// provider fields of the common envelope; returns Data.
tinyxml2::XMLElement* BuildDbHead(tinyxml2::XMLDocument& doc, const char* command, int code,
                                  const std::string& message) {
    AddDeclaration(doc);
    tinyxml2::XMLElement* result = doc.NewElement("Result");
    doc.InsertEndChild(result);
    AddTextElement(result, "Command", command);
    tinyxml2::XMLElement* ret = result->InsertNewChildElement("Return");
    AddTextElement(ret, "Code", std::to_string(code));
    if (!message.empty()) AddTextElement(ret, "Message", message);
    return result->InsertNewChildElement("Data");
}

bool IsAsciiAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

}  // namespace

std::optional<std::string> DatabaseName(const std::string& base64) {
    std::string name = Base64ToText(base64);
    if (name.empty()) return std::nullopt;
    for (char c : name)
        if (!IsAsciiAlnum(c)) return std::nullopt;
    return files::LowerAscii(std::move(name));
}

bool DbCommandCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const tinyxml2::XMLElement* base = LastChild(params, "Base");
    const std::string query = ChildText(params, "Query");
    const bool isProtected = EqualNoCase(AttributeText(base, "TYPE"), "PROT");
    std::string keyBase64 = AttributeText(base, "KEY");
    if (ElementText(base).empty() || query.empty() || (isProtected && keyBase64.empty())) return false;
    const std::optional<std::string> name = DatabaseName(ElementText(base));
    if (!name) return false;

    std::string keyText = isProtected ? Base64ToText(keyBase64) : std::string();
    const SecretString key = ShapeDatabaseKey(keyText);
    SecureWipe(keyText);
    SecureWipe(keyBase64);

    // SQL runs in Windows-1251: text values are stored as 1251 bytes.
    const std::string sql = Base64ToText(query);
    AcquiredDatabase acquired = AcquireDatabase(*name, isProtected, key);
    tinyxml2::XMLDocument doc;
    if (!acquired.db) {
        // Refused or not reached: another request's connection stays as it is.
        BuildDbHead(doc, "DB_COMMAND", acquired.code, acquired.message);
        answer = PrintDocument(doc);
        return true;
    }
    const std::shared_ptr<cSQLst>& db = acquired.db;
    int code = db->LastResult();
    if (code == 0) code = db->Execute(sql);

    if (code == 0) {
        tinyxml2::XMLElement* out = BuildDbHead(doc, command, code, "");
        AddTextElement(out, "Base", *name);
        const std::string rows = db->ResultText();
        AddTextElement(out, "Result", rows.empty() ? std::string() : Base64Encode(Cp1251ToUtf8(rows)));
        ReleaseDatabase(db, false);
    } else {
        BuildDbHead(doc, command, code, db->Message());
        ReleaseDatabase(db, true);  // the next request opens it anew
    }
    answer = PrintDocument(doc);
    return true;
}

bool DbDropCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    const std::string base = ChildText(params, "Base");
    if (base.empty()) return false;
    const std::optional<std::string> name = DatabaseName(base);
    if (!name) return false;

    const bool ok = DropDatabases(*name);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildDbHead(doc, command, ok ? 0 : 1, "");
    if (ok) AddTextElement(out, "Base", *name);
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
