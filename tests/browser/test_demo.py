"""Browser test of the demo page (web/demo): Chromium opens it from another
origin and lists, signs, verifies, encrypts, opens and lists tokens through the
service, then keeps a screenshot in <build>/tests/artifacts/demo.png.
Steps that use a command this service does not offer yet (it answers code 56
to a complete request) are checked to show that answer, and reported skipped.
Exit code 77 (skipped) only when Chromium is absent."""

import base64
import json
import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, chromium_missing, run_driver, static_server

sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import BUILD_BIN, Service  # noqa: E402

ARTIFACTS = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "artifacts")


def offered(svc):
    """Which of the page's later commands the service offers: a complete request
    to a command it does not offer yet is answered with code 56."""
    with open(svc.path("Cert", "demo-user.cer"), "rb") as f:
        cert = base64.b64encode(f.read()).decode()
    password = base64.b64encode(b"demo1234").decode()
    probe = base64.b64encode(b"probe").decode()
    requests = {
        "ENCRYPT": {"params": {"Cert": cert, "DRFO": "1234567890", "Pass": password}, "data": probe},
        "GET_ORIGINAL": {"params": {"DRFO": "1234567890", "Pass": password}, "data": probe},
        "CTX_VERIFY_SIGNS": {"data": probe},
        "DONGLES_LIST": {"params": {}},
    }
    return {command: svc.post(command=command, **request).code != 56 for command, request in requests.items()}


def main():
    if chromium_missing():
        return SKIPPED
    os.makedirs(ARTIFACTS, exist_ok=True)
    with Service(demo=True) as svc, tempfile.TemporaryDirectory(prefix="zk-demo-") as work, \
            static_server(REPO) as base:
        page = "%s/web/demo/index.html?https=%d&http=%d" % (base, svc.port_s, svc.port)
        code = run_driver("demo.mjs", [os.path.join(work, "profile"), page, svc.path("Cert", "demo-ca.pem"),
                                       ARTIFACTS, json.dumps(offered(svc))], svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
