// zkpki: generator of test and demo PKIs for ZelkorH.
// Commands and options are described in docs/zkpki.md and by "zkpki --help".
#include "Args.h"
#include "Pki.h"

#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace zkpki;

namespace {

const char kUsage[] = R"(usage: zkpki COMMAND OPTIONS

  zkpki ca --out DIR --name NAME [--cn TEXT] [--org TEXT] [--serial TEXT]
           [--key ec|rsa|p384] [--days N] [--ocsp URL] [--tsp URL] [--serial-hex HEX]
      Self-signed CA. Writes DIR/NAME.cer (DER), DIR/NAME.pem, DIR/NAME.key.pem.
      Defaults: --serial UA-36865753, --key ec (P-256), --days 3650, --cn NAME,
      --org "ZelkorH Test PKI".

  zkpki user --out DIR --name NAME --ca DIR/CANAME [options]
      End-entity certificate issued by CANAME.pem with CANAME.key.pem.
      Writes DIR/NAME.cer, DIR/NAME.pem, DIR/NAME.key.pem.
      Subject:   --cn --org --unit --title --region (ST) --district (L) --street
                 --postal --tel --email --surname --given (UTF-8 texts; --cn defaults to NAME)
      Codes:     --drfo D     serialNumber TINUA-D and directory attribute ...1.4.1.1
                 --edrpou E   organizationIdentifier NTRUA-E and directory attribute ...1.4.2.1
                 --eddr X     directory attribute ...1.4.7.1
                 --no-dir-attrs  no subjectDirectoryAttributes extension
      Usage:     --ku HEX (first key usage byte, default 0xC0) --eku OID[,OID...] [--eku-critical]
                 --qualified (QcCompliance) --sscd (QcSSCD)
      Access:    --ocsp URL (authorityInfoAccess) --tsp URL (subjectInfoAccess)
      Validity:  --not-before YYYYMMDDHHMMSSZ --not-after YYYYMMDDHHMMSSZ
                 --expired (2 years ago to 1 year ago) --no-end (99991231235959Z)
                 default: one hour ago to 365 days from now
      Key:       --key ec|rsa|p384 | --key-from FILE.pem    --serial-hex HEX
      Prints the subject key identifier (upper-case hex) on standard output.

  zkpki keyfile --out FILE --format p12|p8der|p8pem --pass PASSWORD --key A.key.pem
                [--cert A.pem] [--friendly NAME] [--key2 B.key.pem --cert2 B.pem] [--friendly2 NAME]
      Password-protected key file: PKCS#12 with one or two keys, or encrypted PKCS#8
      (one key). The password may be empty.

  zkpki demo --out DIR
      Demo set: demo-ca.{cer,pem}, demo-user.{cer,pem} and demo-user.pfx (password
      demo1234). No private key is left unprotected in DIR.

Exit status: 0 success, 1 failure, 2 wrong usage. See docs/zkpki.md.
)";

const char kOidDirDrfo[] = "1.2.804.2.1.1.1.11.1.4.1.1";
const char kOidDirEdrpou[] = "1.2.804.2.1.1.1.11.1.4.2.1";
const char kOidDirEddr[] = "1.2.804.2.1.1.1.11.1.4.7.1";

constexpr long long kHour = 3600;
constexpr long long kDay = 24 * kHour;

struct Issued {
  KeyPtr key;
  CertPtr cert;
};

const std::initializer_list<OptSpec> kCaOptions = {
    {"out", true},  {"name", true}, {"cn", true},   {"org", true},  {"serial", true},
    {"key", true},  {"days", true}, {"ocsp", true}, {"tsp", true},  {"serial-hex", true},
};

const std::initializer_list<OptSpec> kUserOptions = {
    {"out", true},        {"name", true},       {"ca", true},          {"cn", true},
    {"org", true},        {"unit", true},       {"title", true},       {"region", true},
    {"district", true},   {"street", true},     {"postal", true},      {"tel", true},
    {"email", true},      {"surname", true},    {"given", true},       {"drfo", true},
    {"edrpou", true},     {"eddr", true},       {"no-dir-attrs", false}, {"ku", true},
    {"eku", true},        {"qualified", false}, {"sscd", false},       {"ocsp", true},
    {"tsp", true},        {"not-before", true}, {"not-after", true},   {"expired", false},
    {"no-end", false},    {"key", true},        {"serial-hex", true},  {"key-from", true},
    {"eku-critical", false},
};

