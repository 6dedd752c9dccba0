"""What the browser tests share: the browser to drive (Chromium or Firefox,
named by the test's first argument), its profile, a static page server on its
own loopback port (another origin than the service's), and running a
puppeteer-core driver script with Node under the service's HOME."""

import contextlib
import functools
import http.server
import os
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BROWSERS = {"chromium": "/usr/bin/chromium", "firefox": "/usr/bin/firefox-esr"}
PACKAGES = {"chromium": "chromium", "firefox": "firefox-esr"}
SKIPPED = 77


def browser_name(argv=None):
    """The browser a test runs in: its first argument, Chromium when none."""
    argv = sys.argv if argv is None else argv
    name = argv[1] if len(argv) > 1 else "chromium"
    if name not in BROWSERS:
        sys.exit("unknown browser %r (one of %s)" % (name, ", ".join(BROWSERS)))
    return name


def browser_missing(name):
    """True (with a note printed) when the Debian browser is not installed: the test is then skipped."""
    if os.path.exists(BROWSERS[name]):
        return False
    print("SKIPPED: %s is not installed (apt-get install %s)" % (BROWSERS[name], PACKAGES[name]))
    return True


def trusted_profile(name, svc, work, label="profile"):
    """A profile folder for browser name whose trust in the local CA comes from
    the service svc, made before svc starts. Chromium trusts through the
    user's NSS database (the service fills $HOME/.pki/nssdb), so any folder
    serves. A Firefox profile has a certificate database of its own: it is
    made where Firefox makes profiles ($HOME/.config/mozilla/firefox, listed in
    profiles.ini and not opened yet), and the service puts its CA into it when
    it starts, as it does for the user's profiles."""
    if name != "firefox":
        return os.path.join(work, label)
    root = os.path.join(svc.home, ".config", "mozilla", "firefox")
    folder = os.path.join(root, "zk%d.%s" % (os.getpid(), label))
    os.makedirs(folder)
    ini = os.path.join(root, "profiles.ini")
    count = 0
    if os.path.exists(ini):
        with open(ini) as f:
            count = f.read().count("[Profile")
    with open(ini, "a") as f:
        f.write("[Profile%d]\nName=%s\nIsRelative=1\nPath=%s\n\n" % (count, label, os.path.basename(folder)))
    return folder


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


def run_driver(script, browser, args, home, timeout=240):
    """Runs `node script browser args...` from the repository with HOME=home; returns its exit code."""
    env = dict(os.environ, HOME=home, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run(["node", os.path.join(HERE, script), browser] + [str(a) for a in args], cwd=REPO,
                          env=env, timeout=timeout).returncode
