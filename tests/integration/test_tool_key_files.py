"""Key files and key stores made by other tools, read by the running service.

A small corpus is made at test time with Debian's tools: NSS pk12util (its
default PBES2 with AES, and the PKCS#12 schemes RC2-40, RC2-128, RC4 and
3DES), GnuTLS certtool (--to-p12 by default and with rc2-40, 3des-pkcs12 and
arcfour), openssl pkcs12 -legacy (among them every PKCS#12 scheme: RC2 and
RC4 with 40 and 128 bits, 3DES with two and three keys), openssl pkcs8 -v1
(PKCS#5 v1.5 with DES),
and Java keytool (a JKS and a PKCS12 key store, two keys each). The files
are read the ways a page reaches key files: as the signer's key it sends
(SET_SIGN with SenderSK: every file), as a key store (CTX_GET_JKS_CERTS with
and without Pass, CTX_GET_JKS_KEYS) and from the key folder (GET_SK_FILES,
SET_SIGN by DRFO): every file of openssl and keytool and one legacy file of
each of NSS and GnuTLS, whose 600,000 iterations per derivation make each
reading cost a fraction of a second. Every signature is checked with openssl
cms -verify; each file is checked to use the scheme its tool was asked for.
"""

import base64
import collections
import os
import shutil
import subprocess
import unittest

from pkifixtures import b64, cms_verify, openssl, openssl_result, pem_to_der, module_pki
from zkservice import Service

PASS = "пароль 1"  # Cyrillic: the PKCS#12 schemes encode it as BMPString, PBES2 as UTF-8
JAVA_PASS = "store-pass-1"  # Java's PKCS12 key stores take ASCII passwords only
USERS = {"ec": ("ec", "3200000001"), "rsa": ("rsa", "3200000002")}  # name: (key type, DRFO)
DOC = "Підписано ключем з файлу іншої програми".encode("utf-8")

# NSS's names of the PKCS#12 schemes (pk12util -C for certificates, -c for keys).
NSS_RC2_40 = "PKCS #12 V2 PBE With SHA-1 And 40 Bit RC2 CBC"
NSS_RC2_128 = "PKCS #12 V2 PBE With SHA-1 And 128 Bit RC2 CBC"
NSS_RC4_128 = "PKCS #12 V2 PBE With SHA-1 And 128 Bit RC4"
NSS_3DES = "PKCS #12 V2 PBE With SHA-1 And 3KEY Triple DES-CBC"

SCHEMES = {  # the password-based schemes the corpus asks the tools for
    "PBES2": "1.2.840.113549.1.5.13",
    "PBES1 MD5-DES": "1.2.840.113549.1.5.3",
    "RC4-128": "1.2.840.113549.1.12.1.1",
    "RC4-40": "1.2.840.113549.1.12.1.2",
    "3DES": "1.2.840.113549.1.12.1.3",
    "RC2-128": "1.2.840.113549.1.12.1.5",
    "RC2-40": "1.2.840.113549.1.12.1.6",
}

# name: how the file was made; data: its bytes; ext: its name in a key folder;
# users: whose keys it holds; certs: the certificates it carries (store order
# aside); certs_need_pass: its certificates are encrypted; scheme: one of
# SCHEMES the file uses (checks that the tool made what it says);
# everywhere: read in every way (the files of NSS and GnuTLS take 600,000
# iterations per derivation; one of each tool's files is enough for the
# store commands and the key folder, every one is read as the signer's key).
KeyFileCase = collections.namedtuple(
    "KeyFileCase", "name data ext password users certs certs_need_pass scheme everywhere", defaults=(None, True))


def setUpModule():
    global pki, tmp, ids, corpus
    tmp, pki = module_pki("zk-toolkeys-", "ca")
    ids = {name: pki.user(name, "ca", "--drfo", drfo, "--key", key) for name, (key, drfo) in USERS.items()}
    corpus = Corpus(os.path.join(tmp, "made")).cases()


