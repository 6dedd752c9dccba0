"""GET_ORIGINAL of a signed-then-encrypted document through HTTP against the
two openssl steps that do the same work: openssl cms -decrypt, then
openssl cms -verify on what it decrypted.

The document (random bytes of 1 MiB and of 100 MiB) is signed by one user
and encrypted for another with the openssl command line, then put behind the
sender certificate header the UA1 library expects. Prints, side by side in
one run: the wall time of GET_ORIGINAL (median over the runs; request and
answer through HTTP with their Base64 included) and of the two openssl steps
(their sum), and the peak memory of the service (VmHWM of a fresh process per
size) and of each openssl step (maximum resident size). Targets: within 1.5x
the two steps' wall time; peak memory under 4x the document.

Run through bench/protected_bench.sh, which builds what it needs first. With
--smoke every step runs once on small documents (CI's check that the
benchmark still works; the figures mean nothing then).
Environment: ZK_BUILD_BIN (the program folder, default build/bin),
ZK_BENCH_RUNS (repetitions for 1 MiB, default 15), ZK_BENCH_LARGE_MIB (size
of the large document, default 100), ZK_BENCH_LARGE_RUNS (its repetitions,
default 3).
"""

import base64
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

from pkifixtures import Pki  # noqa: E402
from zkservice import Envelope, Service  # noqa: E402

PASSWORD = "bench1234"
MIB = 1 << 20


def form_body(document):
    """The page's form: data = percent-encoded Base64 of the request XML, plain UTF-8 answer."""
    xml = (b'<?xml version="1.0" encoding="utf-8"?><Request><Command>GET_ORIGINAL</Command><Params>'
           b"<DRFO>2222222222</DRFO><Pass>" + base64.b64encode(PASSWORD.encode()) + b"</Pass></Params><Data>" +
           base64.b64encode(document) + b"</Data></Request>")
    data = base64.b64encode(xml).replace(b"+", b"%2B").replace(b"/", b"%2F").replace(b"=", b"%3D")
    return b"data=" + data + b"&nativedata=1&encodeOutput=0"


def post(conn, body, expected_len):
    """One GET_ORIGINAL; returns its wall seconds, from sending the request to the last byte of the answer."""
    start = time.perf_counter()
    conn.request("POST", "/", body=body, headers={"Content-Type": "application/x-www-form-urlencoded"})
    r = conn.getresponse()
    answer = r.read()
    seconds = time.perf_counter() - start  # the answer is checked outside the time
    if r.status != 200:
        raise RuntimeError("HTTP %d" % r.status)
    env = Envelope(answer.decode("utf-8"))
    if env.code != 0 or len(base64.b64decode(env.data.text)) != expected_len:
        raise RuntimeError("GET_ORIGINAL answered %d: %s" % (env.code, env.text[:300]))
    return seconds


def hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed(args):
    """Wall seconds, CPU seconds and maximum resident KiB of one openssl run."""
    # /usr/bin/time reports openssl's own peak (a child forked from this
    # process would count this process's memory as its own until exec).
    start = time.perf_counter()
    p = subprocess.Popen(["/usr/bin/time", "-f", "%M"] + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True)
    _, status, usage = os.wait4(p.pid, 0)  # openssl's time is the time tool's children's
    seconds = time.perf_counter() - start
    report = p.stderr.read()
    p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args[:3]), report))
    return seconds, usage.ru_utime + usage.ru_stime, int(report.strip().splitlines()[-1])


def openssl_steps(pki, work, envelope_path):
    """openssl cms -decrypt, then -verify: wall and CPU seconds of both, the peak KiB of each."""
    signed, plain = os.path.join(work, "signed.out"), os.path.join(work, "plain.out")
    t1, c1, m1 = timed(["openssl", "cms", "-decrypt", "-binary", "-inform", "DER", "-in", envelope_path, "-recip",
                        pki.path("bob.pem"), "-inkey", pki.path("bob.pfx"), "-passin", "pass:" + PASSWORD, "-out",
                        signed])
    t2, c2, m2 = timed(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", signed, "-CAfile",
                        pki.path("ca.pem"), "-out", plain])
    return t1 + t2, c1 + c2, m1, m2


