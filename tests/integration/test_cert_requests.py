"""GEN_CERTIF_REQUEST through the running service: PKCS#10 requests checked with
openssl req, certified by an openssl CA and read back by the service; the key
container opened with openssl pkcs12 and used for signing; keys generated on a
SoftHSM2 token, checked through a second PKCS#11 client and used for signing."""

import base64
import os
import re
import subprocess
import tempfile
import unittest

from pkifixtures import b64, cms_verify, module_pki
from softhsm import MODULE, SoftHsm, add_dongles
from zkservice import Service

PASS = "контейнер-1"
SO_PIN, PIN = "so-99120", "5531-pin"
DOC = b"request round trip"

FULL_SUBJECT = {
    "EDRPOU": "12345678", "DRFO": "1234567890", "Name": "Тарас Шевченко", "Email": "taras@example.org",
    "Title": "Кобзар", "PostalCode": "01001", "Obl": "Київська", "Rayon": "Шевченківський",
    "Adres": "вул. Хрещатик, 1", "Tel": "+380 44 123 45 67", "Surname": "Шевченко", "GivenName": "Тарас",
    "SerialNumber": "TINUA-1234567890", "OrganizationName": "Товариство", "OrganizationalUnitName": "Відділ",
    "EDDRU": "19900101-12345", "KeyUsage": "192", "ExtKeyUsage": "4", "IsQualified": "true",
    "IsKeyInDevice": "TRUE", "TransactionLimit": "<Amount>1000</Amount><Exponent>2</Exponent>",
}


def setUpModule():
    global pki, tmp
    tmp, pki = module_pki("zk-req-", "ca")


def subject_xml(fields, oids=()):
    xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in fields.items())
    if oids:
        xml += "<ExtKeyUsageExt>%s</ExtKeyUsageExt>" % "".join("<OID>%s</OID>" % o for o in oids)
    return xml


def openssl(*args, data=None, check=True):
    p = subprocess.run(["openssl"] + list(args), input=data, capture_output=True)
    if check and p.returncode != 0:
        raise AssertionError("openssl %s: %s" % (" ".join(args), p.stderr.decode(errors="replace")))
    return p


def request_text(der):
    return openssl("req", "-inform", "DER", "-noout", "-text", "-nameopt", "oneline,-esc_msb", data=der).stdout.decode()


def request_public_key(der):
    return openssl("req", "-inform", "DER", "-noout", "-pubkey", data=der).stdout


def certify(der, folder, name):
    """The certificate an openssl CA issues for the request, its extensions copied."""
    req = os.path.join(folder, name + ".req")
    cert = os.path.join(folder, name + ".cer")
    with open(req, "wb") as f:
        f.write(der)
    openssl("x509", "-req", "-inform", "DER", "-in", req, "-CA", pki.path("ca.pem"), "-CAkey",
            pki.path("ca.key.pem"), "-copy_extensions", "copyall", "-days", "30", "-outform", "DER", "-out", cert)
    with open(cert, "rb") as f:
        return f.read()


