"""Signatures and envelopes across implementations that share no code with the
service nor with openssl: NSS (`cmsutil`, Debian's libnss3-tools) and GnuTLS
(`certtool`, gnutls-bin). What the service signs (SET_SIGN, SET_EXTERNAL_SIGN,
CTX_CREATE_CONTAINER, a container of three signers) is verified by
`cmsutil -D` and `certtool --p7-verify`; what they sign and what NSS
envelopes, the service reads (CTX_VERIFY_SIGNS, CTX_GET_ORIGINAL, GET_ORIGINAL,
CHECK_EXTERNAL_SIGN, CTX_VERIFY_EXTERNAL_SIGNS, CTX_DECRYPT). The NSS database is made here with certutil and
pk12util, the keys imported from PKCS#12 files openssl writes."""

import base64
import os
import re
import subprocess
import unittest

from pkifixtures import b64, flip, openssl, signature_value, signer_infos, module_pki
from zkservice import service_with

PASS = "пароль 1"
DOC = "Угода №12: «погоджено обома сторонами»\n".encode("utf-8")
# name: (zkpki options). All issued by one CA; roman's RSA key also encrypts.
USERS = {
    "alice": ("--drfo", "2000000001"),
    "olga": ("--drfo", "2000000003", "--key", "p384"),
    "roman": ("--drfo", "2000000005", "--key", "rsa", "--ku", "0xF0"),
}


def setUpModule():
    global tmp, pki, nss, svc
    tmp, pki = module_pki("zk-interop-", "ca")
    for name, options in USERS.items():
        pki.user(name, "ca", *options)
        pki.keyfile(pki.path(name + ".pfx"), PASS, name)
    nss = NssDb(os.path.join(tmp, "nssdb"))
    nss.trust_ca(pki.path("ca.pem"))
    for name in USERS:
        nss.import_key(name)
    svc = service_with([pki.path(n + ext) for n in USERS for ext in (".cer", ".pfx")])


def tearDownModule():
    svc.__exit__(None, None, None)


def run(*argv, data=None):
    """(exit code, standard output and error as text) of a tool."""
    p = subprocess.run([str(a) for a in argv], input=data, capture_output=True)
    return p.returncode, (p.stdout + p.stderr).decode(errors="replace")


def must(*argv, data=None):
    p = subprocess.run([str(a) for a in argv], input=data, capture_output=True)
    if p.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(map(str, argv)), (p.stdout + p.stderr).decode(errors="replace")))
    return p.stdout


def write(name, data):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


class NssDb:
    """An NSS database: the CA trusted for e-mail signing, the users' keys."""

    def __init__(self, folder):
        os.makedirs(folder)
        self.db = "sql:" + folder
        must("certutil", "-N", "-d", self.db, "--empty-password")

    def trust_ca(self, pem):
        must("certutil", "-A", "-d", self.db, "-n", "ca", "-t", "C,C,C", "-i", pem)

    def import_key(self, name):
        p12 = os.path.join(tmp, name + ".nss.p12")
        openssl("pkcs12", "-export", "-in", pki.path(name + ".pem"), "-inkey", pki.path(name + ".key.pem"), "-name",
                name, "-passout", "pass:nss", "-out", p12)
        must("pk12util", "-i", p12, "-d", self.db, "-W", "nss")

    def verify(self, signature, content=None):
        """cmsutil -D: (exit code, each signer's status in order). With the
        statuses printed (-h) it exits 0 whatever they are."""
        argv = ["cmsutil", "-D", "-d", self.db, "-n", "-h", "1", "-i", write("nss-in.der", signature)]
        if content is not None:
            argv += ["-c", write("nss-content.bin", content)]
        rc, out = run(*argv)
        return rc, [s for _, s in sorted(re.findall(r"signer(\d+)\.status=(\w+)", out), key=lambda m: int(m[0]))]

    def sign(self, name, content, detached=False):
        argv = ["cmsutil", "-S", "-N", name, "-G", "-d", self.db, "-i", write("nss-doc.bin", content)]
        return must(*argv + (["-T"] if detached else []))

    def envelope(self, recipient, content):
        return must("cmsutil", "-E", "-r", recipient, "-d", self.db, "-i", write("nss-plain.bin", content))


def gnutls_verify(signature, content=None):
    """certtool --p7-verify with the CA: (exit code, each signer's status in
    order: "ok" or what failed). The exit code tells of the last signer alone."""
    argv = ["certtool", "--p7-verify", "--inder", "--infile", write("gt-in.der", signature), "--load-ca-certificate",
            pki.path("ca.pem")]
    if content is not None:
        argv += ["--load-data", write("gt-content.bin", content)]
    rc, out = run(*argv)
    return rc, re.findall(r"Signature status: (ok|verification failed)", out)


def gnutls_sign(name, content, detached=False):
    return must("certtool", "--p7-detached-sign" if detached else "--p7-sign", "--p7-time", "--p7-include-cert",
                "--load-privkey", pki.path(name + ".key.pem"), "--load-certificate", pki.path(name + ".pem"),
                "--infile", write("gt-doc.bin", content), "--outder")


def post(command, params="", data=None):
    return svc.post(command=command, params=params, data=None if data is None else b64(data))


def signer_params(name):
    return "<DRFO>%s</DRFO><Pass>%s</Pass>" % (USERS[name][1], b64(PASS))


