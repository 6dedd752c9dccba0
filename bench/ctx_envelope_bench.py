"""CTX_ENCRYPT and CTX_DECRYPT for two recipients through HTTP beside
openssl cms -encrypt / -decrypt on the same document and certificates.

For each document size (1 MiB and 100 MiB) and operation it prints the wall
time of the service (median over the runs, request sent as pages send it)
and of openssl, their ratio (target: at most 1.1), the service's peak memory
(VmHWM of a fresh process per size and operation, in multiples of the
document; target: at most 1.5) and openssl's maximum resident size. openssl
decrypts the envelope the service made, as its first recipient.

Run through bench/ctx_envelope_bench.sh, which builds what it needs first.
With --smoke every step runs once on small documents (CI's check that the
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
PASS = "<Pass>%s</Pass>" % base64.b64encode(PASSWORD.encode()).decode()
FILES = ("user.cer", "user.pfx", "bob.cer", "bob.pfx")


def measure_service(pki, command, params, data, repeats):
    """Median wall seconds, CPU seconds per request, the service's peak KiB and the last answer."""
    with service(pki, FILES) as svc:  # a fresh process: VmHWM is this operation's peak
        conn = svc.connection(timeout=900)
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
    runs = [timed_tool(["openssl"] + args) for _ in range(repeats)]
    return statistics.median(r[0] for r in runs), statistics.mean(r[1] for r in runs), max(r[2] for r in runs)


def main():
    smoke = "--smoke" in sys.argv[1:]
    runs = 1 if smoke else int(os.environ.get("ZK_BENCH_RUNS", "9"))
    large = int(os.environ.get("ZK_BENCH_LARGE_MIB", "100")) * MIB
    sizes = ((64 << 10, 1), (256 << 10, 1)) if smoke else ((MIB, runs), (large, 1))
    work = tempfile.mkdtemp(prefix="zk-ctxenv-bench-")
    try:
        pki = Pki(os.path.join(work, "pki"))
        pki.ca("ca")
        pki.user("user", "ca", "--drfo", "1234567890")
        pki.user("bob", "ca", "--drfo", "2222222222", "--key", "rsa")
        pki.user("carol", "ca", "--drfo", "3333333333")
        for name in ("user", "bob"):
            pki.keyfile(pki.path(name + ".pfx"), PASSWORD, name)
        certs = "<Certs>%s</Certs>" % "".join("<Cert>%s</Cert>" % base64.b64encode(pki.read(n + ".cer")).decode()
                                              for n in ("bob", "carol"))
        encrypt_params = "<DRFO>1234567890</DRFO>" + PASS + certs
        doc_path, env_path = os.path.join(work, "doc.bin"), os.path.join(work, "env.der")

        print("Two recipients (RSA-OAEP and ECDH P-256), AES-256. Wall time: median over the runs; CPU time (user +")
        print("system per request; the service's whole process, HTTP and XML included). Peak: the service's VmHWM")
        print("(a fresh process per operation and size). Ratios: service / openssl.")
        print("%-8s %-9s %-24s %-24s %-13s %-27s %s" % ("size", "operation", "service wall / CPU", "openssl wall / CPU",
                                                        "ratio w / c", "service peak", "openssl RSS"))
        for size, repeats in sizes:
            document = os.urandom(size)
            with open(doc_path, "wb") as f:
                f.write(document)
            ours, ours_cpu, peak, env = measure_service(pki, "CTX_ENCRYPT", encrypt_params, document, repeats)
            envelope = base64.b64decode(env.data.text)
            with open(env_path, "wb") as f:
                f.write(envelope)
            encrypt = ["cms", "-encrypt", "-binary", "-aes256", "-outform", "DER", "-in", doc_path, "-out",
                       os.path.join(work, "openssl.der"), "-recip", pki.path("bob.pem"), "-keyopt",
                       "rsa_padding_mode:oaep", "-recip", pki.path("carol.pem")]
            decrypt = ["cms", "-decrypt", "-binary", "-inform", "DER", "-in", env_path, "-recip", pki.path("bob.pem"),
                       "-inkey", pki.path("bob.pfx"), "-passin", "pass:" + PASSWORD, "-out", os.devnull]
            rows = [("encrypt", ours, ours_cpu, peak, encrypt)]
            ours, ours_cpu, peak, env = measure_service(pki, "CTX_DECRYPT", PASS, envelope, repeats)
            if base64.b64decode(env.data.text) != document:
                raise RuntimeError("CTX_DECRYPT gave another document")
            rows.append(("decrypt", ours, ours_cpu, peak, decrypt))
            for name, ours, ours_cpu, peak, openssl_args in rows:
                theirs, theirs_cpu, rss = measure_openssl(openssl_args, repeats)
                print("%-8s %-9s %-24s %-24s %-13s %-27s %d MiB" % (
                    size_text(size), name, "%.1f / %.1f ms" % (ours * 1e3, ours_cpu * 1e3),
                    "%.1f / %.1f ms" % (theirs * 1e3, theirs_cpu * 1e3),
                    "%.2f / %.2f" % (ours / theirs, ours_cpu / max(theirs_cpu, 1e-3)),
                    "%d MiB = %.2fx document" % (peak // 1024, peak * 1024 / size), rss // 1024))
            del document, envelope
        print("\nload average while measuring: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
