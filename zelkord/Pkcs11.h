// Hardware key tokens are reached through PKCS#11 modules named in the
// parameter file, one line each:
//   [Dongles]
//   NAME=<path of the module>
// NAME is the provider name pages send (DongleProviderName): 1 to 7 Latin
// letters, digits, "_" or "-", compared without regard to case. A relative
// path is taken from the parameter file's folder.
//
// The modules are loaded at their first use (the host's log is open by then,
// so a module that cannot be loaded is logged, then skipped). Each module file
// is loaded once and initialised for use from many threads; it is finalised
// only when the last connection that uses it is gone.
#pragma once
#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <vector>

namespace zkd {

constexpr size_t kTokenProviderNameMax = 7;

class Pkcs11Module {
public:
    Pkcs11Module(std::string path, void* library, CK_FUNCTION_LIST* functions, bool finalize);
    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    const std::string& path() const { return path_; }
    CK_FUNCTION_LIST& f() const { return *functions_; }

private:
    std::string path_;
    void* library_;
    CK_FUNCTION_LIST* functions_;
    bool finalize_;  // false when someone else in the process had initialised it
};

struct TokenProvider {
    std::string name;
    std::shared_ptr<Pkcs11Module> module;
};

// Remembers the parameter file whose [Dongles] section names the modules and
// forgets modules loaded before; returns how many providers it names.
int ConfigureTokenProviders(const std::string& paramsPath);
// Drops the loaded modules (each is finalised once nothing uses it any more).
void ReleaseTokenProviders();
// The usable providers in file order, loading the modules on first use.
std::vector<TokenProvider> TokenProviders();
// The module of a provider name; nullptr (with the last error set) when no
// usable provider has that name.
std::shared_ptr<Pkcs11Module> FindTokenProvider(const char* name);

// The name of a PKCS#11 return value ("CKR_PIN_INCORRECT").
std::string RvName(CK_RV rv);

// Records a failed PKCS#11 call as the last error ("C_Login: CKR_PIN_INCORRECT")
// and returns its code: 8 for a PIN the token refused, 16 for everything else.
int TokenFail(CK_RV rv, const char* call);
// The same when the PIN concerned is a new one being set: its refusal is 16.
int TokenFailNewPin(CK_RV rv, const char* call);

// Texts of the token's fixed fields: PKCS#11 pads them with blanks.
std::string TrimBlanks(const unsigned char* text, size_t size);

}  // namespace zkd
