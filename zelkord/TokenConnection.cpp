#include "zelkord/TokenConnection.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "platform/CodePage.h"
#include "zelkord/Errors.h"
#include "zelkord/KeyHandles.h"

namespace zkd {
namespace {

// Which tokens are in use, and by which thread (a thread that asks again for
// a token it holds would wait for itself).
struct Leases {
    struct Holder {
        const Pkcs11Module* module;
        CK_SLOT_ID slot;
        std::thread::id owner;
    };
    std::mutex lock;
    std::condition_variable freed;
    std::vector<Holder> held;

    std::vector<Holder>::iterator Holding(const TokenSlot& s) {
        for (auto it = held.begin(); it != held.end(); ++it)
            if (it->module == s.module.get() && it->slot == s.id) return it;
        return held.end();
    }
};

Leases& TheLeases() {
    static Leases* leases = new Leases;  // outlives every connection
    return *leases;
}

int TakeLease(const TokenSlot& s) {
    Leases& l = TheLeases();
    std::unique_lock<std::mutex> hold(l.lock);
    auto it = l.Holding(s);
    if (it != l.held.end() && it->owner == std::this_thread::get_id())
        return Fail(ZK_E_DONGLE, "the token is already open in this operation");
    if (!l.freed.wait_for(hold, std::chrono::seconds(kTokenWaitSeconds), [&] { return l.Holding(s) == l.held.end(); }))
        return Fail(ZK_E_DONGLE, "the token is busy with another operation");
    l.held.push_back({s.module.get(), s.id, std::this_thread::get_id()});
    return ZK_E_OK;
}

void GiveLeaseBack(const TokenSlot& s) {
    Leases& l = TheLeases();
    {
        std::lock_guard<std::mutex> hold(l.lock);
        auto it = l.Holding(s);
        if (it != l.held.end()) l.held.erase(it);
    }
    l.freed.notify_all();
}

struct Handles {
    std::mutex lock;
    std::map<ZKTokenKey, std::shared_ptr<TokenConnection>> open;
};

Handles& TheHandles() {
    static Handles* handles = new Handles;
    return *handles;
}

bool Informative(CK_ULONG value) { return value != CK_UNAVAILABLE_INFORMATION && value != CK_EFFECTIVELY_INFINITE; }

}  // namespace

bool SlotNumber(CK_SLOT_ID id, int32_t& number) {
    if (id > 0xFFFFFFFFul) return false;
    number = static_cast<int32_t>(static_cast<uint32_t>(id));
    return true;
}

int FindTokenSlot(const char* providerName, int32_t slotId, TokenSlot& out) {
    std::shared_ptr<Pkcs11Module> module = FindTokenProvider(providerName);
    if (!module) return ZK_E_DONGLE;
    CK_ULONG count = 0;
    CK_RV rv = module->f().C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    if (rv == CKR_OK && count) rv = module->f().C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) return TokenFail(rv, "C_GetSlotList");
    slots.resize(count);
    for (CK_SLOT_ID id : slots) {
        int32_t number = 0;
        if (SlotNumber(id, number) && number == slotId) {
            out.module = module;
            out.id = id;
            return ZK_E_OK;
        }
    }
    return Fail(ZK_E_DONGLE, "no token in slot " + std::to_string(static_cast<uint32_t>(slotId)) + " of '" +
                                 providerName + "'");
}

int TokenConnection::Open(const TokenSlot& slot, std::shared_ptr<TokenConnection>& out, bool withSession) {
    out.reset();
    if (int rc = TakeLease(slot)) return rc;
    std::shared_ptr<TokenConnection> c(new TokenConnection);
    c->slot_ = slot;
    c->leased_ = true;
    if (withSession)
        if (int rc = c->StartSession()) return rc;
    out = std::move(c);
    return ZK_E_OK;
}

