"""What a small request costs the service: its CPU time per request (user +
system of the whole process, divided by the requests answered) and the
requests/s wrk reaches, for GET_VERSION and for SET_SIGN of 1 KiB with a
kept password, on one connection and on 16. CPU per request depends far less
on other load than requests/s does, so it is the figure to compare.

    python3 bench/request_cost.py [--smoke]           the build in ZK_BUILD_BIN
    python3 bench/request_cost.py --compare OTHER_BIN  that program folder and
        ZK_BUILD_BIN's, side by side, in alternating rounds (best round counts)

--compare is how the request path is measured before and after a change:
build the earlier commit in a second build folder and pass its bin folder.
"""

import base64
import json
import os
import subprocess
import sys
import tempfile
import urllib.parse

from benchutil import cpu_seconds, post, service
from pkifixtures import Pki
import sign_bench

CASES = (("GET_VERSION", 1), ("GET_VERSION", 16), ("SET_SIGN 1 KiB kept", 1), ("SET_SIGN 1 KiB kept", 16))


def version_body():
    xml = b'<?xml version="1.0" encoding="utf-8"?><Request><Command>GET_VERSION</Command></Request>'
    return b"data=" + urllib.parse.quote(base64.b64encode(xml)).encode() + b"&nativedata=1&encodeOutput=0"


def measure(seconds):
    """{case: (requests/s, microseconds of service CPU per request)} for ZK_BUILD_BIN."""
    work = tempfile.mkdtemp(prefix="zk-cost-")
    pki = Pki(os.path.join(work, "pki"))
    pki.ca("ca")
    pki.user("user", "ca", "--drfo", "1234567890")
    pki.keyfile(pki.path("user.pfx"), sign_bench.PASSWORD, "user")
    document = os.urandom(1024)
    bodies = {"GET_VERSION": version_body(), "SET_SIGN 1 KiB kept": sign_bench.sign_body(document, sign_bench.KEPT)}
    results = {}
    with service(pki) as svc:
        conn = svc.connection()
        post(conn, sign_bench.sign_body(document, sign_bench.KEEP))  # keeps the password
        conn.close()
        for name, connections in CASES:
            before = cpu_seconds(svc.proc.pid)
            rate = sign_bench.wrk(svc.port, bodies[name], connections, seconds, work)[0]
            used = cpu_seconds(svc.proc.pid) - before
            results["%s|%d" % (name, connections)] = (rate, used / (rate * seconds) * 1e6)
    return results


def compare(other_bin, rounds, seconds):
    builds = (("other", other_bin), ("this", os.environ.get("ZK_BUILD_BIN", "")))
    best = {label: {} for label, _ in builds}
    for _ in range(rounds):
        for label, path in builds:
            env = dict(os.environ, ZK_BUILD_BIN=path) if path else dict(os.environ)
            out = subprocess.run([sys.executable, __file__, "--json", str(seconds)], env=env, check=True,
                                 capture_output=True, text=True).stdout
            for key, (rate, cpu) in json.loads(out.splitlines()[-1]).items():
                old = best[label].get(key)
                best[label][key] = (max(rate, old[0]), min(cpu, old[1])) if old else (rate, cpu)
    print("best of %d rounds of %ds per case; other = %s" % (rounds, seconds, other_bin))
    print("%-28s %-26s %-26s" % ("", "other: req/s, CPU/req", "this: req/s, CPU/req"))
    for name, connections in CASES:
        key = "%s|%d" % (name, connections)
        o, t = best["other"][key], best["this"][key]
        print("%-28s %8.0f  %7.1f us        %8.0f  %7.1f us   (CPU %.2fx)" % (
            "%s, %d conn" % (name, connections), o[0], o[1], t[0], t[1], t[1] / o[1]))


def main():
    args = sys.argv[1:]
    if args[:1] == ["--json"]:
        print(json.dumps(measure(int(args[1]))))
    elif args[:1] == ["--compare"]:
        compare(args[1], int(os.environ.get("ZK_BENCH_ROUNDS", "2")), 5)
    else:
        seconds = 1 if "--smoke" in args else 5
        for key, (rate, cpu) in measure(seconds).items():
            name, connections = key.split("|")
            print("%-22s %2s conn: %8.0f req/s  %7.1f us CPU/request" % (name, connections, rate, cpu))


if __name__ == "__main__":
    main()
