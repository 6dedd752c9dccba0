"""Key stores the page gives, through the running service: CTX_GET_JKS_CERTS
and CTX_GET_JKS_KEYS on PKCS#12 files made by openssl pkcs12 -export (and a
two-key file of zkpki), and on Java key stores written here from the
published format (cross-checked with keytool where a JDK is installed). A
key handed out opens and signs through SET_SIGN with the store's password;
the signature is checked with openssl cms."""

import base64
import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

from pkifixtures import b64, cms_verify, der_tlv, flip, openssl, openssl_result, pem_to_der, module_pki
from zkservice import service_with

PASS = "пароль 1"
KEY_PASS = "інший"  # a key password other than the store's
USERS = {  # name: (key type, DRFO)
    "rsa": ("rsa", "3000000001"),
    "ec": ("ec", "3000000002"),
    "p384": ("p384", "3000000003"),
}
LISTED = ("ec",)  # users whose certificate (not key) is in the service's Cert folder
DOC = b"signed with a key from a key store"
KEYTOOL = shutil.which("keytool")


def setUpModule():
    global pki, tmp, key_ids
    tmp, pki = module_pki("zk-stores-", "ca", "other")
    key_ids = {name: pki.user(name, "ca", "--drfo", drfo, "--key", key) for name, (key, drfo) in USERS.items()}
    key_ids["stranger"] = pki.user("stranger", "other", "--drfo", "3000000099")


def cert(name):
    return pki.read(name + ".cer")


def pkcs8(name):
    return openssl("pkcs8", "-topk8", "-nocrypt", "-outform", "DER", "-in", pki.path(name + ".key.pem"))


# --- Java key stores, written from the published format

def java_password(text):
    return text.encode("utf-16-be")


def jks_protect(private_key_info, password):
    """The JKS key protector: salt, the key XOR-ed with a SHA-1 stream, the check digest."""
    pw = java_password(password)
    salt = os.urandom(20)
    stream, block = b"", salt
    while len(stream) < len(private_key_info):
        block = hashlib.sha1(pw + block).digest()
        stream += block
    sealed = bytes(a ^ b for a, b in zip(private_key_info, stream))
    check = hashlib.sha1(pw + private_key_info).digest()
    oid = bytes.fromhex("060a2b060104012a021101010500")  # 1.3.6.1.4.1.42.2.17.1.1, NULL
    return der_tlv(0x30, der_tlv(0x30, oid) + der_tlv(0x04, salt + sealed + check))


def jks_utf(text):
    data = text.encode("utf-8")
    return struct.pack(">H", len(data)) + data


def jks_cert(der, version=2):
    """A certificate: its type (version 2 only), length and DER."""
    return (jks_utf("X.509") if version == 2 else b"") + struct.pack(">I", len(der)) + der


def write_jks(entries, password, key_password=None, version=2):
    """entries: ("key", alias, user, [chain names]) or ("trusted", alias, name)."""
    body = struct.pack(">III", 0xFEEDFEED, version, len(entries))
    for entry in entries:
        if entry[0] == "key":
            _, alias, user, chain = entry
            protected = jks_protect(pkcs8(user), key_password or password)
            body += struct.pack(">I", 1) + jks_utf(alias) + struct.pack(">Q", 1700000000000)
            body += struct.pack(">I", len(protected)) + protected + struct.pack(">I", len(chain))
            body += b"".join(jks_cert(cert(n), version) for n in chain)
        else:
            _, alias, name = entry
            body += struct.pack(">I", 2) + jks_utf(alias) + struct.pack(">Q", 1700000000000) + jks_cert(cert(name), version)
    return body + hashlib.sha1(java_password(password) + b"Mighty Aphrodite" + body).digest()


def pkcs12(users, *options, password=PASS, chain=None):
    """A PKCS#12 file made by openssl pkcs12 -export (one key) or zkpki (two keys)."""
    out = os.path.join(tmp, "store.p12")
    if len(users) == 2:
        pki.keyfile(out, password, users[0], user2=users[1])
    else:
        args = ["pkcs12", "-export", "-out", out, "-inkey", pki.path(users[0] + ".key.pem"), "-in",
                pki.path(users[0] + ".pem"), "-passout", "pass:" + password] + list(options)
        if chain:
            args += ["-certfile", pki.path(chain + ".pem")]
        openssl(*args)
    with open(out, "rb") as f:
        return f.read()


class StoreCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.svc = service_with([pki.path(n + ".cer") for n in LISTED])

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)

    def certs(self, store, password=PASS, only_user=None):
        params = "<Pass>%s</Pass>" % b64(password)
        if only_user is not None:
            params += "<OnlyUserCerts>%s</OnlyUserCerts>" % only_user
        return self.svc.post(command="CTX_GET_JKS_CERTS", params=params, data=b64(store))

    def listed(self, env):
        self.assertEqual(env.code, 0, env.text[:2000])
        return [base64.b64decode(c.findtext("Data")) for c in env.data.findall("Certs/Cert")]

    def keys(self, store, wanted=(), password=PASS, extra=""):
        params = "<Pass>%s</Pass>%s" % (b64(password), extra)
        if wanted:
            params += "<Certs>%s</Certs>" % "".join("<Cert>%s</Cert>" % b64(cert(n)) for n in wanted)
        return self.svc.post(command="CTX_GET_JKS_KEYS", params=params, data=b64(store))

    def assert_key_signs(self, key_file, name, password=PASS):
        params = "<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK><Pass>%s</Pass>" % (
            b64(cert(name)), b64(key_file), b64(password))
        env = self.svc.post(command="SET_SIGN", params=params, data=b64(DOC))
        self.assertEqual(env.code, 0, env.text)
        v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(pem_to_der(v.signer), cert(name))


