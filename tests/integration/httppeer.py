#!/usr/bin/env python3
"""A small HTTP(S) server for the transfer tests: it serves a folder and a few
misbehaving routes, and logs every request it answers.

    python3 httppeer.py [--root DIR] [--cert PEM --key PEM] [--log FILE] [--proxy USER:PASS]

Prints its port on the first line of standard output, then serves until its
standard input closes (or it is killed). Routes:

    GET  /<path>            a file of --root (404 page when missing)
    GET  /status/<n>        an empty answer with status n
    GET  /redirect          302 to /status/200
    GET  /big/<n>           n bytes of "x" with their Content-Length
    GET  /endless           chunks of "x" without end, no Content-Length
    GET  /short             declares 1000 bytes, sends 10 and closes
    GET  /slow              the head, then one byte a second without end
    GET  /sleep/<s>         waits s seconds, then answers "late"
    POST /echo              200, body: the request's Content-Type, a line feed, its body

With --proxy it acts as a forward proxy for absolute-form requests instead:
each is answered "proxied <url>" when Proxy-Authorization carries USER:PASS,
else 407.

Use from Python: `with Peer(root=..., cert=..., key=...) as peer: peer.url("/x")`.
"""
import argparse
import base64
import http.server
import os
import socketserver
import ssl
import subprocess
import sys
import threading
import time

NOT_FOUND = (b'<!DOCTYPE HTML PUBLIC "-//IETF//DTD HTML 2.0//EN">\n<html><head>\n'
             b'<title>404 Not Found</title>\n</head><body><h1>Not Found</h1></body></html>\n')


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "httppeer"

    def log_message(self, fmt, *args):  # quiet on stderr
        pass

    def _log(self):
        if self.server.log_path:
            with self.server.log_lock, open(self.server.log_path, "a", encoding="utf-8") as f:
                f.write(f"{self.command} {self.path}\n")

    def _send(self, status, body=b"", ctype="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _proxy(self):
        want = "Basic " + base64.b64encode(self.server.proxy_auth.encode()).decode()
        if self.headers.get("Proxy-Authorization") != want:
            self.send_response(407)
            self.send_header("Proxy-Authenticate", 'Basic realm="peer"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self._send(200, b"proxied " + self.path.encode(), "text/plain")

    def do_GET(self):
        self._log()
        if self.server.proxy_auth:
            return self._proxy()
        path = self.path.split("?", 1)[0]
        if path.startswith("/status/"):
            return self._send(int(path[8:]))
        if path == "/redirect":
            self.send_response(302)
            self.send_header("Location", "/status/200")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path.startswith("/big/"):
            return self._send(200, b"x" * int(path[5:]))
        if path == "/endless":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            chunk = b"x" * 65536
            try:
                while True:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            except OSError:
                return
        if path == "/short":  # declares more than it sends, then closes
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"x" * 10)
            self.wfile.flush()
            self.close_connection = True
            return
        if path == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", "1000000")
            self.end_headers()
            try:
                for _ in range(600):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(1)
            except OSError:
                pass
            return
        if path.startswith("/sleep/"):
            time.sleep(float(path[7:]))
            return self._send(200, b"late", "text/plain")
        from urllib.parse import unquote_to_bytes
        name = unquote_to_bytes(path.lstrip("/"))
        full = os.path.join(os.fsencode(self.server.root or "."), name)
        if not self.server.root or b".." in name.split(b"/") or not os.path.isfile(full):
            return self._send(404, NOT_FOUND, "text/html")
        with open(full, "rb") as f:
            self._send(200, f.read())

    def do_POST(self):
        self._log()
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.server.proxy_auth:
            return self._proxy()
        if self.path == "/echo":
            ctype = self.headers.get("Content-Type", "").encode()
            return self._send(200, ctype + b"\n" + body, "text/plain")
        self._send(404, NOT_FOUND, "text/html")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):  # refused handshakes, gone clients: quiet
        pass


def make_server(root=None, cert=None, key=None, log=None, proxy=None, port=0):
    server = Server(("127.0.0.1", port), Handler)
    server.root = root
    server.log_path = log
    server.log_lock = threading.Lock()
    server.proxy_auth = proxy
    if cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
    return server


def openssl(*args, cwd=None):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


def make_ca(folder, name):
    """A CA made by the openssl command line: folder/name.pem and name.key."""
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
            "-subj", "/CN=" + name, "-keyout", name + ".key", "-out", name + ".pem", cwd=folder)
    return os.path.join(folder, name + ".pem")


def make_cert(folder, name, ca, san):
    """A certificate for subjectAltName san issued by CA ca: folder/name.pem and name.key."""
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=" + name,
            "-keyout", name + ".key", "-out", name + ".csr", cwd=folder)
    with open(os.path.join(folder, name + ".ext"), "w") as f:
        f.write("subjectAltName=%s\n" % san)
    openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
            "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem", cwd=folder)
    return os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key")


class Peer:
    """The peer in a process of its own (so that a test can also kill it)."""

    def __init__(self, root=None, cert=None, key=None, log=None, proxy=None, tls_host="127.0.0.1"):
        args = [sys.executable, os.path.abspath(__file__)]
        for flag, value in (("--root", root), ("--cert", cert), ("--key", key), ("--log", log), ("--proxy", proxy)):
            if value:
                args += [flag, str(value)]
        self.args = args
        self.scheme = "https" if cert else "http"
        self.host = tls_host
        self.log = log
        self.proc = None
        self.port = None

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.proc.stdout.close()

    def url(self, path=""):
        return f"{self.scheme}://{self.host}:{self.port}{path}"

    def requests(self):
        if not self.log or not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as f:
            return f.read().splitlines()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root")
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--log")
    ap.add_argument("--proxy")
    ap.add_argument("--port", type=int, default=0)
    a = ap.parse_args()
    server = make_server(a.root, a.cert, a.key, a.log, a.proxy, a.port)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()  # until the test closes it
    server.shutdown()


if __name__ == "__main__":
    main()
