// The CPU time a request may spend checking key files that the key searches
// find on disk. Each file's key derivations are capped (the provider refuses
// a file that asks for more than 10^7 iterations), but a folder may hold
// many such files, and a search tries each: past the budget the searches of
// the request stop trying further files, and a check still running is
// stopped inside the provider (which asks ProviderGiveUpCheck as it works).
// Usual key files take a few milliseconds each. Waiting (the delay after
// wrong passwords) does not count.
#pragma once
#include <chrono>

namespace zk {

constexpr std::chrono::seconds kKeyCheckBudget{5};

// Around one check of a key file found on disk: its thread CPU time counts
// against the budget of the request served. Outside a request (no client
// to wait for) each check has the budget to itself.
class KeyCheckScope {
public:
    KeyCheckScope();
    ~KeyCheckScope();
    KeyCheckScope(const KeyCheckScope&) = delete;
    KeyCheckScope& operator=(const KeyCheckScope&) = delete;

private:
    bool owner_ = false;  // scopes nest: the outermost counts
};

// Whether the request served has spent its budget (with the check running
// on this thread).
bool KeyCheckBudgetSpent();

// The check the provider asks during long work (ZKLSVC_SetGiveUpCheck): the
// request is cancelled (its client gone, the service stopping), or a key
// check running on this thread has spent the request's budget.
extern "C" int ProviderGiveUpCheck(void);

}  // namespace zk