const std::initializer_list<OptSpec> kKeyfileOptions = {
    {"out", true},  {"format", true}, {"pass", true},     {"key", true},      {"cert", true},
    {"key2", true}, {"cert2", true},  {"friendly", true}, {"friendly2", true},
};

std::string fileName(const Args& a, std::string_view option) {
  std::string name = a.required(option);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    throw UsageError("--" + std::string(option) + ": '" + name + "' is not a plain file name");
  return name;
}

fs::path outputDir(const Args& a) {
  fs::path dir = a.required("out");
  if (dir.empty()) throw UsageError("--out: empty path");
  fs::create_directories(dir);
  return dir;
}

unsigned long long parseUnsigned(const std::string& text, int base, const std::string& what) {
  size_t used = 0;
  unsigned long long v = 0;
  try {
    if (!text.empty() && text[0] != '-' && text[0] != '+') v = std::stoull(text, &used, base);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) throw UsageError(what + ": bad number '" + text + "'");
  return v;
}

unsigned char parseKeyUsage(std::string text) {
  if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)) text.erase(0, 2);
  unsigned long long v = parseUnsigned(text, 16, "--ku");
  if (v == 0 || v > 0xFF) throw UsageError("--ku: expected a byte from 0x01 to 0xFF");
  return static_cast<unsigned char>(v);
}

std::vector<std::string> splitList(const std::string& text, const std::string& what) {
  std::vector<std::string> items;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) throw UsageError(what + ": empty item in '" + text + "'");
    items.push_back(item);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

void addName(CertProfile& p, const Args& a, std::string_view option, int nid, int type = V_ASN1_UTF8STRING) {
  if (auto v = a.value(option)) p.subject.push_back({nid, *v, type});
}

void writeCertFiles(const fs::path& dir, const std::string& name, X509* cert) {
  writeFile(dir / (name + ".cer"), certDer(cert), false);
  writeFile(dir / (name + ".pem"), certPem(cert), false);
}

// ---------------------------------------------------------------- ca
Issued makeCa(const Args& a) {
  const std::string name = fileName(a, "name");
  CertProfile p;
  p.subject = {
      {NID_countryName, "UA", V_ASN1_PRINTABLESTRING},
      {NID_organizationName, a.valueOr("org", "ZelkorH Test PKI"), V_ASN1_UTF8STRING},
      {NID_commonName, a.valueOr("cn", name), V_ASN1_UTF8STRING},
      {NID_serialNumber, a.valueOr("serial", "UA-36865753"), V_ASN1_PRINTABLESTRING},
  };
  p.isCa = true;
  p.keyUsage = 0x04 | 0x02;  // keyCertSign, cRLSign
  p.ocspUrl = a.valueOr("ocsp", "");
  p.tspUrl = a.valueOr("tsp", "");
  p.serialHex = a.valueOr("serial-hex", "");
  unsigned long long days = parseUnsigned(a.valueOr("days", "3650"), 10, "--days");
  if (days == 0 || days > 100000) throw UsageError("--days: expected 1 to 100000");
  p.notBefore = timeTextFromNow(-kHour);
  p.notAfter = timeTextFromNow(static_cast<long long>(days) * kDay);

  KeyPtr key = generateKey(parseKeyType(a.valueOr("key", "ec")));
  CertPtr cert = issueCertificate(p, key.get(), nullptr, nullptr);
  return {std::move(key), std::move(cert)};
}

int runCa(const std::vector<std::string>& words) {
  Args a(words, kCaOptions);
  Issued ca = makeCa(a);
  fs::path dir = outputDir(a);
  std::string name = fileName(a, "name");
  writeCertFiles(dir, name, ca.cert.get());
  writeFile(dir / (name + ".key.pem"), privateKeyPem(ca.key.get()), true);
  std::cout << subjectKeyIdHex(ca.cert.get()) << '\n';
  return 0;
}

// ---------------------------------------------------------------- user
void setValidity(CertProfile& p, const Args& a) {
  bool expired = a.has("expired"), noEnd = a.has("no-end");
  auto from = a.value("not-before"), to = a.value("not-after");
  if (expired && (noEnd || from || to))
    throw UsageError("--expired cannot be combined with --no-end, --not-before or --not-after");
  if (noEnd && to) throw UsageError("--no-end cannot be combined with --not-after");
  if (expired) {
    p.notBefore = timeTextFromNow(-730 * kDay);
    p.notAfter = timeTextFromNow(-365 * kDay);
    return;
  }
  p.notBefore = from ? checkedTimeText(*from) : timeTextFromNow(-kHour);
  p.notAfter = noEnd ? "99991231235959Z" : to ? checkedTimeText(*to) : timeTextFromNow(365 * kDay);
}

