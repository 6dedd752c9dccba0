// Building the certificate list over a tree of 10,000 files (1,000
// certificates, the rest other files, in a root and two levels of
// subfolders), side by side with a baseline that walks the same tree and
// parses the same certificates with OpenSSL directly; then the key search of
// one certificate, first search against a cached key.
//
//   certlist_bench [DIR]   (DIR: where the tree is made; default a temporary
//                           folder that is removed afterwards)
//
// The baseline reads every ".cer"/".crt" file, decodes it (DER, else PEM),
// decodes its extensions and reads the subject's common name: the least a
// certificate list has to do. The list build is CertListClear + CertListGet
// with the provider library loaded and the log off, as in the service.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discovery/CertListFunc.h"
#include "discovery/keys/SKListFunc.h"
#include "platform/Drives.h"
#include "platform/Files.h"
#include "platform/ModulePath.h"
#include "provider/Provider.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The full figures by default; "--smoke" runs every step once on a tiny tree
// (CI's check that the benchmark still works) and does not judge the ratio.
struct Sizes {
    int certificates = 1000;
    int files = 10000;
    int runs = 5;
    int searches = 20;
};
Sizes g_sizes;
const char* kPassword = "bench1234";

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null").c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string Zkpki() { return ZK_ZKPKI_PATH; }

// The 111 folders of the tree: the root, 10 below it, 10 below each of those.
std::vector<fs::path> Folders(const fs::path& root) {
    std::vector<fs::path> folders = {root};
    for (int a = 0; a < 10; ++a) {
        folders.push_back(root / ("dir" + std::to_string(a)));
        for (int b = 0; b < 10; ++b) folders.push_back(root / ("dir" + std::to_string(a)) / ("sub" + std::to_string(b)));
    }
    return folders;
}

void MakeTree(const fs::path& pki, const fs::path& root) {
    fs::create_directories(pki);
    Run(Zkpki() + " ca --out " + pki.string() + " --name ca");
    // Certificates share one key (key generation is not what is measured);
    // distinct DRFO codes make them distinct records.
    Run(Zkpki() + " user --out " + pki.string() + " --name u0 --ca " + (pki / "ca").string() + " --drfo 1000000000");
    for (int i = 1; i < g_sizes.certificates; ++i)
        Run(Zkpki() + " user --out " + pki.string() + " --name u" + std::to_string(i) + " --ca " +
            (pki / "ca").string() + " --key-from " + (pki / "u0.key.pem").string() + " --drfo " +
            std::to_string(1000000000 + i));
    std::vector<fs::path> folders = Folders(root);
    for (const auto& f : folders) fs::create_directories(f);
    const char* otherExtensions[] = {".txt", ".xml", ".pdf", ".doc", ".cer.bak", ".pem", ".log", ".dat.old"};
    for (int i = 0; i < g_sizes.files; ++i) {
        const fs::path& folder = folders[static_cast<size_t>(i) % folders.size()];
        if (i % (g_sizes.files / g_sizes.certificates) == 0) {
            int n = i / (g_sizes.files / g_sizes.certificates);
            fs::copy_file(pki / ("u" + std::to_string(n) + ".cer"),
                          folder / ("cert" + std::to_string(n) + (n % 2 ? ".CER" : ".crt")));
        } else {
            std::ofstream(folder / ("file" + std::to_string(i) + otherExtensions[i % 8]))
                << "content of an ordinary file number " << i << "\n";
        }
    }
}

// The baseline: walk and parse with OpenSSL directly.
size_t Baseline(const fs::path& root) {
    size_t parsed = 0;
    std::vector<std::string> names;
    auto visit = [&](auto&& self, const fs::path& folder, int level) -> void {
        if (level > 2) return;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory()) {
                self(self, it->path(), level + 1);
                continue;
            }
            std::string ext = zk::files::LowerAscii(it->path().extension().string());
            if (ext != ".cer" && ext != ".crt") continue;
            auto data = zk::files::ReadAll(it->path().string());
            if (!data) continue;
            const unsigned char* p = data->data();
            X509* x = d2i_X509(nullptr, &p, static_cast<long>(data->size()));
            if (!x) {
                BIO* bio = BIO_new_mem_buf(data->data(), static_cast<int>(data->size()));
                x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
                BIO_free(bio);
            }
            if (!x) continue;
            X509_check_purpose(x, -1, 0);
            char cn[256];
            X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof cn);
            names.emplace_back(cn);
            X509_free(x);
            ++parsed;
        }
    };
    visit(visit, root, 0);
    return parsed;
}

size_t BuildList() {
    zk::CertListClear();
    zk::CertList list;
    zk::CertListGet(list);
    return list.size();
}

