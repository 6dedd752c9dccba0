// SQLite throughput through DB_COMMAND, an unprotected and a protected
// database side by side in one run. Every statement travels as a real request
// through the dispatcher (XML parsing, Base64, answer building), in-process.
//
//   sqlite_bench [rows]        (default 10000; "--smoke": 50, CI's check that it still works)
//
// Phases per database: "insert" sends one INSERT per request (each its own
// transaction, synced to disk); "insert-batch" sends all rows in one request
// inside a transaction; "select-one" reads the rows back one request each by
// key; "select-all" reads every row in one request.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <tinyxml2.h>

#include "commands/ProcessRequest.h"
#include "base/CBase64.h"
#include "platform/ModulePath.h"
#include "provider/Provider.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* kKey = "benchmark key of a protected db";

// One DB_COMMAND; exits on any failure, a benchmark of errors means nothing.
void DbCommand(const std::string& name, bool isProtected, const std::string& sql) {
    std::string base = "<Base";
    if (isProtected) base += " TYPE=\"PROT\" KEY=\"" + zk::Base64Encode(std::string(kKey)) + "\"";
    base += ">" + zk::Base64Encode(name) + "</Base>";
    const std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Request><Command>DB_COMMAND</Command><Params>" +
                            base + "<Query>" + zk::Base64Encode(sql) + "</Query></Params></Request>";
    tinyxml2::XMLDocument doc;
    std::string answer;
    if (doc.Parse(xml.c_str()) != tinyxml2::XML_SUCCESS || !zk::ProcessRequestPOST(doc, answer) ||
        answer.find("<Code>0</Code>") == std::string::npos) {
        std::fprintf(stderr, "DB_COMMAND failed: %s\n%s\n", sql.substr(0, 200).c_str(), answer.c_str());
        std::exit(1);
    }
}

std::string Row(int i) {
    return "(" + std::to_string(i) + ", 'customer " + std::to_string(i) + " with some text to store', " +
           std::to_string(i * 1.25) + ", X'" + std::string(64, 'A') + "')";
}

struct Phase {
    const char* name;
    double seconds[2];  // unprotected, protected
};

template <typename Body>
double Timed(Body body) {
    auto start = Clock::now();
    body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every phase on an unprotected and a protected database; names get prefix.
void RunPhases(int rows, const std::string& prefix, Phase (&phases)[4]) {
    const char* schema = "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, amount REAL, tag BLOB)";
    for (int p = 0; p < 2; ++p) {
        const bool prot = p == 1;
        const std::string single = prefix + (prot ? "protsingle" : "plainsingle");
        const std::string batch = prefix + (prot ? "protbatch" : "plainbatch");
        DbCommand(single, prot, schema);
        DbCommand(batch, prot, schema);
        phases[0].seconds[p] = Timed([&] {
            for (int i = 0; i < rows; ++i) DbCommand(single, prot, "INSERT INTO t VALUES" + Row(i));
        });
        phases[1].seconds[p] = Timed([&] {
            std::string sql = "BEGIN;";
            for (int i = 0; i < rows; ++i) sql += "INSERT INTO t VALUES" + Row(i) + ";";
            DbCommand(batch, prot, sql + "COMMIT;");
        });
        phases[2].seconds[p] = Timed([&] {
            for (int i = 0; i < rows; ++i)
                DbCommand(single, prot, "SELECT * FROM t WHERE id = " + std::to_string((i * 7919) % rows));
        });
        phases[3].seconds[p] = Timed([&] { DbCommand(batch, prot, "SELECT * FROM t"); });
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
    const int rows = smoke ? 50 : argc > 1 ? std::atoi(argv[1]) : 10000;
    if (rows <= 0) return 2;
    const fs::path folder = fs::temp_directory_path() / ("zk_sqlite_bench_" + std::to_string(getpid()));
    fs::create_directories(folder);
    zk::SetModulePathForTesting((folder / "ZelkorH").string());
    {
        FILE* ini = std::fopen((folder / "ZelkorH.ini").c_str(), "w");
        std::fputs("[CryptoLibs]\nQLB=QLB\n", ini);
        std::fclose(ini);
    }
    std::string error;
    zk::provider::LoadOptions options;
    options.libraryName = ZK_PROVIDER_PATH;
    options.paramsPath = (folder / "ZelkorH.ini").string();
    if (zk::provider::LoadProvider(error, options) != 0) {
        std::fprintf(stderr, "provider not loaded\n");
        return 1;
    }

    // A short warm-up first, so that neither side pays for a cold heap or file cache.
    Phase warmUp[4] = {{"", {}}, {"", {}}, {"", {}}, {"", {}}};
    RunPhases(std::min(rows, 1000), "warm", warmUp);
    Phase phases[] = {{"insert", {}}, {"insert-batch", {}}, {"select-one", {}}, {"select-all", {}}};
    RunPhases(rows, "run", phases);

    std::printf("SQLite through DB_COMMAND, %d rows (rows per second)\n", rows);
    std::printf("%-14s %14s %14s %8s\n", "phase", "unprotected", "protected", "ratio");
    bool met = true;
    for (const Phase& ph : phases) {
        const double plain = rows / ph.seconds[0], prot = rows / ph.seconds[1];
        std::printf("%-14s %14.0f %14.0f %8.2f\n", ph.name, plain, prot, prot / plain);
        met = met && prot / plain >= 0.5;
    }
    std::printf("target (protected >= 0.5 of unprotected in every phase): %s\n", met ? "met" : "NOT met");

    // DB_DROP of "all" closes every database before the folder goes.
    tinyxml2::XMLDocument drop;
    std::string answer;
    drop.Parse(("<Request><Command>DB_DROP</Command><Params><Base>" + zk::Base64Encode(std::string("all")) +
                "</Base></Params></Request>").c_str());
    zk::ProcessRequestPOST(drop, answer);
    zk::provider::UnloadProvider();
    fs::remove_all(folder);
    return 0;
}