def cert(name):
    return pki.read(name + ".cer")


def run(*args):
    p = subprocess.run([str(a) for a in args], capture_output=True)
    if p.returncode != 0:
        raise RuntimeError("%s: %s%s" % (" ".join(map(str, args)), p.stdout.decode(errors="replace"),
                                         p.stderr.decode(errors="replace")))
    return p.stdout


class Corpus:
    """Makes the files, each with the tool named, in one folder."""

    def __init__(self, folder):
        self.dir = folder
        os.makedirs(folder)
        self.nss_db = None

    def out(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.out(name), "rb") as f:
            return f.read()

    def openssl_p12(self, name, user, password, *options):
        openssl("pkcs12", "-export", "-out", self.out(name), "-inkey", pki.path(user + ".key.pem"),
                "-in", pki.path(user + ".pem"), "-certfile", pki.path("ca.pem"), "-name", user,
                "-passout", "pass:" + password, *options)
        return self.read(name)

    def nss(self, name, user, *ciphers):
        """pk12util -o from an NSS database that the user's key and
        certificate were imported into (from an openssl PKCS#12 file)."""
        if not self.nss_db:
            self.nss_db = "sql:" + self.out("nssdb")
            os.makedirs(self.out("nssdb"))
            run("certutil", "-N", "-d", self.nss_db, "--empty-password")
            for u in USERS:
                self.openssl_p12(u + ".nss-in.p12", u, PASS)
                run("pk12util", "-i", self.out(u + ".nss-in.p12"), "-d", self.nss_db, "-W", PASS)
        run("pk12util", "-o", self.out(name), "-n", user, "-d", self.nss_db, "-W", PASS, *ciphers)
        return self.read(name)

    def certtool(self, name, user, cipher=None):
        args = ["certtool", "--to-p12", "--load-privkey", pki.path(user + ".key.pem"), "--load-certificate",
                pki.path(user + ".pem"), "--load-ca-certificate", pki.path("ca.pem"), "--p12-name", user,
                "--password", PASS, "--outder", "--outfile", self.out(name)]
        run(*(args + (["--pkcs-cipher", cipher] if cipher else [])))
        return self.read(name)

    def keytool(self, name, store_type):
        """A key store of two keys (ec and rsa), imported by keytool from a
        PKCS#12 file of zkpki."""
        source = self.out(name + ".in")
        pki.keyfile(source, JAVA_PASS, "ec", user2="rsa")
        run("keytool", "-importkeystore", "-srckeystore", source, "-srcstoretype", "PKCS12", "-srcstorepass",
            JAVA_PASS, "-destkeystore", self.out(name), "-deststoretype", store_type, "-deststorepass", JAVA_PASS,
            "-noprompt")
        return self.read(name)

    def pkcs8_legacy(self, name, user):
        """An encrypted PKCS#8 key with the PKCS#5 v1.5 scheme of MD5 and DES."""
        openssl("pkcs8", "-topk8", "-v1", "PBE-MD5-DES", "-in", pki.path(user + ".key.pem"), "-outform", "DER",
                "-out", self.out(name), "-passout", "pass:" + PASS, "-provider", "legacy", "-provider", "default")
        return self.read(name)

    def cases(self):
        both = ["ec", "rsa"]
        return [
            KeyFileCase("openssl pkcs12 -legacy (RC2-40 certificates, 3DES key)",
                        self.openssl_p12("ossl-legacy.p12", "ec", PASS, "-legacy"), ".pfx", PASS, ["ec"],
                        ["ec", "ca"], True, "RC2-40"),
            KeyFileCase("openssl pkcs12 -legacy (RC2-128 certificates, RC4 key)",
                        self.openssl_p12("ossl-rc4.p12", "rsa", PASS, "-legacy", "-certpbe", "PBE-SHA1-RC2-128",
                                         "-keypbe", "PBE-SHA1-RC4-128"), ".sk", PASS, ["rsa"], ["rsa", "ca"], True,
                        "RC4-128"),
            KeyFileCase("openssl pkcs12 -legacy (2-key 3DES certificates, RC4-40 key)",
                        self.openssl_p12("ossl-rc4-40.p12", "ec", PASS, "-legacy", "-certpbe", "PBE-SHA1-2DES",
                                         "-keypbe", "PBE-SHA1-RC4-40"), ".zsk", PASS, ["ec"], ["ec", "ca"], True,
                        "RC4-40"),
            KeyFileCase("openssl pkcs12, certificates not encrypted",
                        self.openssl_p12("ossl-plain.p12", "rsa", PASS, "-certpbe", "NONE"), ".pfx", PASS, ["rsa"],
                        ["rsa", "ca"], False),
            KeyFileCase("pk12util by default (PBES2, AES)", self.nss("nss-default.p12", "rsa"), ".pfx", PASS,
                        ["rsa"], ["rsa", "ca"], True, "PBES2", False),
            KeyFileCase("pk12util -C RC2-40 -c 3DES", self.nss("nss-rc2-40.p12", "ec", "-C", NSS_RC2_40, "-c", NSS_3DES),
                        ".pfx", PASS, ["ec"], ["ec", "ca"], True, "RC2-40"),
            KeyFileCase("pk12util -C RC4-128 -c RC2-128",
                        self.nss("nss-rc4.p12", "rsa", "-C", NSS_RC4_128, "-c", NSS_RC2_128), ".key", PASS, ["rsa"],
                        ["rsa", "ca"], True, "RC2-128", False),
            KeyFileCase("certtool --to-p12 by default", self.certtool("gnutls-default.p12", "ec"), ".pfx", PASS,
                        ["ec"], ["ec", "ca"], True, "PBES2", False),
            KeyFileCase("certtool --pkcs-cipher rc2-40", self.certtool("gnutls-rc2-40.p12", "rsa", "rc2-40"), ".dat",
                        PASS, ["rsa"], ["rsa", "ca"], True, "RC2-40"),
            KeyFileCase("certtool --pkcs-cipher 3des-pkcs12", self.certtool("gnutls-3des.p12", "ec", "3des-pkcs12"),
                        ".zs2", PASS, ["ec"], ["ec", "ca"], True, "3DES", False),
            KeyFileCase("certtool --pkcs-cipher arcfour", self.certtool("gnutls-rc4.p12", "rsa", "arcfour"), ".pfx",
                        PASS, ["rsa"], ["rsa", "ca"], True, "RC4-128", False),
            KeyFileCase("keytool JKS store of two keys", self.keytool("keytool.jks", "JKS"), ".jks", JAVA_PASS, both,
                        both, False),
            KeyFileCase("keytool PKCS12 store of two keys (named .jks, as keytool's default type)",
                        self.keytool("keytool-p12.jks", "PKCS12"), ".jks", JAVA_PASS, both, both, True,
                        "PBES2"),
            KeyFileCase("openssl pkcs8 -v1 PBE-MD5-DES", self.pkcs8_legacy("ossl-des.key", "ec"), ".key", PASS, ["ec"],
                        None, None, "PBES1 MD5-DES"),
        ]