def make_document(pki, work, size):
    """The document signed by alice and encrypted for bob, as openssl makes them."""
    doc, signed, env = (os.path.join(work, n) for n in ("doc.bin", "signed.der", "env.der"))
    with open(doc, "wb") as f:
        f.write(os.urandom(size))
    subprocess.run(["openssl", "cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-in", doc, "-out", signed,
                    "-signer", pki.path("alice.pem"), "-inkey", pki.path("alice.key.pem")], check=True)
    subprocess.run(["openssl", "cms", "-encrypt", "-binary", "-aes256", "-outform", "DER", "-in", signed, "-out", env,
                    "-recip", pki.path("bob.pem")], check=True)
    with open(env, "rb") as f:
        envelope = f.read()
    alice = pki.read("alice.cer")
    return b"CERTCRYPT\0" + struct.pack("<i", len(alice)) + alice + envelope, env


def service(pki):
    svc = Service(start=False, log=False, ports=0)
    os.makedirs(svc.path("Cert"), exist_ok=True)
    for name in ("bob.cer", "bob.pfx"):
        shutil.copy(pki.path(name), svc.path("Cert", name))
    return svc.start()


def main():
    smoke = "--smoke" in sys.argv[1:]
    runs = 1 if smoke else int(os.environ.get("ZK_BENCH_RUNS", "15"))
    large_mib = int(os.environ.get("ZK_BENCH_LARGE_MIB", "100"))
    large_runs = 1 if smoke else int(os.environ.get("ZK_BENCH_LARGE_RUNS", "3"))
    sizes = ((64 << 10, 1), (256 << 10, 1)) if smoke else ((MIB, runs), (large_mib * MIB, large_runs))
    work = tempfile.mkdtemp(prefix="zk-bench-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        pki.ca("ca")
        pki.user("alice", "ca", "--drfo", "1111111111")
        pki.user("bob", "ca", "--drfo", "2222222222", "--ku", "0x08")
        pki.keyfile(pki.path("bob.pfx"), PASSWORD, "bob")

        print("GET_ORIGINAL of a signed-then-encrypted document against openssl cms -decrypt followed by")
        print("openssl cms -verify on the same document. Wall time is the median over the runs; CPU time")
        print("(user + system, per document) does not depend on what else the machine runs. The service's")
        print("CPU is the whole process's: HTTP, Base64 and XML of a request and its answer included.")
        print("%-8s %-28s %-42s %-30s %s" % ("size", "GET_ORIGINAL over HTTP", "openssl decrypt + verify",
                                             "service peak (VmHWM)", "openssl peaks (decrypt, verify)"))
        warm_dir = os.path.join(work, "warm")
        os.makedirs(warm_dir)
        warm = form_body(make_document(pki, warm_dir, 1024)[0])
        for size, repeats in sizes:
            block, envelope_path = make_document(pki, work, size)
            body = form_body(block)
            with service(pki) as svc:  # a fresh process: VmHWM is this size's peak
                idle = hwm_kib(svc.proc.pid)
                conn = svc.connection(timeout=900)
                post(conn, warm, 1024)
                cpu_before = cpu_seconds(svc.proc.pid)
                ours = [post(conn, body, size) for _ in range(repeats)]
                ours_cpu = (cpu_seconds(svc.proc.pid) - cpu_before) / repeats
                peak = hwm_kib(svc.proc.pid)
                conn.close()
            del body
            theirs = [openssl_steps(pki, work, envelope_path) for _ in range(repeats)]
            ours_s = statistics.median(ours)
            theirs_s = statistics.median(t for t, _, _, _ in theirs)
            theirs_cpu = statistics.mean(c for _, c, _, _ in theirs)
            print("%-8s %-28s %-42s %-30s %s" % (
                "%d KiB" % (size >> 10) if size < MIB else "%d MiB" % (size >> 20),
                "%.1f ms wall, %.1f ms CPU" % (ours_s * 1e3, ours_cpu * 1e3),
                "%.1f ms wall (%.2fx), %.1f ms CPU (%.2fx)" % (theirs_s * 1e3, ours_s / theirs_s, theirs_cpu * 1e3,
                                                               ours_cpu / theirs_cpu),
                "%d MiB = %.2fx (idle %d MiB)" % (peak // 1024, peak * 1024 / size, idle // 1024),
                "%d MiB, %d MiB" % (max(m for _, _, m, _ in theirs) // 1024, max(m for _, _, _, m in theirs) // 1024)))
        print("\nload average while measuring: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
