"""Certificates and key files made at test time with zkpki, and the check of
signatures with the openssl command line (an implementation independent of
the service's)."""

import base64
import os
import subprocess
import tempfile

from zkservice import BUILD_BIN

ZKPKI = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tools", "zkpki")


def b64(value):
    """Base64 text of bytes, or of the UTF-8 bytes of a text."""
    return base64.b64encode(value if isinstance(value, bytes) else value.encode("utf-8")).decode()


class Pki:
    """zkpki in one folder; every call raises when the tool fails."""

    def __init__(self, folder):
        self.dir = folder
        os.makedirs(folder, exist_ok=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run(self, *args):
        p = subprocess.run([ZKPKI] + [str(a) for a in args], capture_output=True, text=True)
        if p.returncode != 0:
            raise RuntimeError("zkpki %s: %s" % (" ".join(map(str, args)), p.stderr))
        return p.stdout.strip()

    def ca(self, name, *options):
        self.run("ca", "--out", self.dir, "--name", name, *options)

    def user(self, name, ca="ca", *options):
        """Makes NAME.cer/.pem/.key.pem; returns the key identifier (the Serial)."""
        return self.run("user", "--out", self.dir, "--name", name, "--ca", self.path(ca), *options)

    def keyfile(self, out, password, user, fmt="p12", user2=None):
        args = ["keyfile", "--out", out, "--format", fmt, "--pass", password, "--key", self.path(user + ".key.pem")]
        if fmt == "p12":
            args += ["--cert", self.path(user + ".pem")]
        if user2:
            args += ["--key2", self.path(user2 + ".key.pem"), "--cert2", self.path(user2 + ".pem")]
        self.run(*args)

    def two_key_file(self, out, password, drfo):
        """Two users with one DRFO, a signing (0xC0) and a key-agreement (0x08)
        certificate, whose keys share one PKCS#12 file; returns their identifiers."""
        ids = {"sign2": self.user("sign2", "ca", "--drfo", drfo, "--ku", "0xC0"),
               "enc2": self.user("enc2", "ca", "--drfo", drfo, "--ku", "0x08")}
        self.keyfile(out, password, "sign2", user2="enc2")
        return ids

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


class Verified:
    """The outcome of openssl cms -verify: ok, the content, the signer's certificate (PEM), the structure."""

    def __init__(self, ok, content, signer, printed, stderr):
        self.ok, self.content, self.signer, self.printed, self.stderr = ok, content, signer, printed, stderr


def cms_verify(signature, ca_pem, content=None):
    """Verifies DER SignedData with the CA, CAdES signing certificate check
    included; content is given for a detached signature."""
    with tempfile.TemporaryDirectory() as tmp:
        sig, out, signer, data = (os.path.join(tmp, n) for n in ("sig.der", "out.bin", "signer.pem", "data.bin"))
        with open(sig, "wb") as f:
            f.write(signature)
        args = ["openssl", "cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in", sig, "-CAfile", ca_pem,
                "-out", out, "-signer", signer]
        if content is not None:
            with open(data, "wb") as f:
                f.write(content)
            args += ["-content", data]
        p = subprocess.run(args, capture_output=True)
        printed = subprocess.run(["openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", sig],
                                 capture_output=True, text=True).stdout
        return Verified(p.returncode == 0, read(out), read(signer), printed, p.stderr.decode(errors="replace"))


def read(path):
    if not os.path.exists(path):
        return b""
    with open(path, "rb") as f:
        return f.read()


def pem_to_der(pem):
    p = subprocess.run(["openssl", "x509", "-outform", "DER"], input=pem, capture_output=True, check=True)
    return p.stdout
