// PIN tries on hardware key tokens, slowed down after wrong ones as key
// passwords are (PasswordThrottle.h): after a wrong PIN the next try on that
// token waits 250 ms, doubling up to 8 s, until a PIN opens it; a PIN already
// found wrong is answered at once without a try. A token counts wrong PINs
// itself and locks its PIN (or itself, for the security officer's) after a
// few: a page must neither guess at the token's speed nor use up its tries
// in a burst. User and security officer PINs are throttled apart.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace zk {

enum class TokenPin { User, Officer };

// Runs attempt (the provider call that presents pin to the token) when the
// token's turn comes, and learns from its code (8: the PIN was wrong; 0: it
// opened the token). 8 without a try when the turn is refused or the PIN is
// known wrong.
int TryTokenPin(const std::string& providerName, int32_t slot, TokenPin kind, const std::string& pin,
                const std::function<int()>& attempt);

}  // namespace zk
