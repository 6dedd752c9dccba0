"""CTX_CREATE_CONTAINER (content kept and not) and CTX_VERIFY_SIGNS through
HTTP beside openssl cms -sign / -verify on the same document and key.

For each document size (1 MiB and 100 MiB) and operation it prints the wall
time of the service (median over the runs, request sent as pages send it)
and of openssl, their ratio (target: at most 1.1), the service's peak memory
(VmHWM of a fresh process per size and operation, in multiples of the
document; target: at most 1.5) and openssl's maximum resident size.

Run through bench/container_bench.sh, which builds what it needs first. With
--smoke every step runs once on small documents (CI's check that the
benchmark still works; the figures mean nothing then).
Environment: ZK_BUILD_BIN (the program folder, default build/bin),
ZK_BENCH_RUNS (repetitions for 1 MiB, default 9), ZK_BENCH_LARGE_MIB (size of
the large document, default 100).
"""

import base64
import os
import shutil
import statistics
import sys
import tempfile

from benchutil import MIB, cpu_seconds, form_body, hwm_kib, post, service, size_text, timed_tool
from pkifixtures import Pki  # on the path benchutil sets

PASSWORD = "bench1234"
SIGNER = "<DRFO>1234567890</DRFO><Pass>%s</Pass>" % base64.b64encode(PASSWORD.encode()).decode()


def measure_service(pki, command, params, data, repeats):
    """Median wall seconds of the request, CPU seconds of the service per
    request, the service's peak KiB and the last answer."""
    with service(pki) as svc:  # a fresh process: VmHWM is this operation's peak
        conn = svc.connection(timeout=900)
        post(conn, form_body("CTX_CREATE_CONTAINER", SIGNER, b"warm"))  # the key is found and kept
        body = form_body(command, params, data)
        times, env = [], None
        cpu = cpu_seconds(svc.proc.pid)
        for _ in range(repeats):
            seconds, env = post(conn, body)
            times.append(seconds)
        cpu = (cpu_seconds(svc.proc.pid) - cpu) / repeats
        del body
        peak = hwm_kib(svc.proc.pid)
        conn.close()
    return statistics.median(times), cpu, peak, env


def measure_openssl(args, repeats):
    """Median wall seconds, mean CPU seconds and the largest resident KiB of an openssl command."""
    runs = [timed_tool(["openssl"] + args) for _ in range(repeats)]
    return statistics.median(r[0] for r in runs), statistics.mean(r[1] for r in runs), max(r[2] for r in runs)


def main():
    smoke = "--smoke" in sys.argv[1:]
    runs = 1 if smoke else int(os.environ.get("ZK_BENCH_RUNS", "9"))
    large = int(os.environ.get("ZK_BENCH_LARGE_MIB", "100")) * MIB
    sizes = ((64 << 10, 1), (256 << 10, 1)) if smoke else ((MIB, runs), (large, 1))
    work = tempfile.mkdtemp(prefix="zk-ctx-bench-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        pki.ca("ca")
        pki.user("user", "ca", "--drfo", "1234567890")
        pki.keyfile(pki.path("user.pfx"), PASSWORD, "user")
        signer = ["-signer", pki.path("user.pem"), "-inkey", pki.path("user.pfx"), "-passin", "pass:" + PASSWORD]
        doc_path = os.path.join(work, "doc.bin")
        ours_path, theirs_path = os.path.join(work, "service.der"), os.path.join(work, "openssl.der")

        print("Wall time: median over the runs; CPU time (user + system per request; the service's whole process,")
        print("HTTP and XML included) does not depend on the machine's load. Peak: the service's VmHWM (a fresh")
        print("process per operation and size). Ratios: service / openssl.")
        print("%-8s %-21s %-24s %-24s %-13s %-27s %s" % ("size", "operation", "service wall / CPU", "openssl wall / CPU",
                                                           "ratio w / c", "service peak", "openssl RSS"))
        for size, repeats in sizes:
            document = os.urandom(size)
            with open(doc_path, "wb") as f:
                f.write(document)
            sign = ["cms", "-sign", "-binary", "-cades", "-outform", "DER", "-in", doc_path, "-out", theirs_path] + signer
            container = None
            cases = [
                ("create, content kept", "CTX_CREATE_CONTAINER", SIGNER, sign + ["-nodetach"]),
                ("create, no content", "CTX_CREATE_CONTAINER", SIGNER + "<StoreContent>false</StoreContent>", sign),
                ("verify", "CTX_VERIFY_SIGNS", "", ["cms", "-verify", "-binary", "-cades", "-inform", "DER", "-in",
                                                   ours_path, "-CAfile", pki.path("ca.pem"), "-out", os.devnull]),
            ]
            for name, command, params, openssl_args in cases:
                data = container if command == "CTX_VERIFY_SIGNS" else document
                ours, ours_cpu, peak, env = measure_service(pki, command, params, data, repeats)
                if name == "create, content kept":
                    container = base64.b64decode(env.data.text)
                    with open(ours_path, "wb") as f:  # openssl verifies the very same container
                        f.write(container)
                if command == "CTX_VERIFY_SIGNS" and [r.text for r in env.data.findall("Results/Result")] != ["0"]:
                    raise RuntimeError("verification failed: " + env.text[:300])
                theirs, theirs_cpu, rss = measure_openssl(openssl_args, repeats)
                print("%-8s %-21s %-24s %-24s %-13s %-27s %d MiB" % (
                    size_text(size), name, "%.1f / %.1f ms" % (ours * 1e3, ours_cpu * 1e3),
                    "%.1f / %.1f ms" % (theirs * 1e3, theirs_cpu * 1e3),
                    "%.2f / %.2f" % (ours / theirs, ours_cpu / max(theirs_cpu, 1e-3)),
                    "%d MiB = %.2fx document" % (peak // 1024, peak * 1024 / size), rss // 1024))
            del document, container
        print("\nload average while measuring: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
