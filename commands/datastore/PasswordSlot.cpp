#include "commands/datastore/PasswordSlot.h"

#include <mutex>

#include "base/RequestContext.h"
#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "base/Params.h"
#include "platform/CodePage.h"
#include "platform/SecureWipe.h"

namespace zk {
namespace {

// Stored text, whether anything is saved, and the origin of the page that
// saved it; lost when the service stops. The slot serves only that origin
// (a request without an Origin header is an origin of its own): any page
// could otherwise read what another site saved.
struct PasswordSlot {
    std::mutex lock;
    SecretString text;  // Windows-1251
    bool saved = false;
    std::string origin;

    bool Mine() const { return saved && origin == CurrentRequest().origin; }
};

PasswordSlot& Slot() {
    static PasswordSlot slot;
    return slot;
}

}  // namespace

bool SavePasswordCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    std::string pass = LastChildTextWithText(params, "Pass");
    if (pass.empty()) return false;
    SecretString converted(Utf8ToCp1251(pass));
    SecureWipe(pass);
    {
        PasswordSlot& slot = Slot();
        std::lock_guard lock(slot.lock);
        slot.text = converted;
        slot.saved = true;
        slot.origin = CurrentRequest().origin;
    }
    answer = SimpleAnswer(command, ZK_E_OK);
    return true;
}

bool RetrievePasswordCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    SecretString text;
    bool saved;
    {
        PasswordSlot& slot = Slot();
        std::lock_guard lock(slot.lock);
        saved = slot.Mine();
        if (saved) text = slot.text;
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, saved ? ZK_E_OK : ZK_E_BUFFER_EMPTY);
    if (saved) AddTextElement(out, "Pass", text.str());
    answer = PrintDocument(doc);
    return true;
}

bool CleanPasswordCommand(const char* command, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    {
        PasswordSlot& slot = Slot();
        std::lock_guard lock(slot.lock);
        if (slot.Mine()) {  // another site's password is not this page's to clean
            slot.text.clear();
            slot.saved = false;
            slot.origin.clear();
        }
    }
    answer = SimpleAnswer(command, ZK_E_OK);
    return true;
}

}  // namespace zk
