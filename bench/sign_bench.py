"""SET_SIGN through HTTP against openssl cms -sign on the same document and key.

Prints, each beside its reference in one run:
- SET_SIGN of 1 KiB with a kept password (the first request keeps it with
  Preserve, the others send an empty one): p50 and p90 latency of requests one
  after another on one connection (Python's client, and wrk on one
  connection), and the throughput with 16 connections (wrk), beside the
  password sent with every request (the key found again each time) and the
  raw ECDSA P-256 signatures/s of `openssl speed` on this machine; targets
  p50 <= 0.3 ms and >= 12,000 signatures/s;
- the wall time of 1 MiB and 100 MiB documents through HTTP beside `openssl
  cms -sign -cades` on the same document and key file (target 1.1x for
  both), and the peak memory of the service (VmHWM of its process, a fresh
  process per document size) beside openssl's maximum resident size (target:
  1.5x the document for 100 MiB).

Run through bench/sign_bench.sh, which builds what it needs first. With
--smoke every step runs once on small documents (CI's check that the
benchmark still works; the figures mean nothing then).
Environment: ZK_BUILD_BIN (the program folder, default build/bin),
ZK_BENCH_RUNS (repetitions for the 1 MiB figures, default 15),
ZK_BENCH_LARGE_MIB (size of the large document, default 100).
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from benchutil import MIB, cpu_seconds, form_body, hwm_kib, percentile, post, service, size_text, timed_tool
from pkifixtures import Pki  # on the path benchutil sets

PASSWORD = "bench1234"
PARAMS = "<DRFO>1234567890</DRFO><Pass>%s</Pass>" % "YmVuY2gxMjM0"  # Base64 of the password
KEEP = '<DRFO>1234567890</DRFO><Pass Preserve="true">YmVuY2gxMjM0</Pass>'  # keeps the password
KEPT = '<DRFO>1234567890</DRFO><Pass Preserve="true">=</Pass>'  # an empty password: the kept one serves

# wrk: POSTs the body of a file; answers without code 0 are counted and fail the run.
WRK_SCRIPT = """
local body = io.open(os.getenv("ZK_WRK_BODY"), "rb"):read("*a")
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args)
  failures = 0
  wrk.method = "POST"
  wrk.body = body
  wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
end
function response(status, headers, answer)
  if status ~= 200 or not answer:find("<Code>0</Code>", 1, true) then failures = failures + 1 end
end
function done(summary, latency, requests)
  local failed = 0
  for _, t in ipairs(threads) do failed = failed + t:get("failures") end
  io.write(string.format("ZK requests=%d seconds=%f p50=%f p90=%f p99=%f failed=%d\\n", summary.requests,
    summary.duration / 1e6, latency:percentile(50) / 1e3, latency:percentile(90) / 1e3,
    latency:percentile(99) / 1e3, failed))
end
"""


def sign_body(document, params=PARAMS):
    return form_body("SET_SIGN", params, document)


def wrk(port, body, connections, seconds, work):
    """Requests/s, p50, p90 and p99 in ms of wrk posting body; every answer must be code 0."""
    body_path, script = os.path.join(work, "wrk.body"), os.path.join(work, "wrk.lua")
    with open(body_path, "wb") as f:
        f.write(body)
    with open(script, "w") as f:
        f.write(WRK_SCRIPT)
    out = subprocess.run(["wrk", "-t%d" % min(connections, 2), "-c%d" % connections, "-d%ds" % seconds, "-s", script,
                          "http://127.0.0.1:%d/" % port], env=dict(os.environ, ZK_WRK_BODY=body_path),
                         capture_output=True, text=True, check=True).stdout
    m = re.search(r"ZK requests=(\d+) seconds=([\d.]+) p50=([\d.]+) p90=([\d.]+) p99=([\d.]+) failed=(\d+)", out)
    if not m:
        raise RuntimeError("wrk printed no summary: " + out)
    if int(m.group(6)):
        raise RuntimeError("%s of %s answers were not code 0" % (m.group(6), m.group(1)))
    return int(m.group(1)) / float(m.group(2)), float(m.group(3)), float(m.group(4)), float(m.group(5))


def raw_ecdsa_per_second(seconds):
    """openssl speed's ECDSA P-256 signatures/s on one core."""
    out = subprocess.run(["openssl", "speed", "-seconds", str(seconds), "ecdsap256"], capture_output=True,
                         text=True).stdout
    m = re.search(r"256 bits ecdsa \(nistp256\)\s+[\d.]+s\s+[\d.]+s\s+([\d.]+)", out)
    return float(m.group(1)) if m else float("nan")


def small_documents(pki, work, smoke):
    """SET_SIGN of 1 KiB: kept password and password every time, one connection and 16."""
    requests = 5 if smoke else 300
    seconds = 1 if smoke else 8
    document = os.urandom(1024)
    print("SET_SIGN 1 KiB. Latency: requests one after another on one connection; throughput: wrk with 16")
    print("connections for %ds (on the same 2 cores as the service)." % seconds)
    print("%-34s %-22s %-20s %-20s %s" % ("", "python p50 / p90", "wrk 1 conn p50", "16 conn signs/s",
                                          "16 conn p50 / p99"))
    for name, first, then in (("kept password (Preserve)", KEEP, KEPT), ("password with every request", PARAMS, PARAMS)):
        with service(pki) as svc:
            conn = svc.connection()
            post(conn, sign_body(document, first))
            body = sign_body(document, then)
            times = [post(conn, body)[0] for _ in range(requests)]
            conn.close()
            _, one_p50, _, _ = wrk(svc.port, body, 1, seconds, work)
            rate, p50, _, p99 = wrk(svc.port, body, 16, seconds, work)
        print("%-34s %-22s %-20s %-20s %s" % (
            name, "%.2f / %.2f ms" % (percentile(times, 0.5) * 1e3, percentile(times, 0.9) * 1e3),
            "%.2f ms" % one_p50, "%.0f" % rate, "%.2f / %.2f ms" % (p50, p99)))
    print("raw ECDSA P-256 (openssl speed, one core): %.0f signatures/s" % raw_ecdsa_per_second(1 if smoke else 3))


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
    work = tempfile.mkdtemp(prefix="zk-bench-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        pki.ca("ca")
        pki.user("user", "ca", "--drfo", "1234567890")
        pki.keyfile(pki.path("user.pfx"), PASSWORD, "user")
        out = os.path.join(work, "openssl.der")

        small_documents(pki, work, smoke)

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