def stores(everywhere_only=True):
    return [c for c in corpus if c.certs is not None and (c.everywhere or not everywhere_only)]


class ToolFiles(unittest.TestCase):
    """One service for every test: Cert holds the users' certificates, the
    key folder (KeyPath) whatever a test puts there."""

    @classmethod
    def setUpClass(cls):
        cls.svc = Service(start=False)
        cls.keys = os.path.join(cls.svc.work, "keys")
        os.makedirs(cls.keys)
        os.makedirs(cls.svc.path("Cert"), exist_ok=True)
        for name in USERS:
            shutil.copy(pki.path(name + ".cer"), cls.svc.path("Cert", name + ".cer"))
        with open(cls.svc.path("Cert", "Params.ini"), "w") as f:
            f.write("[common]\nKeyPath=%s\n" % cls.keys)
        cls.svc.start()

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)

    def post(self, command, params, data=None):
        return self.svc.post(command=command, params=params, data=data)

    def assert_signed_by(self, env, user):
        self.assertEqual(env.code, 0, env.text)
        v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(v.content, DOC)
        self.assertEqual(pem_to_der(v.signer), cert(user))

    def sign_with_file(self, key_file, user, password):
        params = "<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK><Pass>%s</Pass>" % (
            b64(cert(user)), b64(key_file), b64(password))
        return self.post("SET_SIGN", params, b64(DOC))

    def store_certs(self, store, password=None, only_user=None):
        params = "<Pass>%s</Pass>" % b64(password) if password is not None else ""
        if only_user is not None:
            params += "<OnlyUserCerts>%s</OnlyUserCerts>" % only_user
        return self.post("CTX_GET_JKS_CERTS", params, b64(store))

    def listed(self, env):
        self.assertEqual(env.code, 0, env.text)
        return sorted(base64.b64decode(c.findtext("Data")) for c in env.data.findall("Certs/Cert"))