Issued makeUser(const Args& a, X509* caCert, EVP_PKEY* caKey) {
  const std::string name = fileName(a, "name");
  CertProfile p;
  p.subject.push_back({NID_countryName, "UA", V_ASN1_PRINTABLESTRING});
  addName(p, a, "region", NID_stateOrProvinceName);
  addName(p, a, "district", NID_localityName);
  addName(p, a, "street", NID_streetAddress);
  addName(p, a, "postal", NID_postalCode);
  addName(p, a, "org", NID_organizationName);
  addName(p, a, "unit", NID_organizationalUnitName);
  if (auto e = a.value("edrpou")) p.subject.push_back({NID_organizationIdentifier, "NTRUA-" + *e, V_ASN1_UTF8STRING});
  addName(p, a, "title", NID_title);
  p.subject.push_back({NID_commonName, a.valueOr("cn", name), V_ASN1_UTF8STRING});
  addName(p, a, "surname", NID_surname);
  addName(p, a, "given", NID_givenName);
  if (auto d = a.value("drfo")) p.subject.push_back({NID_serialNumber, "TINUA-" + *d, V_ASN1_PRINTABLESTRING});
  addName(p, a, "tel", NID_telephoneNumber, V_ASN1_PRINTABLESTRING);
  addName(p, a, "email", NID_pkcs9_emailAddress, V_ASN1_IA5STRING);
  p.sanEmail = a.valueOr("email", "");

  if (!a.has("no-dir-attrs")) {
    if (auto d = a.value("drfo")) p.dirAttrs.push_back({kOidDirDrfo, *d});
    if (auto e = a.value("edrpou")) p.dirAttrs.push_back({kOidDirEdrpou, *e});
    if (auto x = a.value("eddr")) p.dirAttrs.push_back({kOidDirEddr, *x});
  } else if (a.has("eddr")) {
    throw UsageError("--eddr needs the subject directory attributes (drop --no-dir-attrs)");
  }

  p.keyUsage = parseKeyUsage(a.valueOr("ku", "0xC0"));
  if (auto eku = a.value("eku")) p.extKeyUsage = splitList(*eku, "--eku");
  p.extKeyUsageCritical = a.has("eku-critical");
  if (p.extKeyUsageCritical && p.extKeyUsage.empty()) throw UsageError("--eku-critical needs --eku");
  p.qcCompliance = a.has("qualified");
  p.qcSscd = a.has("sscd");
  p.ocspUrl = a.valueOr("ocsp", "");
  p.tspUrl = a.valueOr("tsp", "");
  p.serialHex = a.valueOr("serial-hex", "");
  setValidity(p, a);

  KeyPtr key;
  if (auto from = a.value("key-from")) {
    if (a.has("key")) throw UsageError("--key and --key-from exclude each other");
    key = readPrivateKeyPem(*from);
  } else {
    key = generateKey(parseKeyType(a.valueOr("key", "ec")));
  }
  CertPtr cert = issueCertificate(p, key.get(), caCert, caKey);
  return {std::move(key), std::move(cert)};
}

int runUser(const std::vector<std::string>& words) {
  Args a(words, kUserOptions);
  std::string caBase = a.required("ca");
  CertPtr caCert = readCertificate(caBase + ".pem");
  KeyPtr caKey = readPrivateKeyPem(caBase + ".key.pem");
  Issued user = makeUser(a, caCert.get(), caKey.get());
  fs::path dir = outputDir(a);
  std::string name = fileName(a, "name");
  writeCertFiles(dir, name, user.cert.get());
  writeFile(dir / (name + ".key.pem"), privateKeyPem(user.key.get()), true);
  std::cout << subjectKeyIdHex(user.cert.get()) << '\n';
  return 0;
}

// ---------------------------------------------------------------- keyfile
std::string defaultFriendlyName(const std::string& keyFile) {
  std::string stem = fs::path(keyFile).filename().string();
  for (const char* suffix : {".key.pem", ".pem"}) {
    std::string s = suffix;
    if (stem.size() > s.size() && stem.compare(stem.size() - s.size(), s.size(), s) == 0) {
      stem.resize(stem.size() - s.size());
      break;
    }
  }
  return stem;
}

