"""Browser test of the demo page (web/demo): Chromium opens it from another
origin and lists, signs, verifies, encrypts, opens and lists tokens through the
service, then keeps a screenshot in <build>/tests/artifacts/demo.png.
Exit code 77 (skipped) only when Chromium is absent."""

import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, chromium_missing, run_driver, static_server

sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import BUILD_BIN, Service  # noqa: E402

ARTIFACTS = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "artifacts")


def main():
    if chromium_missing():
        return SKIPPED
    os.makedirs(ARTIFACTS, exist_ok=True)
    with Service(demo=True) as svc, tempfile.TemporaryDirectory(prefix="zk-demo-") as work, \
            static_server(REPO) as base:
        page = "%s/web/demo/index.html?https=%d&http=%d" % (base, svc.port_s, svc.port)
        code = run_driver("demo.mjs", [os.path.join(work, "profile"), page, svc.path("Cert", "demo-ca.pem"),
                                       ARTIFACTS], svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
