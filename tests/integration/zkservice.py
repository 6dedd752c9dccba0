"""Harness for integration tests that run the real ZelkorH service.

A Service copies the program folder (build/bin, or $ZK_BUILD_BIN) into a
temporary folder, writes its ZelkorH.my with free ports (plus any settings you
give), points HOME and XDG_RUNTIME_DIR at temporary folders of its own, starts
ZelkorH there and waits until its ports accept connections.

    from zkservice import Service

    with Service(log=True) as svc:                  # started; stopped by SIGTERM on exit
        env = svc.post(command="GET_VERSION")       # form-encoded, plain UTF-8 answer
        assert env.code == 0 and env.data.find("Version").text
        env = svc.post(xml="<?xml ...?><Request>...</Request>")
        env = svc.post(command="KEY_FOLDER", params={"KeyFolder": "/tmp"})
        env = svc.post(command="GET_VERSION", tls=True)   # over TLS, verified against ca.pem
        status, reason, headers, body = svc.request("GET", "/empty.html", headers={"Origin": "x"})
        assert "Enter. Command" in svc.log_text()
        assert svc.stop() == 0

Service(program=DIR) runs the program files of DIR (an installed copy) instead
of the build's. Service(demo=True) keeps the build's demo certificates and key file in Cert/
(otherwise they are removed, so that tests see only their own certificates).
Service(start=False) lets a test change the folder first (svc.folder, svc.write_my,
svc.home) and then call svc.start(). Generating the local CA (RSA-4096) is slow,
so every Service starts from one program-folder template that already holds
ca.pem and server.pem; the template is made once per build and shared between
test processes (under the build folder, guarded by a file lock).

Settings: ports are free ports unless given (port=0 / ports=0 switch a listener
off); SystemTrust=0 is written unless given, so tests never touch the system
certificate store. Pass settings={"Key": "value"} for anything else.
"""

import base64
import contextlib
import fcntl
import http.client
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BUILD_BIN = os.environ.get("ZK_BUILD_BIN") or os.path.join(REPO, "build", "bin")
HELD_SERVICE = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "fixtures", "ZelkorH-held")
START_TIMEOUT = 120  # the first start makes two RSA-4096 keys


def free_ports(count):
    """count different free ports: each socket stays bound until all are
    chosen, so the system cannot hand out one port twice (two separate
    choices could, and a service then found its HTTP and HTTPS ports equal)."""
    sockets = []
    try:
        for _ in range(count):
            s = socket.socket()
            sockets.append(s)
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def free_port():
    return free_ports(1)[0]


