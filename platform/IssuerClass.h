// Classes of certification centres, from a certificate's IssuerSN, and the
// crypto library that serves each class. One rule for the whole system: the
// host's certificate list assigns each certificate its library with it, and
// the provider library judges a signer's certificate against that library's
// certification centre with it.
#pragma once
#include <string_view>

namespace zk {

// The class of the issuer: an empty IssuerSN is 0; otherwise the first known
// identifier it begins with (ignoring case) decides; -1 when none.
int ClassifyIssuer(std::string_view issuerSN);

// "USC" for class 0, "QLB" for class 9, "UA1" for every other class
// (issuers without a class included).
const char* LibraryCodeForClass(int issuerClass);

}  // namespace zk
