"""Browser test of the JavaScript client (clients/js): pages served from another
origin sign with the build's demo certificate through fetch and through the
exchange frame, over HTTPS (the browser's profile trusts the service's local
CA) and HTTP, following the progress of the request; then a profile that does
not trust the CA: HTTPS fails as the browser's CORS error, and the client says
that HTTPS was not trusted and that it fell back to HTTP.
Usage: test_client.py [chromium|firefox]. Exit code 77 (skipped) only when
that browser is not installed."""

import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, browser_missing, browser_name, run_driver, static_server, trusted_profile

sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import Service, free_port  # noqa: E402


def main():
    browser = browser_name()
    if browser_missing(browser):
        return SKIPPED
    with Service(demo=True, start=False) as svc, tempfile.TemporaryDirectory(prefix="zk-client-") as work, \
            static_server(REPO) as base:
        profile = trusted_profile(browser, svc, work)
        svc.start()
        # A home and a profile the service never saw: no trust in its CA.
        stranger = os.path.join(work, "stranger")
        os.makedirs(stranger)
        dead = "http://127.0.0.1:%d" % free_port()
        code = run_driver("client.mjs", browser, [profile, base, "http://127.0.0.1:%d" % svc.port,
                                                  "https://127.0.0.1:%d" % svc.port_s, svc.path("Cert", "demo-ca.pem"),
                                                  dead, os.path.join(stranger, "profile"), stranger], svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