def wait_for_port(port, proc=None, timeout=START_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        with contextlib.suppress(OSError):
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        time.sleep(0.05)
    return False


class Envelope:
    """A parsed answer envelope: code, message, command, data (element), root."""

    def __init__(self, text):
        self.text = text
        self.root = ET.fromstring(text.encode("utf-8"))
        ret = self.root.find("Return")
        self.code = int(ret.findtext("Code"))
        self.message = ret.findtext("Message") or ""
        self.csp_code = ret.findtext("CSPCode")
        self.csp_message = ret.findtext("CSPMessage")
        self.command = self.root.findtext("Command")
        self.data = self.root.find("Data")
        self.detailing = self.root.findtext("Detailing")

    def __repr__(self):
        return "Envelope(%s, %r, %r)" % (self.command, self.code, self.message)


def request_xml(command, params=None, data=None):
    """A request document; params is a dict (values: text, or a list of texts)
    or ready XML text."""
    parts = ['<?xml version="1.0" encoding="utf-8"?><Request><Command>%s</Command>' % command]
    if params is not None:
        if isinstance(params, str):
            parts.append("<Params>%s</Params>" % params)
        else:
            parts.append("<Params>")
            for key, value in params.items():
                for v in value if isinstance(value, list) else [value]:
                    parts.append("<%s>%s</%s>" % (key, escape(v), key))
            parts.append("</Params>")
    if data is not None:
        parts.append("<Data>%s</Data>" % escape(data))
    parts.append("</Request>")
    return "".join(parts)


def escape(text):
    return str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def form_body(xml_text, native=True, encode_output=False):
    """The form a page sends: data (Base64, percent-encoded), then the flags."""
    b64 = base64.b64encode(xml_text.encode("utf-8")).decode()
    body = "data=" + urllib.parse.quote(b64, safe="")
    if native is not None:
        body += "&nativedata=%d" % (1 if native else 0)
    if encode_output is not None:
        body += "&encodeOutput=%d" % (1 if encode_output else 0)
    return body


# The files a build puts into the program folder. Whatever else build/bin holds
# is the state of a service once run from there (its TLS material, settings,
# data, log) and must not leak into a test's program folder.
PROGRAM_FILES = ("ZelkorH", "libZelkorD.so", "ZelkorH.ini", "digest.txt")
TLS_FILES = ("ca.pem", "server.pem")


def copy_program(source, dest, extra=()):
    """A fresh program folder: the program's own files (and extra) from source."""
    os.makedirs(dest, exist_ok=True)
    for name in PROGRAM_FILES + tuple(extra):
        shutil.copy2(os.path.join(source, name), os.path.join(dest, name))


_template_ready = None


def template_folder():
    """The shared program folder template with the TLS material made."""
    global _template_ready
    if _template_ready:
        return _template_ready
    build = os.path.dirname(os.path.abspath(BUILD_BIN))
    template = os.path.join(build, "tests", "service-template")
    stamp_file = os.path.join(template, ".stamp")
    exe = os.path.join(BUILD_BIN, "ZelkorH")
    stamp = "%s %s" % (os.stat(exe).st_mtime_ns, os.stat(os.path.join(BUILD_BIN, "libZelkorD.so")).st_mtime_ns)
    os.makedirs(os.path.dirname(template), exist_ok=True)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        current = None
        with contextlib.suppress(OSError):
            with open(stamp_file) as f:
                current = f.read()
        if current != stamp:
            shutil.rmtree(template, ignore_errors=True)
            svc = Service(template=False, start=False)
            try:
                svc.start()
                rc = svc.stop()
                if rc != 0:
                    raise RuntimeError("template service ended with %r:\n%s" % (rc, svc.stderr_text()))
                for name in ("ca.pem", "server.pem"):
                    shutil.copy2(os.path.join(svc.folder, name), os.path.join(svc.work, "fresh-" + name))
                staging = template + ".new"
                shutil.rmtree(staging, ignore_errors=True)
                copy_program(BUILD_BIN, staging)
                for name in ("ca.pem", "server.pem"):
                    shutil.copy2(os.path.join(svc.work, "fresh-" + name), os.path.join(staging, name))
                with open(os.path.join(staging, ".stamp"), "w") as f:
                    f.write(stamp)
                os.rename(staging, template)
            finally:
                svc.cleanup()
    _template_ready = template
    return template


class Service:
    def __init__(self, port=None, ports=None, log=True, settings=None, env=None, template=True, start=True,
                 args=(), demo=False, preexec=None, program=None):
        self.work = tempfile.mkdtemp(prefix="zk-it-")
        self.folder = os.path.join(self.work, "bin")
        self.home = os.path.join(self.work, "home")
        self.runtime = os.path.join(self.work, "run")
        os.makedirs(self.home)
        os.makedirs(self.runtime, mode=0o700)
        if template:
            copy_program(template_folder(), self.folder, TLS_FILES)
        else:
            copy_program(BUILD_BIN, self.folder)
        if program:
            copy_program(program, self.folder)  # another copy of the programs (an installed one)
        if any(k.startswith("ZELKORH_TEST_COMMAND_") for k in (env or {})):
            # Commands held in flight: the service built for it (tests/fixtures/held_service.cpp).
            shutil.copy2(HELD_SERVICE, self.exe)
        self._demo_set(demo)
        chosen = iter(p for p in free_ports(4) if p not in (port, ports))
        self.port = next(chosen) if port is None else port
        self.port_s = next(chosen) if ports is None else ports
        self.settings = {"Port": self.port, "PortS": self.port_s, "Log": 1 if log else 0, "SystemTrust": 0}
        self.settings.update(settings or {})
        self.write_my(self.settings)
        self.env = dict(os.environ)
        self.env.update({"HOME": self.home, "XDG_RUNTIME_DIR": self.runtime})
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.env.update(env or {})
        self.args = list(args)
        self.preexec = preexec  # run in the child before the service starts (limits, for example)
        self.proc = None
        self._stderr = None
        if start:
            try:
                self.start()
            except BaseException:
                self.cleanup()  # a service that never came up is not left running
                raise

    # --- files ---
    @property
    def exe(self):
        return os.path.join(self.folder, "ZelkorH")

    def path(self, *names):
        return os.path.join(self.folder, *names)

    def _demo_set(self, wanted):
        """The build's demo certificates and key file (Cert/demo-*), fresh from
        the build when wanted, else none."""
        cert = self.path("Cert")
        for name in os.listdir(cert) if os.path.isdir(cert) else ():
            if name.startswith("demo-"):
                os.remove(os.path.join(cert, name))
        source = os.path.join(BUILD_BIN, "Cert")
        if wanted and os.path.isdir(source):
            os.makedirs(cert, exist_ok=True)
            for name in os.listdir(source):
                if name.startswith("demo-"):
                    shutil.copy2(os.path.join(source, name), os.path.join(cert, name))

    def write_my(self, settings, raw=None):
        """Writes ZelkorH.my (section common); raw text replaces it whole."""
        text = raw if raw is not None else "[common]\n" + "".join("%s=%s\n" % kv for kv in settings.items())
        with open(self.path("ZelkorH.my"), "w") as f:
            f.write(text)

    def log_text(self):
        with contextlib.suppress(FileNotFoundError):
            with open(self.path("ZelkorH.log"), "rb") as f:
                return f.read().decode("cp1251", errors="replace")
        return ""

    def wait_for_log(self, text, timeout=30, since=0):
        """Waits until text appears in the log after its first `since` characters."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log_text()[since:]:
                return True
            time.sleep(0.05)
        return False

    # --- process ---
    def run(self, args=(), timeout=60):
        """Runs the executable to its end; returns (exit code, stderr text)."""
        p = subprocess.run([self.exe] + list(args), cwd=self.work, env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout)
        return p.returncode, p.stderr.decode("utf-8", errors="replace")

    def start(self, wait=True):
        if self._stderr:
            self._stderr.close()
        self._stderr = open(os.path.join(self.work, "stderr.txt"), "w+b")
        self.proc = subprocess.Popen([self.exe] + self.args, cwd=self.work, env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self._stderr, preexec_fn=self.preexec)
        if wait:
            for p in (self.port, self.port_s):
                if p and not wait_for_port(p, self.proc):
                    raise RuntimeError("ZelkorH did not listen on %d (exit %r): %s" %
                                       (p, self.proc.poll(), self.stderr_text()))
        return self

    def stderr_text(self):
        if not self._stderr:
            return ""
        self._stderr.flush()
        with open(self._stderr.name, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def stop(self, sig=signal.SIGTERM, timeout=60):
        """Ends the service with sig; returns its exit code."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise

    def cleanup(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self._stderr:
            self._stderr.close()
        if not os.environ.get("ZK_KEEP_TEST_FOLDERS"):
            shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            if self.proc is not None and self.proc.poll() is None:
                code = self.stop()
                # A clean shutdown is part of every test (sanitizer builds report here too).
                if code != 0 and exc_type is None:
                    raise AssertionError("ZelkorH ended with %r:\n%s" % (code, self.stderr_text()[-4000:]))
        finally:
            self.cleanup()

    # --- HTTP ---
    def tls_context(self):
        ctx = ssl.create_default_context(cafile=self.path("ca.pem"))
        return ctx

    # Generous: sanitizer builds run key derivations many times slower.
    def connection(self, tls=False, timeout=90, host="127.0.0.1"):
        if tls:
            return http.client.HTTPSConnection(host, self.port_s, timeout=timeout, context=self.tls_context())
        return http.client.HTTPConnection(host, self.port, timeout=timeout)

    def request(self, method, path="/", body=None, headers=None, tls=False, conn=None):
        """One request; returns (status, reason, headers dict (lower-case names), body bytes)."""
        own = conn is None
        conn = conn or self.connection(tls)
        try:
            if isinstance(body, str):
                body = body.encode("utf-8")
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            data = r.read()
            return r.status, r.reason, {k.lower(): v for k, v in r.getheaders()}, data
        finally:
            if own:
                conn.close()

    def post(self, xml=None, command=None, params=None, data=None, tls=False, conn=None, headers=None):
        """Sends a command as the page form (native, plain output); returns the Envelope."""
        text = xml if xml is not None else request_xml(command, params, data)
        h = {"Content-Type": "application/x-www-form-urlencoded"}
        h.update(headers or {})
        status, _, _, body = self.request("POST", "/", form_body(text), h, tls=tls, conn=conn)
        if status != 200:
            raise RuntimeError("HTTP %d: %r" % (status, body[:200]))
        return Envelope(body.decode("utf-8"))


def service_with(files, ini=None):
    """A started service whose Cert folder holds copies of the given files
    and, when ini is given, that ZelkorH.ini instead of the build's."""
    svc = Service(start=False)
    os.makedirs(svc.path("Cert"), exist_ok=True)
    for path in files:
        shutil.copy(path, svc.path("Cert", os.path.basename(path)))
    if ini:
        with open(svc.path("ZelkorH.ini"), "w") as f:
            f.write(ini)
    svc.start()
    return svc


class SharedServiceCase(unittest.TestCase):
    """A test class whose tests share one running service, cls.svc, started
    with the keyword arguments in service_args."""

    service_args = {}

    @classmethod
    def setUpClass(cls):
        cls.svc = Service(**cls.service_args)

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)


def serve(argv):
    """Runs one Service for a test process written in another language: prints
    one JSON line (ports, folders, CA file), then keeps the service until its
    standard input closes (or SIGTERM/SIGINT), stops it and exits with its code."""
    import argparse
    import json
    import sys

    parser = argparse.ArgumentParser(prog="zkservice.py serve")
    parser.add_argument("--demo", action="store_true", help="keep the build's demo certificates and key file")
    parser.add_argument("--port", type=int, help="the HTTP port (default: a free one)")
    parser.add_argument("--settings", default="{}", help="extra ZelkorH.my settings (JSON object)")
    parser.add_argument("--env", default="{}", help="extra environment of the service (JSON object)")
    args = parser.parse_args(argv)

    def end(*_):
        raise SystemExit(1)

    signal.signal(signal.SIGTERM, end)
    signal.signal(signal.SIGINT, end)
    with Service(port=args.port, demo=args.demo, settings=json.loads(args.settings), env=json.loads(args.env)) as svc:
        print(json.dumps({"port": svc.port, "port_s": svc.port_s, "folder": svc.folder, "home": svc.home,
                          "ca": svc.path("ca.pem"), "bin": BUILD_BIN}), flush=True)
        sys.stdin.read()
        code = svc.stop()
        if code != 0:
            sys.stderr.write(svc.stderr_text()[-4000:])
    return code


if __name__ == "__main__":
    import sys

    if sys.argv[1:2] != ["serve"]:
        sys.exit("usage: zkservice.py serve [--demo] [--port N] [--settings JSON] [--env JSON]")
    sys.exit(serve(sys.argv[2:]))
