// Connections to hardware key tokens as the host holds them, and the one kept
// past its request.
//
// A token connection that a signer location opened with a kept PIN (Pass
// Preserve="true") stays logged in after the request, for the origin of the
// page that kept it and that PIN, as a key file opened with a kept password
// stays open (CertListFunc.h KeptKey); it goes by the same ways the kept
// passwords go (the certificate list invalidated: a listing that rebuilds it,
// CLEAN, shutdown), and whenever anything else needs the token.
//
// A token serves one connection at a time (the provider's lease): every
// connect and every operation that takes a token by provider name and slot
// goes through here, so that the token's kept session is let go before it,
// and the new connection does not wait for it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {

// A connected token (or token key) handle; disconnected (which logs the
// token out and lets the next connection in) when its last holder lets go.
class TokenSession {
public:
    TokenSession(const provider::Site& site, std::string providerName, int32_t slot, ZKTokenKey handle);
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;
    ~TokenSession();

    ZKTokenKey handle() const { return handle_; }
    // The token it is on, as the provider matches it (names without regard to case).
    bool IsOn(const std::string& providerName, int32_t slot) const;

private:
    provider::Site site_;
    std::string provider_;
    int32_t slot_;
    ZKTokenKey handle_;
};
using TokenSessionPtr = std::shared_ptr<const TokenSession>;

// Lets go of the token's kept session and waits (at most as long as the
// provider waits for a busy token) until requests still using it are done.
void LetGoOfToken(const std::string& providerName, int32_t slot);

// Connects to the token once its kept session is let go: connect makes the
// handle (any of the provider's connects by name and slot); 0 with out set.
int ConnectTokenSession(const provider::Site& site, const std::string& providerName, int32_t slot,
                        const std::function<int(ZKTokenKey&)>& connect, TokenSessionPtr& out);
// The plain connect, logged in with pin when it is not null (a PIN try,
// TokenPins.h).
int ConnectTokenSession(const provider::Site& site, const std::string& providerName, int32_t slot, const char* pin,
                        TokenSessionPtr& out);

// The session kept on this token for the current request's origin and this
// PIN (compared in constant time); null when there is none. An empty PIN
// never finds one.
TokenSessionPtr KeptTokenSession(const std::string& providerName, int32_t slot, const SecretString& pin);
// Keeps a session for the current request's origin and the PIN it logged in
// with, in place of the token's kept one. Not kept while another connect to
// the token waits for it (that connect would wait for nothing).
void KeepTokenSession(const std::string& providerName, int32_t slot, const SecretString& pin,
                      const TokenSessionPtr& session);
// Forgets the session if it is kept (it failed).
void ForgetTokenSession(const TokenSessionPtr& session);
// Forgets every kept session.
void ForgetTokenSessions();
// How many sessions are kept.
size_t KeptTokenSessionCount();

}  // namespace zk
