"""Browser test: a page served from another origin embeds the service's
/xchgframe.html and talks to the service through it (Chromium, playwright-core),
once over HTTP and once over HTTPS, where Chromium must trust the local CA that
the service put into the user's NSS database.
Exit code 77 (skipped) only when /usr/bin/chromium is absent."""

import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, chromium_missing, run_driver, static_server

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
    if chromium_missing():
        return SKIPPED
    with Service(log=True) as svc, tempfile.TemporaryDirectory(prefix="zk-browser-") as work:
        site = os.path.join(work, "site")
        os.makedirs(site)
        frames = {"plain.html": "http://127.0.0.1:%d" % svc.port,
                  "tls.html": "https://localhost:%d" % svc.port_s}  # trusted through $HOME/.pki/nssdb
        for name, frame in frames.items():
            with open(os.path.join(site, name), "w") as f:
                f.write(PAGE % frame)
        with static_server(site) as base:
            urls = ["%s/%s" % (base, name) for name in frames]
            # HOME: the home whose NSS database the service filled.
            code = run_driver("xchgframe.mjs", [os.path.join(work, "profile")] + urls, svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
