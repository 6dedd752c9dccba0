"""Browser test: a page served from another origin embeds the service's
/xchgframe.html and talks to the service through it, once over HTTP and once
over HTTPS, where the browser must trust the local CA that the service put into
its profile (Chromium: the user's NSS database; Firefox: the profile's own).
Then two sites, on 127.0.0.2 and 127.0.0.3, each directly and through the
frame: what one keeps never serves the other, and a site that AllowedOrigins
leaves out is refused by both roads.
Usage: test_browser.py [chromium|firefox]. Exit code 77 (skipped) only when
that browser is not installed."""

import contextlib
import json
import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, browser_missing, browser_name, run_driver, static_server, trusted_profile

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
    browser = browser_name()
    if browser_missing(browser):
        return SKIPPED
    with contextlib.ExitStack() as stack:
        work = stack.enter_context(tempfile.TemporaryDirectory(prefix="zk-browser-"))
        # Sites A and B, each with a page per origins case; a third site with
        # the frame over HTTP and over HTTPS.
        sites = {name: os.path.join(work, "site-" + name) for name in ("A", "B", "frames")}
        for folder in sites.values():
            os.makedirs(folder)
        base_a = stack.enter_context(static_server(sites["A"], "127.0.0.2"))
        base_b = stack.enter_context(static_server(sites["B"], "127.0.0.3"))
        base = stack.enter_context(static_server(sites["frames"]))
        services = []
        origins = []
        for allowed in ("all", "A"):
            settings = {"AllowedOrigins": base_a} if allowed == "A" else {}
            svc = stack.enter_context(Service(log=True, settings=settings))
            services.append(svc)
            service = "http://127.0.0.1:%d" % svc.port
            for name in "AB":
                with open(os.path.join(sites[name], "page-%s.html" % allowed), "w") as f:
                    f.write(PAGE % service)
            origins.append({"service": service, "pageA": "%s/page-%s.html" % (base_a, allowed),
                            "pageB": "%s/page-%s.html" % (base_b, allowed), "allowed": allowed})
        svc = stack.enter_context(Service(log=True, start=False))
        services.append(svc)
        profile = trusted_profile(browser, svc, work)  # before the start that trusts it
        svc.start()
        frames = {"plain.html": "http://127.0.0.1:%d" % svc.port,
                  "tls.html": "https://localhost:%d" % svc.port_s}  # trusted through the profile
        for name, frame in frames.items():
            with open(os.path.join(sites["frames"], name), "w") as f:
                f.write(PAGE % frame)
        plan = {"origins": origins, "frames": ["%s/%s" % (base, name) for name in frames]}
        # HOME: the home whose NSS database the last service filled (Chromium's trust).
        code = run_driver("frames.mjs", browser, [profile, json.dumps(plan)], svc.home)
        if code != 0:
            for s in services:
                print("service log:\n" + s.log_text()[-3000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
