"""Helpers shared by the service benchmarks: posting a request the way pages
do, a service started from the build's program folder with a certificate and
key file in Cert/, measuring a process (CPU time, peak memory) and running a
command line tool for its wall time, CPU time and peak memory."""

import base64
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

from zkservice import Envelope, Service  # noqa: E402

MIB = 1 << 20


def form_body(command, params_xml, data):
    """The page's form: data = percent-encoded Base64 of the request XML
    (Data: the Base64 of data), plain UTF-8 answer."""
    xml = (b'<?xml version="1.0" encoding="utf-8"?><Request><Command>' + command.encode() + b"</Command><Params>" +
           params_xml.encode() + b"</Params><Data>" + base64.b64encode(data) + b"</Data></Request>")
    encoded = base64.b64encode(xml).replace(b"+", b"%2B").replace(b"/", b"%2F").replace(b"=", b"%3D")
    return b"data=" + encoded + b"&nativedata=1&encodeOutput=0"


def post(conn, body):
    """One request; returns (seconds, envelope). Fails unless the code is 0."""
    start = time.perf_counter()
    conn.request("POST", "/", body=body, headers={"Content-Type": "application/x-www-form-urlencoded"})
    r = conn.getresponse()
    answer = r.read()
    seconds = time.perf_counter() - start
    if r.status != 200:
        raise RuntimeError("HTTP %d" % r.status)
    env = Envelope(answer.decode("utf-8"))
    if env.code != 0:
        raise RuntimeError("%s answered %d: %s" % (env.command, env.code, env.text[:300]))
    return seconds, env


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def hwm_kib(pid):
    """Peak resident memory of a process so far."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def timed_tool(args):
    """Wall seconds, CPU seconds and maximum resident KiB of a command line tool."""
    # /usr/bin/time reports the tool's own peak (a child forked from this
    # process would count this process's memory as its own until exec).
    start = time.perf_counter()
    p = subprocess.Popen(["/usr/bin/time", "-f", "%M"] + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True)
    _, status, usage = os.wait4(p.pid, 0)  # the tool's time is the time tool's children's
    seconds = time.perf_counter() - start
    report = p.stderr.read()
    p.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args[:3]), report))
    return seconds, usage.ru_utime + usage.ru_stime, int(report.strip().splitlines()[-1])


def service(pki, names=("user.cer", "user.pfx")):
    """A started service (no log, HTTP only) with the PKI's files in Cert/."""
    svc = Service(start=False, log=False, ports=0)
    os.makedirs(svc.path("Cert"), exist_ok=True)  # a fresh program folder has none until the service starts
    for name in names:
        shutil.copy(pki.path(name), svc.path("Cert", name))
    return svc.start()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def size_text(size):
    return "%d KiB" % (size >> 10) if size < MIB else "%d MiB" % (size >> 20)
