"""Browser test: a page served from another origin embeds the service's
/xchgframe.html and talks to the service through it (Chromium, playwright-core),
once over HTTP and once over HTTPS, where Chromium must trust the local CA that
the service put into the user's NSS database.
Exit code 77 (skipped) only when /usr/bin/chromium is absent."""

import functools
import http.server
import os
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import Service  # noqa: E402

PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>page of another origin</title></head><body>
<script>
window.answers = [];
window.addEventListener("message", function (e) { window.answers.push({origin: e.origin, data: e.data}); });
</script>
<iframe id="frame" src="%s/xchgframe.html" onload="window.frameLoaded = true"></iframe>
</body></html>
"""


def main():
    if not os.path.exists("/usr/bin/chromium"):
        print("SKIPPED: /usr/bin/chromium is not installed (apt-get install chromium)")
        return 77
    with Service(log=True) as svc, tempfile.TemporaryDirectory(prefix="zk-browser-") as work:
        site = os.path.join(work, "site")
        os.makedirs(site)
        frames = {"plain.html": "http://127.0.0.1:%d" % svc.port,
                  "tls.html": "https://localhost:%d" % svc.port_s}  # trusted through $HOME/.pki/nssdb
        for name, frame in frames.items():
            with open(os.path.join(site, name), "w") as f:
                f.write(PAGE % frame)
        handler = functools.partial(QuietHandler, directory=site)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            urls = ["http://127.0.0.1:%d/%s" % (server.server_address[1], name) for name in frames]
            profile = os.path.join(work, "profile")
            env = dict(os.environ, HOME=svc.home)  # the home whose NSS database the service filled
            result = subprocess.run(["node", os.path.join(HERE, "xchgframe.mjs"), profile] + urls, cwd=REPO,
                                    env=env, timeout=180)
        finally:
            server.shutdown()
        if result.returncode != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return result.returncode


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


if __name__ == "__main__":
    sys.exit(main())
