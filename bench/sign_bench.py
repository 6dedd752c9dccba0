"""SET_SIGN through HTTP against openssl cms -sign on the same document and key.

Prints: the p50 (and p90) latency of SET_SIGN for 1 KiB with the key cached
by an earlier request; the wall time of 1 MiB and 100 MiB documents through
HTTP beside `openssl cms -sign -cades` on the same document and key file; and
the peak memory of the service (VmHWM of its process, a fresh process per
document size) beside openssl's maximum resident size.

Run through bench/sign_bench.sh, which builds what it needs first. With
--smoke every step runs once on small documents (CI's check that the
benchmark still works; the figures mean nothing then).
Environment: ZK_BUILD_BIN (the program folder, default build/bin),
ZK_BENCH_RUNS (repetitions for the 1 MiB figures, default 15),
ZK_BENCH_LARGE_MIB (size of the large document, default 100).
"""

import os
import shutil
import statistics
import sys
import tempfile

from benchutil import MIB, cpu_seconds, form_body, hwm_kib, percentile, post, service, size_text, timed_tool
from pkifixtures import Pki  # on the path benchutil sets

PASSWORD = "bench1234"
PARAMS = "<DRFO>1234567890</DRFO><Pass>%s</Pass>" % "YmVuY2gxMjM0"  # Base64 of the password


def sign_body(document):
    return form_body("SET_SIGN", PARAMS, document)


def openssl_sign(pki, doc_path, out_path):
    """Wall seconds, CPU seconds and maximum resident KiB of openssl cms -sign."""
    return timed_tool(["openssl", "cms", "-sign", "-binary", "-nodetach", "-cades", "-md", "sha256", "-outform", "DER",
                       "-in", doc_path, "-out", out_path, "-signer", pki.path("user.pem"), "-inkey",
                       pki.path("user.pfx"), "-passin", "pass:" + PASSWORD])


def main():
    smoke = "--smoke" in sys.argv[1:]
    runs = 1 if smoke else int(os.environ.get("ZK_BENCH_RUNS", "15"))
    large_mib = int(os.environ.get("ZK_BENCH_LARGE_MIB", "100"))
    sizes = ((64 << 10, 1), (256 << 10, 1)) if smoke else ((MIB, runs), (large_mib * MIB, 1))
    cached_requests = 5 if smoke else 200
    work = tempfile.mkdtemp(prefix="zk-bench-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        pki.ca("ca")
        pki.user("user", "ca", "--drfo", "1234567890")
        pki.keyfile(pki.path("user.pfx"), PASSWORD, "user")
        out = os.path.join(work, "openssl.der")

        # 1 KiB, key cached: the first request finds and remembers the key.
        with service(pki) as svc:
            conn = svc.connection()
            body = sign_body(os.urandom(1024))
            post(conn, body)
            times = [post(conn, body)[0] for _ in range(cached_requests)]
            conn.close()
        print("SET_SIGN 1 KiB, cached key, %d requests on one connection: p50 %.2f ms, p90 %.2f ms" %
              (cached_requests, percentile(times, 0.5) * 1e3, percentile(times, 0.9) * 1e3))

        print("\nWall time is the median over the runs; CPU time (user + system, per document) does not depend")
        print("on what else the machine runs. Service CPU is the whole process's, request handling included.")
        print("%-8s %-36s %-44s %s" % ("size", "SET_SIGN over HTTP", "openssl cms -sign -cades", "service peak (VmHWM)"))
        for size, repeats in sizes:
            document = os.urandom(size)
            doc_path = os.path.join(work, "doc.bin")
            with open(doc_path, "wb") as f:
                f.write(document)
            body = sign_body(document)
            with service(pki) as svc:  # a fresh process: VmHWM is this size's peak
                idle = hwm_kib(svc.proc.pid)
                conn = svc.connection(timeout=600)
                post(conn, sign_body(b"warm"))
                cpu_before = cpu_seconds(svc.proc.pid)
                ours = [post(conn, body)[0] for _ in range(repeats)]
                ours_cpu = (cpu_seconds(svc.proc.pid) - cpu_before) / repeats
                peak = hwm_kib(svc.proc.pid)
                conn.close()
            theirs = [openssl_sign(pki, doc_path, out) for _ in range(repeats)]
            ours_s = statistics.median(ours)
            theirs_s = statistics.median(t for t, _, _ in theirs)
            theirs_cpu = statistics.mean(c for _, c, _ in theirs)
            print("%-8s %-36s %-44s %s" % (
                size_text(size), "%.1f ms wall, %.1f ms CPU" % (ours_s * 1e3, ours_cpu * 1e3),
                "%.1f ms wall (%.2fx), %.1f ms CPU, RSS %d MiB" % (
                    theirs_s * 1e3, ours_s / theirs_s, theirs_cpu * 1e3, max(m for _, _, m in theirs) // 1024),
                "%d MiB = %.2fx the document (idle %d MiB)" % (peak // 1024, peak * 1024 / len(document), idle // 1024)))
            del body, document
        print("\nload average while measuring: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
