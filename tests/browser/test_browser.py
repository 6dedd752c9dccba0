"""Browser test: a page served from another origin embeds the service's
/xchgframe.html and talks to the service through it, once over HTTP and once
over HTTPS, where the browser must trust the local CA that the service put into
its profile (Chromium: the user's NSS database; Firefox: the profile's own).
Then two sites, on 127.0.0.2 and 127.0.0.3, each directly and through the
frame: what one keeps never serves the other, and a site that AllowedOrigins
leaves out is refused by both roads.
Usage: test_browser.py [chromium|firefox]. Exit code 77 (skipped) only when
that browser is not installed."""

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


def two_sites(browser, work, allowed):
    """Sites A and B, each a page with the frame of a fresh service; 0 when
    the driver's checks hold. allowed: "all", or "A" (AllowedOrigins names A)."""
    sites = {name: os.path.join(work, "site-" + name) for name in "AB"}
    for folder in sites.values():
        os.makedirs(folder, exist_ok=True)
    with static_server(sites["A"], "127.0.0.2") as base_a, static_server(sites["B"], "127.0.0.3") as base_b:
        settings = {"AllowedOrigins": base_a} if allowed == "A" else {}
        with Service(log=True, settings=settings) as svc:
            service = "http://127.0.0.1:%d" % svc.port
            for name in sites:
                with open(os.path.join(sites[name], "page.html"), "w") as f:
                    f.write(PAGE % service)
            code = run_driver("frame_origins.mjs", browser, [os.path.join(work, "profile-" + allowed), service,
                                                             base_a + "/page.html", base_b + "/page.html", allowed],
                              svc.home)
            if code != 0:
                print("service log:\n" + svc.log_text()[-4000:])
            return code


def main():
    browser = browser_name()
    if browser_missing(browser):
        return SKIPPED
    with tempfile.TemporaryDirectory(prefix="zk-browser-") as work:
        for allowed in ("all", "A"):
            code = two_sites(browser, work, allowed)
            if code != 0:
                return code
    with Service(log=True, start=False) as svc, tempfile.TemporaryDirectory(prefix="zk-browser-") as work:
        profile = trusted_profile(browser, svc, work)
        svc.start()
        site = os.path.join(work, "site")
        os.makedirs(site)
        frames = {"plain.html": "http://127.0.0.1:%d" % svc.port,
                  "tls.html": "https://localhost:%d" % svc.port_s}  # trusted through the profile
        for name, frame in frames.items():
            with open(os.path.join(site, name), "w") as f:
                f.write(PAGE % frame)
        with static_server(site) as base:
            urls = ["%s/%s" % (base, name) for name in frames]
            # HOME: the home whose NSS database the service filled.
            code = run_driver("xchgframe.mjs", browser, [profile] + urls, svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