def oid_der(dotted):
    """The DER of an OBJECT IDENTIFIER."""
    arcs = [int(a) for a in dotted.split(".")]
    body = bytes([40 * arcs[0] + arcs[1]])
    for arc in arcs[2:]:
        septets = [arc & 0x7F]
        while arc > 0x7F:
            arc >>= 7
            septets.append(0x80 | (arc & 0x7F))
        body += bytes(reversed(septets))
    return bytes([0x06, len(body)]) + body


class MadeAsSaid(unittest.TestCase):
    def test_each_tool_made_the_scheme_it_was_asked_for(self):
        # The scheme's identifier stands in the clear (an encrypted safe's,
        # or a key bag's in a plain safe): the corpus holds what it says.
        for case in corpus:
            if case.scheme:
                with self.subTest(case.name):
                    self.assertIn(oid_der(SCHEMES[case.scheme]), case.data)


class SenderKey(ToolFiles):
    def test_the_page_sends_the_key_file_and_the_key_of_the_certificate_signs(self):
        for case in corpus:
            for user in case.users:
                with self.subTest(case.name, user=user):
                    self.assert_signed_by(self.sign_with_file(case.data, user, case.password), user)

    def test_a_wrong_password_is_a_wrong_password(self):
        for case in (c for c in corpus if c.everywhere):
            with self.subTest(case.name):
                env = self.sign_with_file(case.data, case.users[0], "невірний")
                self.assertEqual(env.code, 8, env.text)


class Stores(ToolFiles):
    def test_certificates_with_the_password(self):
        for case in stores():
            with self.subTest(case.name):
                everything = sorted(cert(n) for n in case.certs)
                self.assertEqual(self.listed(self.store_certs(case.data, case.password)), everything)
                self.assertEqual(self.listed(self.store_certs(case.data, case.password, "true")),
                                 sorted(cert(n) for n in case.users))

    def test_certificates_without_the_password(self):
        # Certificates are public: a store whose certificates are not
        # encrypted lists them (and its owners) without a password; encrypted
        # ones need it, and the answer says so.
        for case in stores(everywhere_only=False):
            with self.subTest(case.name):
                env = self.store_certs(case.data)
                if case.certs_need_pass:
                    self.assertEqual(env.code, 8, env.text)
                    self.assertIn("Pass", env.csp_message or "")
                    self.assertEqual(list(env.data), [])
                else:
                    self.assertEqual(self.listed(env), sorted(cert(n) for n in case.certs))
                    self.assertEqual(self.listed(self.store_certs(case.data, only_user="true")),
                                     sorted(cert(n) for n in case.users))

    def test_keys_of_the_certificates_asked_for_sign(self):
        for case in stores():
            with self.subTest(case.name):
                params = "<Pass>%s</Pass><DRFO>0000000000</DRFO><Certs>%s</Certs>" % (
                    b64(case.password), "".join("<Cert>%s</Cert>" % b64(cert(u)) for u in case.users))
                env = self.post("CTX_GET_JKS_KEYS", params, b64(case.data))
                self.assertEqual(env.code, 0, env.text)
                keys = env.data.findall("Keys/Key")
                self.assertEqual([k.get("Serial1") for k in keys], [ids[u] for u in case.users])
                for key, user in zip(keys, case.users):
                    self.assert_signed_by(self.sign_with_file(base64.b64decode(key.text), user, case.password), user)


