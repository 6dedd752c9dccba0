"""CTX_REQUEST_OCSP and CTX_REQUEST_TIMESTAMP round trips through HTTP beside
the openssl command line making the same requests, against the same local
peers: `openssl ocsp -port` (with -multi, so that the responder is not the
bottleneck) and the timestamp authority tests/fixtures/pkipeer.

Prints requests per second with N concurrent clients (default 8) for each
side and their ratio. The service side is N threads, each with its own
connection, posting the command; the openssl side is N threads, each running
for every request what a client without a resident process needs:
`openssl ocsp -url ...` (request, POST, response check), and for a timestamp
`openssl ts -query`, a POST with curl and `openssl ts -verify`.

Run through bench/network_bench.sh, which builds what it needs first. With
--smoke every step runs a few requests (CI's check that the benchmark still
works; the figures mean nothing then).
Environment: ZK_BUILD_BIN (the program folder, default build/bin),
ZK_BENCH_SECONDS (seconds per measurement, default 10),
ZK_BENCH_CLIENTS (concurrent clients, default 8).
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from benchutil import form_body, post
from pkifixtures import Pki, b64  # on the path benchutil sets
from zkservice import BUILD_BIN, Service, free_port

PKIPEER = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "fixtures", "pkipeer")
DOC = b"a document to timestamp\n"


def rate(clients, seconds, requests, make_worker):
    """Requests per second of `clients` workers, each calling its one-request
    function until the time is up (or `requests` times when given)."""
    counts = [0] * clients
    errors = []
    deadline = time.monotonic() + seconds

    def run(i):
        try:
            one = make_worker()
            while (counts[i] < requests) if requests else (time.monotonic() < deadline):
                one()
                counts[i] += 1
        except Exception as e:  # reported after the run
            errors.append(e)

    start = time.monotonic()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    if errors:
        raise errors[0]
    return sum(counts) / elapsed


def run_tool(args, **kw):
    p = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args[:3]), p.stderr.decode(errors="replace")[:300]))


def main():
    smoke = "--smoke" in sys.argv[1:]
    seconds = float(os.environ.get("ZK_BENCH_SECONDS", "10"))
    clients = int(os.environ.get("ZK_BENCH_CLIENTS", "8"))
    requests = 2 if smoke else 0
    work = tempfile.mkdtemp(prefix="zk-bench-net-")
    peers = []
    try:
        pki = Pki(os.path.join(work, "pki"))
        pki.ca("ca")
        pki.user("user", "ca")
        serial = subprocess.run(["openssl", "x509", "-noout", "-serial", "-in", pki.path("user.pem")],
                                capture_output=True, text=True, check=True).stdout.strip().split("=")[1]
        with open(pki.path("index.txt"), "w") as f:
            f.write("V\t351231235959Z\t\t%s\tunknown\t/CN=user\n" % serial)
        run_tool(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                  "-keyout", pki.path("tsa.key"), "-out", pki.path("tsa.pem"), "-subj", "/CN=TSA", "-days", "2",
                  "-addext", "extendedKeyUsage=critical,timeStamping"])
        with open(pki.path("doc.bin"), "wb") as f:
            f.write(DOC)

        tsa = subprocess.Popen([PKIPEER, "tsa", "--cert", pki.path("tsa.pem"), "--key", pki.path("tsa.key")],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        peers.append(tsa)
        tsa_url = "http://127.0.0.1:%d/" % int(tsa.stdout.readline())
        ocsp_port = free_port()
        ocsp_url = "http://127.0.0.1:%d/" % ocsp_port
        # In a process group of its own: its worker processes end with it.
        peers.append(subprocess.Popen(
            ["openssl", "ocsp", "-port", str(ocsp_port), "-index", pki.path("index.txt"), "-CA", pki.path("ca.pem"),
             "-rsigner", pki.path("ca.pem"), "-rkey", pki.path("ca.key.pem"), "-nmin", "60", "-multi", str(clients)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, process_group=0))
        ocsp_client = ["openssl", "ocsp", "-issuer", pki.path("ca.pem"), "-cert", pki.path("user.pem"), "-url",
                       ocsp_url, "-CAfile", pki.path("ca.pem"), "-timeout", "10"]
        deadline = time.monotonic() + 30
        while subprocess.run(ocsp_client, capture_output=True).returncode != 0:  # the responder is up
            if time.monotonic() > deadline:
                raise RuntimeError("openssl ocsp did not start")
            time.sleep(0.1)

        svc = Service(start=False, log=False, ports=0)
        peers.append(svc)
        svc.start()
        host = "<Host><Address>%s</Address><Timeout>10</Timeout></Host>"
        ocsp_body = form_body("CTX_REQUEST_OCSP", "<Certs><Cert>%s</Cert></Certs>%s"
                              % (b64(pki.read("user.cer")), host % ocsp_url), b"")
        ts_body = form_body("CTX_REQUEST_TIMESTAMP", "<SenderCert>%s</SenderCert>%s"
                            % (b64(pki.read("user.cer")), host % tsa_url), DOC)

        def service_worker(body):
            def make():
                conn = svc.connection()
                return lambda: post(conn, body)
            return make

        def openssl_timestamp():
            folder = tempfile.mkdtemp(dir=work)
            query, reply = os.path.join(folder, "q.tsq"), os.path.join(folder, "r.tsr")

            def one():
                run_tool(["openssl", "ts", "-query", "-data", pki.path("doc.bin"), "-sha256", "-cert", "-out", query])
                run_tool(["curl", "-sS", "-f", "-m", "10", "--data-binary", "@" + query, "-H",
                          "Content-Type: application/timestamp-query", "-o", reply, tsa_url])
                run_tool(["openssl", "ts", "-verify", "-in", reply, "-queryfile", query, "-CAfile", pki.path("tsa.pem")])
            return one

        print("%d concurrent clients, %s" % (clients, "smoke run" if smoke else "%.0f s each" % seconds))
        print("%-24s %14s %14s %8s" % ("", "service req/s", "openssl req/s", "ratio"))
        for name, body, tool in (("CTX_REQUEST_OCSP", ocsp_body, lambda: (lambda: run_tool(ocsp_client))),
                                 ("CTX_REQUEST_TIMESTAMP", ts_body, openssl_timestamp)):
            ours = rate(clients, seconds, requests, service_worker(body))
            theirs = rate(clients, seconds, requests, tool)
            print("%-24s %14.1f %14.1f %7.2fx" % (name, ours, theirs, ours / theirs))
    finally:
        for p in reversed(peers):
            if isinstance(p, Service):
                p.__exit__(None, None, None)
            elif p.stdin:  # the timestamp authority ends when its input closes
                p.stdin.close()
                p.wait(timeout=10)
            else:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
