// A real HTTP(S) peer for the transfer tests: tests/integration/httppeer.py in
// a process of its own, and TLS material made with the openssl command line.
#pragma once
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace zktest {

// A loopback port that nobody listens on.
inline int ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A CA ("ca.pem") and a server certificate for the given subjectAltName
// ("server.pem", "server.key") in folder, made by the openssl command line.
inline void MakeTlsMaterial(const std::string& folder, const std::string& san = "DNS:localhost,IP:127.0.0.1",
                            const std::string& prefix = "") {
    const std::string d = folder + "/" + prefix;
    const std::string cmd =
        "cd '" + folder + "' && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=Test Update CA' "
        "-days 2 -keyout '" + d + "ca.key' -out '" + d + "ca.pem' 2>/dev/null && "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/CN=peer' "
        "-keyout '" + d + "server.key' -out '" + d + "server.csr' 2>/dev/null && "
        "printf 'subjectAltName=" + san + "\\n' > '" + d + "ext.cnf' && "
        "openssl x509 -req -in '" + d + "server.csr' -CA '" + d + "ca.pem' -CAkey '" + d + "ca.key' "
        "-CAcreateserial -days 2 -extfile '" + d + "ext.cnf' -out '" + d + "server.pem' 2>/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

class HttpPeer {
public:
    // extra: e.g. {"--cert", pem, "--key", key} or {"--proxy", "user:pass"}.
    explicit HttpPeer(std::vector<std::string> extra, const std::string& log = "") {
        std::vector<std::string> args = {"python3", ZK_HTTP_PEER_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!log.empty()) args.insert(args.end(), {"--log", log});
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        FILE* f = fdopen(out[0], "r");
        if (f && fscanf(f, "%d", &port_) != 1) port_ = 0;
        if (f) fclose(f);
    }
    ~HttpPeer() { Stop(); }
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;

    void Stop() {
        if (pid_ <= 0) return;
        close(stdin_);
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    int port() const { return port_; }
    std::string url(const std::string& scheme, const std::string& host, const std::string& path) const {
        return scheme + "://" + host + ":" + std::to_string(port_) + path;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

}  // namespace zktest