class RequestService(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zk-req-", dir=tmp)
        self.svc = self.make_service()
        self.svc.start()

    def make_service(self):
        return Service(start=False)

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def generate(self, subject1, subject2=None, password=PASS, extra=""):
        xml = ""
        if password is not None:
            xml += "<Pass>%s</Pass>" % b64(password)
        if subject1 is not None:
            xml += "<Subject1>%s</Subject1>" % subject1
        if subject2 is not None:
            xml += "<Subject2>%s</Subject2>" % subject2
        return self.svc.post(command="GEN_CERTIF_REQUEST", params=xml + extra)

    def requests(self, env):
        self.assertEqual((env.command, env.code), ("GEN_CERTIF_REQUEST", 0), env.text)
        out = []
        for name in ("Request1", "Request2"):
            e = env.data.find(name)
            if e is None:
                continue
            der = base64.b64decode(e.text)
            p = openssl("req", "-inform", "DER", "-verify", "-noout", data=der, check=False)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertRegex(e.get("subjectKeyIdentifier"), "^[0-9A-F]{40}$")
            out.append((der, e.get("subjectKeyIdentifier")))
        return out

    def cert_info(self, cert):
        env = self.svc.post(command="GET_INFO_CERT", params={"CertBlk": b64(cert)})
        self.assertEqual(env.code, 0, env.text)
        return env.data


class KeyContainer(RequestService):
    def container_keys(self, env, password=PASS):
        """The private keys of the answer's container, as openssl pkcs12 opens them (PEM)."""
        path = os.path.join(self.folder, "keys.p12")
        with open(path, "wb") as f:
            f.write(base64.b64decode(env.data.findtext("PrivateKey")))
        out = openssl("pkcs12", "-in", path, "-passin", "pass:" + password, "-nocerts", "-noenc").stdout.decode()
        return re.findall(r"-{5}BEGIN PRIVATE KEY-{5}.*?-{5}END PRIVATE KEY-{5}\n", out, re.S)

    def test_full_subject_round_trip(self):
        oids = ["1.3.6.1.5.5.7.3.2", "", "1.2.804.2.1.1.1.3.9"]
        env = self.generate(subject_xml(FULL_SUBJECT, oids))
        [(der, key_id)] = self.requests(env)
        self.assertIsNone(env.data.find("Request2"))
        text = request_text(der)
        self.assertIn("CN = Тарас Шевченко", text)
        self.assertIn("L = Шевченківський", text)
        self.assertIn("serialNumber = TINUA-1234567890", text)
        self.assertRegex(text, r"X509v3 Key Usage: critical\s+Digital Signature, Non Repudiation\s")
        # The listed identifiers in their order (the empty one skipped), then those of the bits.
        self.assertRegex(text, r"X509v3 Extended Key Usage:\s+TLS Web Client Authentication, "
                               r"1\.2\.804\.2\.1\.1\.1\.3\.9, E-mail Protection\s")
        self.assertIn(":".join(re.findall("..", key_id)), text, "subjectKeyIdentifier extension")
        self.assertIn(b"\x13\x03UAH", der, "the limit's currency defaults to UAH")

        # The container opens with the password and holds the request's key.
        [key] = self.container_keys(env)
        public = openssl("pkey", "-pubout", data=key.encode()).stdout
        self.assertEqual(public, request_public_key(der))

        # Certified as requested, the service reads the fields back as it reads any certificate.
        cert = certify(der, self.folder, "taras")
        info = self.cert_info(cert)
        expected = {"DRFO": "1234567890", "EDRPOU": "12345678", "EDDRU": "19900101-12345", "Name": "Тарас Шевченко",
                    "Title": "Кобзар", "Email": "taras@example.org", "Obl": "Київська", "Adres": "вул. Хрещатик, 1",
                    "Tel": "+380 44 123 45 67", "OrgNm": "Товариство", "UnitName": "Відділ", "Serial": key_id,
                    "CanSign": "true", "IsQualified": "true", "IsKeyInDevice": "true"}
        self.assertEqual({k: info.findtext(k) for k in expected}, expected)
        self.assertEqual([o.text for o in info.findall("ExtKeyUsageExt/OID")],
                         ["1.3.6.1.5.5.7.3.2", "1.2.804.2.1.1.1.3.9", "1.3.6.1.5.5.7.3.4"])

        # The certificate and the container sign together.
        env = self.svc.post(command="SET_SIGN", params={"SenderCert": b64(cert), "SenderSK": env.data.findtext(
            "PrivateKey"), "Pass": b64(PASS)}, data=b64(DOC))
        self.assertEqual(env.code, 0, env.text)
        v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
        self.assertTrue(v.ok, v.stderr)

    def test_two_subjects_two_keys(self):
        env = self.generate(subject_xml({"Name": "sign", "KeyUsage": "192"}),
                            subject_xml({"Name": "agree", "KeyUsage": "8", "SigningSchema": "1"}))
        (der1, id1), (der2, id2) = self.requests(env)
        self.assertNotEqual(id1, id2)
        self.assertIn("Public-Key: (2048 bit)", request_text(der2))
        self.assertRegex(request_text(der2), r"Key Usage: critical\s+Key Agreement\s")
        keys = self.container_keys(env)
        publics = {openssl("pkey", "-pubout", data=k.encode()).stdout for k in keys}
        self.assertEqual(publics, {request_public_key(der1), request_public_key(der2)})

    def test_schemas_and_defaults(self):
        [(der, _)] = self.requests(self.generate(subject_xml({"Name": "p384", "SigningSchema": "10"})))
        self.assertRegex(request_text(der), r"NIST CURVE: P-384")
        [(der, _)] = self.requests(self.generate(subject_xml({"Name": "default"})))
        text = request_text(der)
        self.assertRegex(text, r"NIST CURVE: P-256")
        self.assertNotIn("Key Usage", text, "no key usage asked, none requested")
        env = self.generate(subject_xml({"Name": "x", "SigningSchema": "77"}))
        self.assertEqual((env.code, list(env.data)), (2, []))

    def test_a_later_element_replaces_an_earlier_one_whole(self):
        # Elements are matched without regard to case; the later one wins,
        # with nothing left of a longer earlier text behind it.
        fields = {"Name": "Перший довгий підписувач", "Obl": "Стара область", "OBL": "Львівська",
                  "NAME": "Оля", "Rayon": "Галицький", "rayon": "Л"}
        [(der, _)] = self.requests(self.generate(subject_xml(fields)))
        text = request_text(der)
        subject = re.search(r"Subject: (.*)", text).group(1)
        self.assertIn("ST = Львівська,", subject)
        self.assertIn("CN = Оля", subject)
        self.assertIn("L = Л,", subject)
        self.assertNotIn("асть", subject)
        self.assertNotIn("довгий", subject)

    def test_bad_subjects(self):
        name64 = "Я" * 64
        [(der, _)] = self.requests(self.generate(subject_xml({"Name": name64})))
        self.assertIn("CN = " + name64, request_text(der))
        self.requests(self.generate(subject_xml({"Name": "many"}, ["1.2.3.%d" % i for i in range(100)])))
        cases = [  # (name, params of generate, code; None: no answer of its own)
            ("name longer than a certificate name may be", (subject_xml({"Name": "Я" * 70}),), 22),
            ("malformed identifier", (subject_xml({"Name": "x"}, ["1.2.x"]),), 22),
            ("currency code that is none", (subject_xml({"CurrencyCode": "U1", "TransactionLimit": ""}),), 22),
            ("101 identifiers", (subject_xml({"Name": "x"}, ["1.2.3.%d" % i for i in range(101)]),), None),
            ("an identifier longer than its entry", (subject_xml({"Name": "x"}, ["1." + "2" * 70]),), None),
            ("no Subject1", (None, subject_xml({"Name": "x"})), None),
        ]
        for name, args, code in cases:
            with self.subTest(name):
                env = self.generate(*args)
                if code is None:
                    self.assertEqual((env.command, env.code), (None, 56), env.text)
                else:
                    self.assertEqual((env.code, list(env.data)), (code, []), env.text)
        for password in (None, ""):
            env = self.generate(subject_xml({"Name": "x"}), password=password)
            self.assertEqual((env.command, env.code), (None, 56))

    def test_secrets_stay_out_of_the_log(self):
        env = self.generate(subject_xml({"Name": "x"}))
        self.assertEqual(env.code, 0)
        log = self.svc.log_text()
        self.assertNotIn(b64(PASS), log)
        self.assertNotIn(env.data.findtext("PrivateKey")[:200], log)


class OnToken(RequestService):
    def make_service(self):
        self.hsm = SoftHsm(self.folder)
        self.serial = self.hsm.init_token("req", SO_PIN, PIN)
        self.slot = self.hsm.token("req")["slot"]
        svc = Service(start=False, env={"SOFTHSM2_CONF": self.hsm.conf})
        add_dongles(svc, [("SoftHSM", MODULE)])
        os.makedirs(svc.path("Cert"), exist_ok=True)
        return svc

    def on_token(self, password, subject1, subject2=None, provider="SoftHSM"):
        extra = "<DongleProviderName>%s</DongleProviderName><DongleSlotId>%s</DongleSlotId>" % (provider, self.slot)
        return self.generate(subject1, subject2, password=password, extra=extra)

    def test_keys_generated_on_the_token_sign_there(self):
        env = self.on_token(PIN, subject_xml({"Name": "Ключ на токені", "DRFO": "7777777777", "KeyUsage": "192"}),
                            subject_xml({"Name": "ec agree", "KeyUsage": "8"}))
        (der1, id1), (der2, id2) = self.requests(env)
        self.assertIsNone(env.data.find("PrivateKey"), "the keys stay on the token")
        objects = self.hsm.objects(self.serial, PIN)
        for key_id, label, usage in ((id1, "Ключ на токені", "sS"), (id2, "ec agree", "sSD")):
            mine = sorted(o for o in objects if o[1] == key_id)
            self.assertEqual([(o[0], o[3]) for o in mine], [("private", label), ("public", label)])
            self.assertEqual(mine[0][2], usage, "sensitive, never extractable")

        # Certified, listed and used through the token.
        cert = certify(der1, self.svc.path("Cert"), "token-user")
        self.assertEqual(self.svc.post(command="GET_CERT_FILES").code, 0)
        env = self.svc.post(command="SET_SIGN", params={
            "DRFO": "7777777777", "DongleProviderName": "SoftHSM", "DongleSlotId": self.slot, "Pass": b64(PIN)},
            data=b64(DOC))
        self.assertEqual(env.code, 0, env.text)
        v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(openssl("x509", "-inform", "PEM", "-outform", "DER", data=v.signer).stdout, cert)

    def test_key_name_and_refusals(self):
        env = self.on_token(PIN + "\r\nмітка ключа\r\n", subject_xml({"Name": "n", "SigningSchema": "1",
                                                                          "KeyUsage": "32"}))
        [(der, key_id)] = self.requests(env)
        self.assertIn("Public-Key: (2048 bit)", request_text(der))
        mine = sorted(o for o in self.hsm.objects(self.serial, PIN) if o[1] == key_id)
        self.assertEqual([(o[0], o[2], o[3]) for o in mine],
                         [("private", "sSd", "мітка ключа"), ("public", "-", "мітка ключа")])
        before = self.hsm.objects(self.serial, PIN)
        cases = [  # (name, password, provider, code)
            ("wrong PIN", "0000-bad", "SoftHSM", 8),
            ("a key password (two lines)", PIN + "\r\nkey-pass", "SoftHSM", 16),
            ("unknown provider", PIN, "Nope", 16),
        ]
        for name, password, provider, code in cases:
            with self.subTest(name):
                env = self.on_token(password, subject_xml({"Name": "n"}), provider=provider)
                self.assertEqual((env.code, list(env.data)), (code, []), env.text)
        self.assertEqual(self.hsm.objects(self.serial, PIN), before, "no key was left behind")
        self.assertNotIn(b64(PIN), self.svc.log_text())


if __name__ == "__main__":
    unittest.main()