template <class F>
double Millis(F&& f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One certificate whose key sits in the KeyPath folder under another name,
// with three key files of other certificates beside the certificate.
zk::KeySearchInput KeySearchSetup(const fs::path& pki, const fs::path& program, std::string& certBytes) {
    const fs::path folder = program / "Cert" / "signer";
    fs::create_directories(folder);
    fs::create_directories(program / "keys");
    for (const char* user : {"signer", "o1", "o2", "o3"}) {
        Run(Zkpki() + " user --out " + pki.string() + " --name " + user + " --ca " + (pki / "ca").string());
        Run(Zkpki() + " keyfile --out " + (pki / (std::string(user) + ".pfx")).string() + " --format p12 --pass " +
            kPassword + " --key " + (pki / (std::string(user) + ".key.pem")).string());
    }
    fs::copy_file(pki / "signer.cer", folder / "signer.cer");
    fs::copy_file(pki / "signer.pfx", program / "keys" / "private.pfx");
    for (const char* user : {"o1", "o2", "o3"}) fs::copy_file(pki / (std::string(user) + ".pfx"), folder / (std::string(user) + ".pfx"));
    std::ofstream(program / "Cert" / "Params.ini") << "[common]\nKeyPath=" << (program / "keys").string() << "\n";

    zk::CertList list;
    zk::CertListClear();
    zk::CertListGet(list);
    zk::KeySearchInput in;
    in.certPath = (folder / "signer.cer").string();
    for (const auto& r : list)
        if (r.path == in.certPath) in.libIndex = r.libIndex;

    auto bytes = zk::files::ReadAll(in.certPath);
    certBytes.assign(bytes->begin(), bytes->end());
    in.cert = reinterpret_cast<const uint8_t*>(certBytes.data());
    in.certLen = certBytes.size();
    in.password = kPassword;
    in.preserve = true;
    return in;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
    if (smoke) {
        g_sizes = {5, 50, 1, 1};
        --argc;
        ++argv;
    }
    const bool temporary = argc < 2;
    fs::path base = temporary ? fs::temp_directory_path() / ("certlist_bench_" + std::to_string(getpid())) : fs::path(argv[1]);
    const fs::path program = base / "program", pki = base / "pki", root = program / "Cert";
    fs::remove_all(base);
    fs::create_directories(program);

    auto made = Clock::now();
    MakeTree(pki, root);
    std::printf("tree: %d files, %d certificates, 3 levels, made in %.1f s\n", g_sizes.files, g_sizes.certificates,
                std::chrono::duration<double>(Clock::now() - made).count());

    zk::SetModulePathForTesting((program / "ZelkorH").string());
    std::ofstream(program / "ZelkorH.ini") << "[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n";
    std::ofstream(program / "mountinfo") << "";
    zk::drives::SystemDriveMask().SetSources({(program / "mountinfo").string(), (program / "sys").string()});
    std::string error;
    zk::provider::LoadOptions options;
    options.libraryName = ZK_PROVIDER_PATH;
    if (zk::provider::LoadProvider(error, options) != 0) {
        std::fprintf(stderr, "provider: %s\n", error.c_str());
        return 1;
    }

    std::vector<double> baseline, build;
    size_t parsed = 0, listed = 0;
    for (int run = 0; run < g_sizes.runs; ++run) {
        baseline.push_back(Millis([&] { parsed = Baseline(root); }));
        build.push_back(Millis([&] { listed = BuildList(); }));
    }
    double b = Median(baseline), l = Median(build);
    std::printf("%-44s %10s %10s\n", "", "median ms", "per cert us");
    std::printf("%-44s %10.1f %10.1f   (%zu parsed)\n", "baseline: walk + OpenSSL parse", b, b * 1000 / parsed, parsed);
    std::printf("%-44s %10.1f %10.1f   (%zu listed)\n", "CertListGet (rebuild)", l, l * 1000 / listed, listed);
    std::printf("%-44s %10.2f   (target: 2.00 or less)\n", "ratio list build / baseline", l / b);

    std::string certBytes;
    zk::KeySearchInput in = KeySearchSetup(pki, program, certBytes);
    std::vector<double> first, cached;
    for (int i = 0; i < g_sizes.searches; ++i) {
        zk::CertListClear();  // no cache: every search walks the stages
        first.push_back(Millis([&] { zk::FindCertKey(in); }));
    }
    zk::CertList list;
    zk::CertListGet(list);
    if (auto r = zk::FindCertKey(in); r.code != 0) {
        std::fprintf(stderr, "key search failed: code %d, detail %d, library %d\n", r.code, r.detail, in.libIndex);
        return 1;
    }
    for (int i = 0; i < g_sizes.searches; ++i) cached.push_back(Millis([&] { zk::FindCertKey(in); }));
    std::printf("%-44s %10.2f\n", "FindCertKey, first search (3 other keys)", Median(first));
    std::printf("%-44s %10.2f\n", "FindCertKey, cached key", Median(cached));

    zk::provider::UnloadProvider();
    if (temporary) fs::remove_all(base);
    return smoke || l / b <= 2.0 ? 0 : 2;
}