class KeyFolder(ToolFiles):
    def put(self, case):
        """The key folder holds this file alone."""
        for name in os.listdir(self.keys):
            os.remove(os.path.join(self.keys, name))
        with open(os.path.join(self.keys, "store" + case.ext), "wb") as f:
            f.write(case.data)

    def test_the_key_search_finds_each_file_and_uses_the_key_asked_for(self):
        for case in (c for c in corpus if c.everywhere):
            with self.subTest(case.name):
                self.put(case)
                env = self.post("GET_SK_FILES", "<Pass>%s</Pass>" % b64(case.password))
                self.assertEqual(env.code, 0, env.text)
                self.assertEqual([k.get("Serial") for k in env.data.findall("Key")],
                                 sorted(ids[u] for u in case.users))
                for user in case.users:
                    params = "<DRFO>%s</DRFO><Pass>%s</Pass>" % (USERS[user][1], b64(case.password))
                    env = self.post("SET_SIGN", params, b64(DOC))
                    self.assertEqual(env.detailing, "0", env.text)
                    self.assert_signed_by(env, user)

    def test_a_password_change_writes_pbes2_with_aes_256(self):
        # Whatever a file was made with, the service writes it back as
        # PKCS#12 with PBES2 (PBKDF2-HMAC-SHA256, AES-256-CBC) and an
        # HMAC-SHA256 MAC; a Java key store too, which keytool then reads.
        new = "new-pass-2"
        for case in corpus:
            if case.name.startswith(("openssl pkcs12 -legacy (RC2-40", "keytool JKS")):
                with self.subTest(case.name):
                    self.put(case)
                    env = self.post("GET_CERT_FILES", "")
                    user = case.users[0]
                    token = {e.get("Serial"): e.text for e in env.data.findall("Cert")}[ids[user]]
                    env = self.post("CHANGE_KEY_PASS", "<Cert>%s</Cert><OldPass>%s</OldPass><NewPass>%s</NewPass>" % (
                        token, b64(case.password), b64(new)))
                    self.assertEqual(env.code, 0, env.text)
                    path = os.path.join(self.keys, "store" + case.ext)
                    rc, _, info = openssl_result("pkcs12", "-info", "-noout", "-in", path, "-passin", "pass:" + new)
                    self.assertEqual(rc, 0, info)
                    self.assertEqual(sorted(set(line.split(":", 1)[1].strip() for line in info.splitlines()
                                                if line.startswith(("Shrouded Keybag:", "PKCS7 Encrypted data:")))),
                                     ["PBES2, PBKDF2, AES-256-CBC, Iteration 10000, PRF hmacWithSHA256"])
                    self.assertIn("MAC: sha256", info)
                    env = self.post("SET_SIGN", "<DRFO>%s</DRFO><Pass>%s</Pass>" % (USERS[user][1], b64(new)),
                                    b64(DOC))
                    self.assert_signed_by(env, user)
                    if case.ext == ".jks":
                        listing = run("keytool", "-list", "-keystore", path, "-storepass", new).decode()
                        self.assertEqual(listing.count("PrivateKeyEntry"), len(case.users), listing)


if __name__ == "__main__":
    unittest.main()