int runKeyfile(const std::vector<std::string>& words) {
  Args a(words, kKeyfileOptions);
  fs::path out = a.required("out");
  std::string format = a.required("format");
  std::string password = a.required("pass");
  if (format != "p12" && format != "p8der" && format != "p8pem")
    throw UsageError("--format: expected p12, p8der or p8pem, not '" + format + "'");
  if (a.has("cert2") && !a.has("key2")) throw UsageError("--cert2 needs --key2");
  if (a.has("friendly2") && !a.has("key2")) throw UsageError("--friendly2 needs --key2");

  struct Loaded {
    KeyPtr key;
    CertPtr cert;
    std::string friendly;
  };
  std::vector<Loaded> loaded;
  for (auto [keyOpt, certOpt, nameOpt] : {std::array<const char*, 3>{"key", "cert", "friendly"},
                                         std::array<const char*, 3>{"key2", "cert2", "friendly2"}}) {
    auto keyFile = a.value(keyOpt);
    if (!keyFile) {
      if (loaded.empty()) throw UsageError("option --key is required");
      continue;
    }
    Loaded l;
    l.key = readPrivateKeyPem(*keyFile);
    if (auto certFile = a.value(certOpt)) {
      l.cert = readCertificate(*certFile);
      if (!keyMatchesCert(l.key.get(), l.cert.get()))
        throw PkiError("the key in " + *keyFile + " does not belong to the certificate in " + *certFile);
    }
    l.friendly = a.valueOr(nameOpt, defaultFriendlyName(*keyFile));
    loaded.push_back(std::move(l));
  }

  Bytes data;
  if (format == "p12") {
    std::vector<KeyEntry> entries;
    for (const Loaded& l : loaded) entries.push_back({l.key.get(), l.cert.get(), l.friendly});
    data = makePkcs12(entries, password);
  } else {
    if (loaded.size() != 1) throw UsageError("PKCS#8 holds exactly one key (drop --key2)");
    data = makeEncryptedPkcs8(loaded[0].key.get(), password, format == "p8pem");
  }
  if (out.has_parent_path()) fs::create_directories(out.parent_path());
  writeFile(out, data, true);
  return 0;
}

// ---------------------------------------------------------------- demo
int runDemo(const std::vector<std::string>& words) {
  Args a(words, {{"out", true}});
  fs::path dir = outputDir(a);

  Issued ca = makeCa(Args({"--name", "demo-ca", "--serial", "UA-36865753", "--cn", "Демо ЦСК ZelkorH",
                           "--org", "Демо ЦСК"},
                          kCaOptions));
  Issued user = makeUser(Args({"--name", "demo-user", "--cn", "Демо Користувач", "--surname", "Користувач",
                               "--given", "Демо", "--org", "ТОВ \"Демо\"", "--title", "Директор",
                               "--drfo", "1234567890", "--edrpou", "12345678", "--ku", "0xC8",
                               "--email", "demo.user@example.org"},
                              kUserOptions),
                         ca.cert.get(), ca.key.get());
  ca.key.reset();  // the CA key signs this one certificate and is gone

  writeCertFiles(dir, "demo-ca", ca.cert.get());
  writeCertFiles(dir, "demo-user", user.cert.get());
  writeFile(dir / "demo-user.pfx", makePkcs12({{user.key.get(), user.cert.get(), "Демо Користувач"}}, "demo1234"),
            true);
  // Leftovers of an older run must not sit beside the protected key file.
  for (const char* stale : {"demo-ca.key.pem", "demo-user.key.pem"}) fs::remove(dir / stale);
  std::cout << subjectKeyIdHex(user.cert.get()) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + std::min(argc, 2), argv + argc);
  const std::string command = argc >= 2 ? argv[1] : "";
  bool help = command == "--help" || command == "-h" || command == "help";
  for (const std::string& w : words) help = help || w == "--help" || w == "-h";
  if (help) {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (command == "ca") return runCa(words);
    if (command == "user") return runUser(words);
    if (command == "keyfile") return runKeyfile(words);
    if (command == "demo") return runDemo(words);
    throw UsageError(command.empty() ? "no command given" : "unknown command '" + command + "'");
  } catch (const UsageError& e) {
    std::cerr << "zkpki: " << e.what() << "\nTry 'zkpki --help'.\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "zkpki: error: " << e.what() << '\n';
    return 1;
  }
}