class Certs(StoreCase):
    def test_certificates_of_each_kind_of_store(self):
        cases = [  # (name, store, password, all certificates, the owners')
            ("PKCS#12 by openssl", pkcs12(["rsa"]), PASS, ["rsa"], ["rsa"]),
            ("PKCS#12 with plain certificate bags", pkcs12(["ec"], "-certpbe", "NONE", chain="ca"), PASS,
             ["ec", "ca"], ["ec"]),
            ("PKCS#12 with two keys", pkcs12(["ec", "p384"]), PASS, ["ec", "p384"], ["ec", "p384"]),
            ("JKS", write_jks([("key", "mine", "rsa", ["rsa", "ca"]), ("trusted", "their ca", "other"),
                               ("key", "second", "p384", ["p384"])], PASS), PASS,
             ["rsa", "ca", "other", "p384"], ["rsa", "p384"]),
            ("JKS with an empty password", write_jks([("key", "k", "ec", ["ec"])], ""), "", ["ec"], ["ec"]),
            ("JKS of version 1", write_jks([("trusted", "t", "ca"), ("key", "k", "ec", ["ec", "ca"])], PASS, version=1),
             PASS, ["ca", "ec"], ["ec"]),
        ]
        for name, store, password, everything, owners in cases:
            with self.subTest(name):
                self.assertEqual(self.listed(self.certs(store, password)), [cert(n) for n in everything])
                self.assertEqual(self.listed(self.certs(store, password, "false")), [cert(n) for n in everything])
                self.assertEqual(self.listed(self.certs(store, password, "true")), [cert(n) for n in owners])

    def test_each_certificate_is_described(self):
        env = self.certs(write_jks([("key", "k", "rsa", ["rsa"])], PASS))
        entry = env.data.find("Certs/Cert")
        names = [e.tag for e in entry]
        self.assertEqual(names[:3], ["Data", "DRFO", "EDRPOU"])
        self.assertEqual(names[-1], "IsKeyInDevice")
        self.assertEqual(entry.findtext("DRFO"), USERS["rsa"][1])
        self.assertEqual(entry.findtext("Serial"), key_ids["rsa"])

    def test_damaged_stores_and_wrong_passwords(self):
        jks = write_jks([("key", "mine", "rsa", ["rsa"]), ("trusted", "ca", "ca")], PASS)
        p12 = pkcs12(["rsa"])
        alias_at = jks.index(b"mine")
        cases = [  # (name, store, password, code)
            ("JKS, wrong password", jks, "невірний", 8),
            ("JKS, one byte of an alias changed", flip(jks, alias_at), PASS, 8),
            ("JKS, one byte of a certificate changed", flip(jks, jks.index(cert("ca")) + 100), PASS, 8),
            ("JKS, digest changed", flip(jks, len(jks) - 1), PASS, 8),
            ("JKS, truncated", jks[:len(jks) // 2], PASS, 10),
            ("JKS, bytes after the digest", jks + b"\x00", PASS, 10),
            ("JKS, an entry count beyond the bytes", jks[:8] + b"\x7f\xff\xff\xff" + jks[12:], PASS, 10),
            ("JKS, magic alone", jks[:4], PASS, 10),
            ("PKCS#12, wrong password", p12, "невірний", 8),
            ("PKCS#12, truncated", p12[:len(p12) - 30], PASS, 7),
            ("garbage", b"\x00not a key store" * 4, PASS, 7),
        ]
        for name, store, password, code in cases:
            with self.subTest(name):
                for env in (self.certs(store, password), self.keys(store, ["rsa"], password)):
                    self.assertEqual(env.code, code, env.text)
                    self.assertEqual((env.data.text, list(env.data)), (None, []))

    def test_certificates_without_the_password(self):
        # Certificates are public: without Pass a Java key store and a PKCS#12
        # file with plain certificate bags are listed unchecked, owners
        # included; encrypted certificate bags need the password (8, and
        # CSPMessage says so) unless it is the empty one.
        jks = write_jks([("key", "mine", "rsa", ["rsa", "ca"]), ("trusted", "their ca", "other")], PASS)
        cases = [  # (name, store, code, all certificates, the owners')
            ("JKS", jks, 0, ["rsa", "ca", "other"], ["rsa"]),
            ("JKS altered (its digest is not checked)", flip(jks, jks.index(b"mine")), 0, ["rsa", "ca", "other"],
             ["rsa"]),
            ("JKS, truncated", jks[:len(jks) // 2], 10, None, None),
            ("PKCS#12 with plain certificate bags", pkcs12(["ec"], "-certpbe", "NONE", chain="ca"), 0, ["ec", "ca"],
             ["ec"]),
            ("PKCS#12 with encrypted certificate bags", pkcs12(["rsa"]), 8, None, None),
            ("PKCS#12 under the empty password", pkcs12(["rsa"], password=""), 0, ["rsa"], ["rsa"]),
        ]
        for name, store, code, everything, owners in cases:
            with self.subTest(name):
                for only_user, wanted in ((None, everything), ("true", owners)):
                    params = "<OnlyUserCerts>%s</OnlyUserCerts>" % only_user if only_user else ""
                    env = self.svc.post(command="CTX_GET_JKS_CERTS", params=params, data=b64(store))
                    self.assertEqual(env.code, code, env.text)
                    if code == 0:
                        self.assertEqual(self.listed(env), [cert(n) for n in wanted])
                    else:
                        self.assertEqual(list(env.data), [])
                    if code == 8:
                        self.assertIn("Pass", env.csp_message)

    def test_refused_without_params_or_data(self):
        store = b64(pkcs12(["rsa"]))
        for command in ("CTX_GET_JKS_CERTS", "CTX_GET_JKS_KEYS"):
            for params, data in ((None, store), ("<Pass>%s</Pass>" % b64(PASS), ""), ("<Pass/>", None)):
                with self.subTest(command=command, params=params, data=bool(data)):
                    env = self.svc.post(command=command, params=params, data=data)
                    self.assertEqual((env.command, env.code), (None, 56), env.text)


class Keys(StoreCase):
    def test_keys_of_the_certificates_asked_for_sign(self):
        stores = [  # (name, store, the store's users)
            ("JKS", write_jks([("key", "a", "rsa", ["rsa", "ca"]), ("key", "b", "p384", ["p384"]),
                               ("trusted", "t", "other")], PASS), ["rsa", "p384"]),
            ("PKCS#12 with two keys", pkcs12(["rsa", "p384"]), ["rsa", "p384"]),
            ("PKCS#12 by openssl", pkcs12(["p384"], "-certpbe", "NONE"), ["p384"]),
        ]
        for name, store, users in stores:
            with self.subTest(name):
                # In request order; a certificate without a key in the store is named as unprocessed.
                wanted = ["p384", "stranger"] + (["rsa"] if "rsa" in users else [])
                env = self.keys(store, wanted, extra="<DRFO>0000000000</DRFO>")  # the filter matches no list entry
                self.assertEqual(env.code, 0, env.text)
                keys = env.data.findall("Keys/Key")
                self.assertEqual(len(keys), len(wanted) - 1)
                self.assertEqual([s.text for s in env.data.findall("Unprocessed/Serial")], [key_ids["stranger"]])
                for key, user in zip(keys, [w for w in wanted if w != "stranger"]):
                    self.assertTrue(key.get("Serial1"), key.attrib)
                    self.assertEqual(key.get("Serial1"), key_ids[user])
                    self.assertAssertedKey(base64.b64decode(key.text), user)

    def assertAssertedKey(self, key_file, user):
        self.assert_key_signs(key_file, user)
        # The key file opens with the store's password only.
        params = "<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK><Pass>%s</Pass>" % (
            b64(cert(user)), b64(key_file), b64("невірний"))
        self.assertEqual(self.svc.post(command="SET_SIGN", params=params, data=b64(DOC)).code, 8)

    def test_certificate_list_filter_chooses_the_keys(self):
        store = write_jks([("key", "a", "ec", ["ec"]), ("key", "b", "rsa", ["rsa"])], PASS)
        cases = [  # (name, filter parameters, keys)
            ("DRFO with blanks around it", "<DRFO>  %s \t</DRFO>" % USERS["ec"][1], ["ec"]),
            ("Serial", "<Serial> %s </Serial>" % key_ids["ec"], ["ec"]),
            ("no filter: every listed certificate", "", ["ec"]),
            ("a filter nobody passes", "<DRFO>1</DRFO>", []),
        ]
        for name, extra, users in cases:
            with self.subTest(name):
                env = self.keys(store, (), extra=extra)
                self.assertEqual(env.code, 0, env.text)
                self.assertEqual([k.get("Serial1") for k in env.data.findall("Keys/Key")], [key_ids[u] for u in users])

    def test_a_java_key_store_is_a_key_file_as_well(self):
        # Sent as the signer's key (or found by the key search), a store gives
        # the key of the certificate asked for; every key opens with the
        # store's password, whose digest is checked first.
        two = write_jks([("key", "a", "rsa", ["rsa", "ca"]), ("trusted", "t", "other"),
                         ("key", "b", "p384", ["p384"])], PASS)
        cases = [  # (name, store, password, user, code)
            ("the first key", two, PASS, "rsa", 0),
            ("the second key", two, PASS, "p384", 0),
            ("a certificate whose key the store lacks", two, PASS, "ec", 6),
            ("a wrong password", two, "невірний", "rsa", 8),
            ("an altered store", flip(two, two.index(b"\x00\x00\x00\x02\x00\x01t") + 6), PASS, "rsa", 8),
            ("a key under a password of its own", write_jks([("key", "a", "rsa", ["rsa"])], PASS,
                                                            key_password=KEY_PASS), PASS, "rsa", 8),
            ("trusted certificates alone", write_jks([("trusted", "t", "rsa")], PASS), PASS, "rsa", 7),
        ]
        for name, store, password, user, code in cases:
            with self.subTest(name):
                if code == 0:
                    self.assert_key_signs(store, user, password)
                    continue
                params = "<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK><Pass>%s</Pass>" % (
                    b64(cert(user)), b64(store), b64(password))
                self.assertEqual(self.svc.post(command="SET_SIGN", params=params, data=b64(DOC)).code, code)
        env = self.svc.post(command="GET_SUBJ_KEY_ID", params="<SK>%s</SK><Pass>%s</Pass>" % (b64(two), b64(PASS)))
        self.assertEqual((env.code, env.data.findtext("Id1"), env.data.findtext("Id2")),
                         (0, key_ids["rsa"], key_ids["p384"]))

    def test_a_java_key_store_beside_its_certificate_and_a_password_change(self):
        # Found by the key search, and written back as PKCS#12 (PBES2) under
        # the new password. Its alias holds a character a PKCS#12 friendly
        # name cannot (outside the Basic Multilingual Plane): left out.
        store = write_jks([("key", "ключ \U0001F511", "ec", ["ec", "ca"]), ("trusted", "their ca", "other")], PASS)
        path = self.svc.path("Cert", "ec.jks")
        with open(path, "wb") as f:
            f.write(store)
        try:
            sign = lambda password: self.svc.post(command="SET_SIGN", params="<DRFO>%s</DRFO><Pass>%s</Pass>" % (
                USERS["ec"][1], b64(password)), data=b64(DOC))
            env = sign(PASS)
            self.assertEqual((env.code, env.detailing), (0, "0"), env.text)
            env = self.svc.post(command="GET_CERT_FILES", params="")
            token = {e.get("Serial"): e.text for e in env.data.findall("Cert")}[key_ids["ec"]]
            env = self.svc.post(command="CHANGE_KEY_PASS", params="<Cert>%s</Cert><OldPass>%s</OldPass>"
                                "<NewPass>%s</NewPass>" % (token, b64(PASS), b64("новий")))
            self.assertEqual(env.code, 0, env.text)
            rc, _, info = openssl_result("pkcs12", "-info", "-noout", "-in", path, "-passin", "pass:новий")
            self.assertEqual(rc, 0, info)
            self.assertIn("PBES2, PBKDF2, AES-256-CBC", info)
            env = sign("новий")
            self.assertEqual(env.code, 0, env.text)
            v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
            self.assertTrue(v.ok, v.stderr)
            self.assertEqual(pem_to_der(v.signer), cert("ec"))
        finally:
            os.remove(path)

    def test_a_store_of_any_size_is_listed_by_its_key(self):
        # GET_SK_FILES tries a file's password by re-encrypting it: a store
        # whose re-encrypted form is larger than a small key file (10 KiB)
        # is listed as well.
        bundle = os.path.join(tmp, "bundle.pem")
        with open(bundle, "wb") as f:
            f.write(pki.read("ca.pem") * 15)
        big = os.path.join(tmp, "big.pfx")
        openssl("pkcs12", "-export", "-out", big, "-inkey", pki.path("rsa.key.pem"), "-in", pki.path("rsa.pem"),
                "-certfile", bundle, "-passout", "pass:" + PASS)
        self.assertGreater(os.path.getsize(big), 10240)
        path = self.svc.path("Cert", "big.pfx")
        shutil.copy(big, path)
        try:
            env = self.svc.post(command="GET_SK_FILES", params="<Pass>%s</Pass>" % b64(PASS))
            self.assertEqual([k.get("Serial") for k in env.data.findall("Key")], [key_ids["rsa"]])
        finally:
            os.remove(path)

    def test_key_under_a_password_of_its_own_stays_in_the_store(self):
        store = write_jks([("key", "a", "rsa", ["rsa"])], PASS, key_password=KEY_PASS)
        self.assertEqual(self.listed(self.certs(store)), [cert("rsa")])
        env = self.keys(store, ["rsa"], extra="<DRFO>0000000000</DRFO>")
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual(env.data.findall("Keys/Key"), [])
        self.assertEqual([s.text for s in env.data.findall("Unprocessed/Serial")], [key_ids["rsa"]])

    def test_log_keeps_keys_and_passwords_out(self):
        env = self.keys(write_jks([("key", "a", "ec", ["ec"])], PASS), ["ec"])
        key = env.data.findtext("Keys/Key")
        self.assertTrue(key)
        log = self.svc.log_text()
        self.assertNotIn(key[:40], log)
        self.assertNotIn(b64(PASS), log)


@unittest.skipUnless(KEYTOOL, "no JDK installed")
class Keytool(StoreCase):
    """The Java runtime's own reader and writer agree with ours."""

    def keytool(self, *args):
        p = subprocess.run([KEYTOOL] + list(args), capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return p.stdout

    def test_keytool_reads_our_fixture_and_we_read_keytools_store(self):
        password = "store-pass-1"
        with tempfile.TemporaryDirectory() as work:
            ours = os.path.join(work, "ours.jks")
            with open(ours, "wb") as f:
                f.write(write_jks([("key", "mine", "rsa", ["rsa", "ca"]), ("trusted", "their ca", "other")], password))
            listing = self.keytool("-list", "-keystore", ours, "-storetype", "JKS", "-storepass", password)
            self.assertIn("mine, ", listing)
            self.assertIn("PrivateKeyEntry", listing)
            self.assertIn("trustedCertEntry", listing)

            p12 = os.path.join(work, "in.p12")
            with open(p12, "wb") as f:
                f.write(pkcs12(["ec"], password=password, chain="ca"))
            theirs = os.path.join(work, "theirs.jks")
            self.keytool("-importkeystore", "-srckeystore", p12, "-srcstoretype", "PKCS12", "-srcstorepass", password,
                         "-destkeystore", theirs, "-deststoretype", "JKS", "-deststorepass", password, "-noprompt")
            self.keytool("-importcert", "-keystore", theirs, "-storetype", "JKS", "-storepass", password, "-alias",
                         "extra", "-file", pki.path("other.pem"), "-noprompt")
            with open(theirs, "rb") as f:
                store = f.read()
        self.assertEqual(store[:4], b"\xfe\xed\xfe\xed")
        self.assertEqual(sorted(self.listed(self.certs(store, password))), sorted([cert("ec"), cert("ca"), cert("other")]))
        self.assertEqual(self.listed(self.certs(store, password, "true")), [cert("ec")])
        env = self.keys(store, ["ec"], password)
        keys = env.data.findall("Keys/Key")
        self.assertEqual(len(keys), 1, env.text)
        self.assert_key_signs(base64.b64decode(keys[0].text), "ec", password)
        self.assertEqual(self.certs(store, "wrong").code, 8)


if __name__ == "__main__":
    unittest.main()