class MadeByTheService(unittest.TestCase):
    def made(self, command, name, data=DOC, extra=""):
        env = post(command, signer_params(name) + extra, data)
        self.assertEqual(env.code, 0, env.text[:500])
        return base64.b64decode(env.data.text)

    def assert_verified(self, signature, signers, content=None):
        self.assertEqual(nss.verify(signature, content), (0, ["GoodSignature"] * signers))
        self.assertEqual(gnutls_verify(signature, content), (0, ["ok"] * signers))

    def test_signatures_verify_with_nss_and_gnutls(self):
        cases = [  # (name, command, signer, extra parameters, detached)
            ("SET_SIGN, P-256", "SET_SIGN", "alice", "", False),
            ("SET_SIGN, P-384", "SET_SIGN", "olga", "", False),
            ("SET_SIGN, RSA", "SET_SIGN", "roman", "", False),
            ("SET_EXTERNAL_SIGN", "SET_EXTERNAL_SIGN", "alice", "", True),
            ("container", "CTX_CREATE_CONTAINER", "olga", "", False),
            ("container without content", "CTX_CREATE_CONTAINER", "roman", "<StoreContent>false</StoreContent>", True),
        ]
        for name, command, signer, extra, detached in cases:
            with self.subTest(name):
                signature = self.made(command, signer, extra=extra)
                self.assert_verified(signature, 1, DOC if detached else None)
                # Each verifier tells a signature that does not hold.
                if detached:
                    self.assertEqual(nss.verify(signature, DOC + b"!")[1], ["DigestMismatch"])
                    self.assertEqual(gnutls_verify(signature, DOC + b"!")[1], ["verification failed"])

    def test_a_container_of_three_signers(self):
        container = self.made("CTX_CREATE_CONTAINER", "alice")
        for name in ("olga", "roman"):
            container = self.made("CTX_ADD_SIGNATURE", name, data=container)
        self.assert_verified(container, 3)
        # The second signature changed: each verifier names it.
        value = signature_value(signer_infos(container)[1])
        tampered = flip(container, container.index(value) + len(value) // 2)
        self.assertEqual(nss.verify(tampered)[1], ["GoodSignature", "BadSignature", "GoodSignature"])
        self.assertEqual(gnutls_verify(tampered)[1], ["ok", "verification failed", "ok"])


class MadeByTheTools(unittest.TestCase):
    def original(self, data, params=""):
        env = post("CTX_GET_ORIGINAL", params, data)
        self.assertEqual(env.code, 0, env.text[:500])
        signs = [(s.findtext("VerifyResult"), base64.b64decode(s.findtext("Cert")))
                 for s in env.data.findall("Signs/Sign")]
        return base64.b64decode(env.data.findtext("Content")), signs

    def test_signatures_of_nss_and_gnutls_are_read(self):
        cases = [  # (name, maker, signer, detached)
            ("NSS, P-256", nss.sign, "alice", False),
            ("NSS, RSA, detached", nss.sign, "roman", True),
            ("GnuTLS, P-384", gnutls_sign, "olga", False),
            ("GnuTLS, RSA, detached", gnutls_sign, "roman", True),
        ]
        for name, maker, signer, detached in cases:
            with self.subTest(name):
                signature = maker(signer, DOC, detached)
                cert = pki.read(signer + ".cer")
                if detached:
                    env = post("CHECK_EXTERNAL_SIGN", "<Sign>%s</Sign><ReturnSigns>true</ReturnSigns>" % b64(signature),
                               DOC)
                    self.assertEqual(env.code, 0, env.text[:500])
                    self.assertEqual(base64.b64decode(env.data.findtext("Cert")), cert)
                    env = post("CTX_VERIFY_EXTERNAL_SIGNS", "<Content>%s</Content>" % b64(DOC), signature)
                    self.assertEqual([r.text for r in env.data.findall("Results/Result")], ["0"])
                    other = post("CHECK_EXTERNAL_SIGN", "<Sign>%s</Sign>" % b64(signature), DOC + b"!")
                    self.assertEqual(other.code, 11, other.text[:500])
                else:
                    env = post("CTX_VERIFY_SIGNS", data=signature)
                    self.assertEqual([r.text for r in env.data.findall("Results/Result")], ["0"], env.text[:500])
                    self.assertEqual(self.original(signature), (DOC, [("0", cert)]))
                    env = post("GET_ORIGINAL", "<Pass></Pass>", signature)  # as a protected document
                    self.assertEqual((env.code, base64.b64decode(env.data.text)), (0, DOC), env.text[:500])

    def test_envelopes_of_nss_are_opened(self):
        # NSS envelopes for RSA recipients alone (key transport); it names no
        # originator, so the page names the sender.
        sender = "<SenderCert>%s</SenderCert><Pass>%s</Pass>" % (b64(pki.read("alice.cer")), b64(PASS))
        envelope = nss.envelope("roman", DOC)
        env = post("CTX_DECRYPT", sender, envelope)
        self.assertEqual(env.code, 0, env.text[:500])
        self.assertEqual(base64.b64decode(env.data.text), DOC)
        # A signed message in an envelope, both made by NSS, opened at once.
        sealed = nss.envelope("roman", nss.sign("alice", DOC))
        self.assertEqual(self.original(sealed, sender), (DOC, [("0", pki.read("alice.cer"))]))


if __name__ == "__main__":
    unittest.main()
