"""SoftHSM2 tokens made at test time, each set in a folder of its own
(SOFTHSM2_CONF), filled through PKCS#11 (softhsm2-util imports key pairs,
p11probe certificates and data objects) and inspected independently of the
service with p11probe, a PKCS#11 client of the tests."""

import os
import subprocess

from zkservice import BUILD_BIN

MODULE = "/usr/lib/softhsm/libsofthsm2.so"
P11PROBE = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "fixtures", "p11probe")


class SoftHsm:
    def __init__(self, folder):
        self.dir = folder
        os.makedirs(os.path.join(folder, "tokens"), exist_ok=True)
        self.conf = os.path.join(folder, "softhsm2.conf")
        with open(self.conf, "w") as f:
            f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                    % os.path.join(folder, "tokens"))
        self.env = dict(os.environ, SOFTHSM2_CONF=self.conf)

    def run(self, args, check=True, data=None):
        p = subprocess.run(args, capture_output=True, env=self.env, input=data)
        if check and p.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(args), p.stderr.decode(errors="replace")))
        return p

    def init_token(self, label, so_pin, pin):
        """A new token in the first free slot; returns its serial number."""
        self.run(["softhsm2-util", "--init-token", "--free", "--label", label, "--so-pin", so_pin, "--pin", pin])
        return self.token(label)["serial"]

    def slots(self):
        """[{slot, serial, flags, label}] of every slot with a token, as PKCS#11 reports them."""
        out = []
        for line in self.probe("slots").stdout.decode().splitlines():
            parts = line.split(" ", 3)
            out.append({"slot": parts[0], "serial": parts[1], "flags": int(parts[2], 16),
                        "label": parts[3] if len(parts) > 3 else ""})
        return out

    def token(self, label):
        return next(t for t in self.slots() if t["label"] == label)

    def import_key(self, label, pin, key_pem, key_id, key_label):
        self.run(["softhsm2-util", "--import", key_pem, "--token", label, "--pin", pin, "--id", key_id,
                  "--label", key_label])

    def probe(self, *args, check=True, data=None):
        return self.run([P11PROBE] + list(args), check=check, data=data)

    def objects(self, serial, pin):
        """[(class, id, flags, label)] of the token's objects."""
        rows = []
        for line in self.probe("objects", serial, pin).stdout.decode().splitlines():
            cls, oid, flags, label = (line.split(" ", 3) + [""])[:4]
            rows.append((cls, oid, flags, label))
        return rows

    def login_works(self, serial, pin):
        return self.probe("login", serial, pin, check=False).returncode == 0


def add_dongles(service, lines):
    """Appends a [Dongles] section to the provider's parameter file of a service not started yet."""
    with open(service.path("ZelkorH.ini"), "a") as f:
        f.write("\n[Dongles]\n" + "".join("%s=%s\n" % kv for kv in lines))
