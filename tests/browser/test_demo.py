"""Browser test of the demo page (web/demo): the browser opens it from another
origin and lists, signs, verifies, encrypts, opens and lists tokens through the
service, in Ukrainian and in English; a larger file shows its progress, a held
one is cancelled; a service without certificates, stopped and started again.
Screenshots are kept in <build>/tests/artifacts/demo-<browser>-*.png.
Usage: test_demo.py [chromium|firefox]. Exit code 77 (skipped) only when that
browser is not installed."""

import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, browser_missing, browser_name, run_driver, static_server, trusted_profile

sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import BUILD_BIN, Service  # noqa: E402

ARTIFACTS = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "artifacts")
# Commands whose request body reaches this size are held until their client
# goes (the page's cancel); smaller ones run at once.
HELD_FROM = 8 << 20


def main():
    browser = browser_name()
    if browser_missing(browser):
        return SKIPPED
    os.makedirs(ARTIFACTS, exist_ok=True)
    held = {"ZELKORH_TEST_COMMAND_DELAY_MS": "600000", "ZELKORH_TEST_COMMAND_DELAY_FROM": str(HELD_FROM)}
    with Service(demo=True, start=False, env=held) as svc, tempfile.TemporaryDirectory(prefix="zk-demo-") as work, \
            static_server(REPO) as base:
        profile = trusted_profile(browser, svc, work)
        svc.start()
        page = "%s/web/demo/index.html?https=%d&http=%d" % (base, svc.port_s, svc.port)
        code = run_driver("demo.mjs", browser, [profile, page, svc.path("Cert", "demo-ca.pem"), ARTIFACTS,
                                                svc.path("ZelkorH.log"), HELD_FROM], svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