int TokenConnection::StartSession() {
    if (session_ != CK_INVALID_HANDLE) return ZK_E_OK;
    CK_RV rv = f().C_OpenSession(slot_.id, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session_);
    readWrite_ = rv == CKR_OK;
    if (rv == CKR_TOKEN_WRITE_PROTECTED) rv = f().C_OpenSession(slot_.id, CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
    if (rv != CKR_OK) {
        session_ = CK_INVALID_HANDLE;
        return TokenFail(rv, "C_OpenSession");
    }
    return ZK_E_OK;
}

TokenConnection::~TokenConnection() {
    if (session_ != CK_INVALID_HANDLE) {
        if (loggedIn_) f().C_Logout(session_);
        f().C_CloseSession(session_);
    }
    if (leased_) GiveLeaseBack(slot_);
}

int TokenConnection::Login(CK_USER_TYPE user, const char* pin) {
    if (session_ == CK_INVALID_HANDLE) return Fail(ZK_E_DONGLE, "no session on the token");
    CK_TOKEN_INFO info{};
    CK_RV rv = f().C_GetTokenInfo(slot_.id, &info);
    if (rv != CKR_OK) return TokenFail(rv, "C_GetTokenInfo");
    if (!(info.flags & CKF_TOKEN_INITIALIZED)) return Fail(ZK_E_DONGLE, "the token is not initialised");
    if (user == CKU_USER && !(info.flags & CKF_USER_PIN_INITIALIZED)) return Fail(ZK_E_DONGLE, "the token has no user PIN");
    if ((user == CKU_USER && (info.flags & CKF_USER_PIN_LOCKED)) || (user == CKU_SO && (info.flags & CKF_SO_PIN_LOCKED)))
        return Fail(ZK_E_DONGLE, "the PIN is locked");

    zk::SecretString utf8(zk::Cp1251ToUtf8(pin ? pin : ""));
    const bool pinPad = info.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
    if (utf8.empty() && !pinPad) return Fail(ZK_E_SIGN_OR_PASSWORD, "empty PIN");
    if (!utf8.empty() && ((Informative(info.ulMinPinLen) && utf8.str().size() < info.ulMinPinLen) ||
                          (Informative(info.ulMaxPinLen) && info.ulMaxPinLen > 0 && utf8.str().size() > info.ulMaxPinLen)))
        return Fail(ZK_E_SIGN_OR_PASSWORD, "the PIN's length is outside the token's range");

    auto* bytes = utf8.empty() ? nullptr : reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(utf8.c_str()));
    rv = f().C_Login(session_, user, bytes, utf8.str().size());
    if (rv == CKR_USER_ALREADY_LOGGED_IN || rv == CKR_USER_ANOTHER_ALREADY_LOGGED_IN) {
        // Left behind by someone else in this process: the PIN must still be checked.
        f().C_Logout(session_);
        rv = f().C_Login(session_, user, bytes, utf8.str().size());
    }
    if (rv != CKR_OK) return TokenFail(rv, "C_Login");
    loggedIn_ = true;
    if (user == CKU_USER) pin_ = utf8;
    return ZK_E_OK;
}

std::vector<CK_OBJECT_HANDLE> TokenConnection::Find(const std::vector<CK_ATTRIBUTE>& attrs, size_t max) {
    std::vector<CK_OBJECT_HANDLE> found;
    auto* tmpl = const_cast<CK_ATTRIBUTE*>(attrs.data());
    if (f().C_FindObjectsInit(session_, tmpl, attrs.size()) != CKR_OK) return found;
    CK_OBJECT_HANDLE chunk[64];
    CK_ULONG n = 0;
    while (found.size() < max && f().C_FindObjects(session_, chunk, 64, &n) == CKR_OK && n > 0)
        found.insert(found.end(), chunk, chunk + std::min<size_t>(n, max - found.size()));
    f().C_FindObjectsFinal(session_);
    return found;
}

bool TokenConnection::Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& value,
                                size_t max) {
    value.clear();
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f().C_GetAttributeValue(session_, object, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
        a.ulValueLen > max)
        return false;
    value.resize(a.ulValueLen);
    a.pValue = value.data();
    if (f().C_GetAttributeValue(session_, object, &a, 1) != CKR_OK) return false;
    value.resize(a.ulValueLen);
    return true;
}

bool TokenConnection::Flag(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, bool absent) {
    CK_BBOOL v = CK_FALSE;
    CK_ATTRIBUTE a{type, &v, sizeof v};
    if (f().C_GetAttributeValue(session_, object, &a, 1) != CKR_OK) return absent;
    return v == CK_TRUE;
}

int ConnectToken(const char* providerName, int32_t slotId, const char* pin, ZKTokenKey* handle) {
    if (!handle) return Fail(ZK_E_BAD_REQUEST_PARAMS, "no room for the handle");
    *handle = 0;
    TokenSlot slot;
    if (int rc = FindTokenSlot(providerName, slotId, slot)) return rc;
    std::shared_ptr<TokenConnection> c;
    if (int rc = TokenConnection::Open(slot, c)) return rc;
    if (pin)
        if (int rc = c->Login(CKU_USER, pin)) return rc;
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> hold(h.lock);
    *handle = NewKeyHandle();  // one counter for token keys and kept keys
    h.open.emplace(*handle, std::move(c));
    return ZK_E_OK;
}

std::shared_ptr<TokenConnection> FindConnection(ZKTokenKey handle) {
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> hold(h.lock);
    auto it = h.open.find(handle);
    if (it != h.open.end()) return it->second;
    Fail(ZK_E_DONGLE, "no connected token key with this handle");
    return nullptr;
}

int DisconnectToken(ZKTokenKey handle) {
    std::shared_ptr<TokenConnection> gone;  // ends after the registry's lock is let go
    Handles& h = TheHandles();
    std::lock_guard<std::mutex> hold(h.lock);
    auto it = h.open.find(handle);
    if (it == h.open.end()) return Fail(ZK_E_DONGLE, "no connected token key with this handle");
    gone = std::move(it->second);
    h.open.erase(it);
    return ZK_E_OK;
}

}  // namespace zkd
