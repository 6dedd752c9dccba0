"""What the browser tests share: a static page server on its own loopback
port (another origin than the service's), and running a playwright-core
driver script with Node under the service's HOME (whose NSS database holds the
local CA the service trusted)."""

import contextlib
import functools
import http.server
import os
import subprocess
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
CHROMIUM = "/usr/bin/chromium"
SKIPPED = 77


def chromium_missing():
    """True (with a note printed) when Debian's Chromium is not installed: the test is then skipped."""
    if os.path.exists(CHROMIUM):
        return False
    print("SKIPPED: %s is not installed (apt-get install chromium)" % CHROMIUM)
    return True


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".js": "text/javascript", ".mjs": "text/javascript"})

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def static_server(directory, address="127.0.0.1"):
    """Serves directory on address:<free port> (any loopback address: each is a
    site of its own); yields the base URL."""
    server = http.server.ThreadingHTTPServer((address, 0), functools.partial(QuietHandler, directory=directory))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield "http://%s:%d" % (address, server.server_address[1])
    finally:
        server.shutdown()
        server.server_close()


def run_driver(script, args, home, timeout=180):
    """Runs `node script args...` from the repository with HOME=home; returns its exit code."""
    env = dict(os.environ, HOME=home)
    return subprocess.run(["node", os.path.join(HERE, script)] + [str(a) for a in args], cwd=REPO, env=env,
                          timeout=timeout).returncode
