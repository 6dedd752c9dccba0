// Connections to hardware key tokens. A connection is one PKCS#11 session on
// one token, logged in with the user's PIN when one was given. The host holds
// it as a ZKTokenKey handle from ZKLDongles_ConnectKey until
// ZKLDongles_DisconnectKey; the provider's own operations hold it directly.
//
// PKCS#11 logins belong to the whole process, not to a session: while one
// request is logged in, any other session on the token could use its keys, and
// a second C_Login is refused as "already logged in" without looking at its
// PIN. So each token serves one connection at a time (a lease; others wait for
// it, boundedly), and a connection logs out when it ends. A connection may be
// used from several threads; its session is used by one at a time.
#pragma once
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SecureWipe.h"
#include "provider/ZelkorD.h"
#include "zelkord/Pkcs11.h"

namespace zkd {

// How long an operation waits for a token that another one is using.
constexpr int kTokenWaitSeconds = 30;

struct TokenSlot {
    std::shared_ptr<Pkcs11Module> module;
    CK_SLOT_ID id = 0;
};

// The slot of a provider, with a token present, whose number cut to 32 bits is
// slotId: 0, else 16 with the reason as the last error.
int FindTokenSlot(const char* providerName, int32_t slotId, TokenSlot& out);

// The number pages see for a slot; slots beyond 32 bits are not offered.
bool SlotNumber(CK_SLOT_ID id, int32_t& number);

class TokenConnection {
public:
    ~TokenConnection();  // logs out, closes the session, lets the next user in

    // Takes the token (waiting while another operation uses it) and, unless
    // told otherwise, opens a session. 0 or 16.
    static int Open(const TokenSlot& slot, std::shared_ptr<TokenConnection>& out, bool withSession = true);
    // Opens the session: read-write where the token allows. 0 or 16.
    int StartSession();

    // Logs the user (CKU_USER) or the security officer (CKU_SO) in with a
    // Windows-1251 PIN. An empty PIN, one of a length the token cannot have,
    // or a locked or unset PIN is refused without asking the token, so that a
    // hopeless attempt never counts against the token's retry limit.
    // 0; 8 when the token refuses the PIN; 16 otherwise.
    int Login(CK_USER_TYPE user, const char* pin);
    bool loggedIn() const { return loggedIn_; }

    CK_FUNCTION_LIST& f() const { return slot_.module->f(); }
    CK_SESSION_HANDLE session() const { return session_; }
    CK_SLOT_ID slotId() const { return slot_.id; }
    bool readWrite() const { return readWrite_; }
    // Held around every use of the session.
    std::mutex& lock() { return lock_; }
    // The user's PIN (UTF-8), kept for keys that ask for it again at each use.
    const zk::SecretString& pin() const { return pin_; }

    // Objects matching a template (at most max); the caller holds lock().
    std::vector<CK_OBJECT_HANDLE> Find(const std::vector<CK_ATTRIBUTE>& attrs, size_t max = 4096);
    // One attribute's value; false when the object lacks it or hides it.
    bool Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& value, size_t max = 1 << 20);
    bool Flag(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, bool absent);

private:
    TokenConnection() = default;
    TokenSlot slot_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool readWrite_ = false;
    bool loggedIn_ = false;
    bool leased_ = false;
    zk::SecretString pin_;
    std::mutex lock_;
};

// Opens a connection for the host: the token of providerName/slotId, logged
// in as the user when pin is not null. 0 with the new handle; 8 or 16.
int ConnectToken(const char* providerName, int32_t slotId, const char* pin, ZKTokenKey* handle);
// The connection behind a handle; nullptr (last error 16) when there is none.
std::shared_ptr<TokenConnection> FindConnection(ZKTokenKey handle);
// Forgets a handle; the connection ends once no operation uses it. 0 or 16.
int DisconnectToken(ZKTokenKey handle);

// An operation on a token that needs no handle (initialisation, PIN changes):
// takes the token, with a session unless told otherwise, and runs body on the
// connection (not logged in). 0 or a code.
template <typename Body>
int WithToken(const char* providerName, int32_t slotId, bool withSession, Body&& body) {
    TokenSlot slot;
    if (int rc = FindTokenSlot(providerName, slotId, slot)) return rc;
    std::shared_ptr<TokenConnection> c;
    if (int rc = TokenConnection::Open(slot, c, withSession)) return rc;
    std::lock_guard<std::mutex> hold(c->lock());
    return body(*c);
}

}  // namespace zkd
