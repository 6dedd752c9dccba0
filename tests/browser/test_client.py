"""Browser test of the JavaScript client (clients/js): pages served from another
origin sign with the build's demo certificate through fetch and through the
exchange frame, over HTTPS (Chromium trusts the service's local CA through the
user's NSS database) and HTTP. Exit code 77 (skipped) only when Chromium is absent."""

import os
import sys
import tempfile

from browserutil import REPO, SKIPPED, chromium_missing, run_driver, static_server

sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import Service, free_port  # noqa: E402


def main():
    if chromium_missing():
        return SKIPPED
    with Service(demo=True) as svc, tempfile.TemporaryDirectory(prefix="zk-client-") as work, \
            static_server(REPO) as base:
        dead = "http://127.0.0.1:%d" % free_port()
        code = run_driver("client.mjs", [os.path.join(work, "profile"), base, "http://127.0.0.1:%d" % svc.port,
                                         "https://127.0.0.1:%d" % svc.port_s, svc.path("Cert", "demo-ca.pem"), dead],
                          svc.home)
        if code != 0:
            print("service log:\n" + svc.log_text()[-4000:])
        return code


if __name__ == "__main__":
    sys.exit(main())
