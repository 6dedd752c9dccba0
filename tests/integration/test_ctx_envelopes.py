"""Envelopes of the container family through the running service:
CTX_ENCRYPT checked with openssl cms -decrypt as every recipient, envelopes
made by openssl cms -encrypt opened with CTX_DECRYPT, the sender and the
recipients an envelope names, CTX_GET_ORIGINAL of plain and enveloped signed
containers, and bad input."""

import base64
import os
import unittest

from pkifixtures import b64, cms_decrypt, cms_encrypt, cms_verify, flip, openssl, openssl_result, module_pki
from zkservice import service_with

PASS = "пароль 1"
DOC = "Лист №7: «для двох адресатів»\n".encode("utf-8")

# name: (key type, DRFO). All under one CA whose serialNumber makes them
# certificates of the library the container commands locate files with.
USERS = {
    "rsa": ("rsa", "2000000001"),
    "ec": ("ec", "2000000002"),
    "p384": ("p384", "2000000003"),
    "ec2": ("ec", "2000000004"),
}
STRANGER = "stranger"  # a certificate whose key this service does not have


def setUpModule():
    global pki, tmp, ca_bundle
    tmp, pki = module_pki("zk-ctxenv-", "ca")
    global key_ids
    key_ids = {}
    for name, (key, drfo) in USERS.items():
        key_ids[name] = pki.user(name, "ca", "--drfo", drfo, "--key", key)
        pki.keyfile(pki.path(name + ".pfx"), PASS, name)
    pki.user(STRANGER, "ca", "--drfo", "2000000099", "--key", "ec")
    ca_bundle = pki.path("ca.pem")


def pem(name):
    return pki.path(name + ".pem")


def cert(name):
    return pki.read(name + ".cer")


def certs_param(names):
    return "<Certs>%s</Certs>" % "".join("<Cert>%s</Cert>" % b64(cert(n)) for n in names)


def der_reencoded(envelope):
    """The envelope as openssl writes it back (DER SETs sorted)."""
    return openssl("cms", "-cmsout", "-inform", "DER", "-outform", "DER", data=envelope)


class EnvelopeCase(unittest.TestCase):
    """One service per class; Cert/ holds every user's certificate and key file (not the stranger's)."""

    @classmethod
    def setUpClass(cls):
        cls.svc = service_with([pki.path(n + ext) for n in USERS for ext in (".cer", ".pfx")])

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)

    def ok(self, env):
        self.assertEqual(env.code, 0, env.text[:2000])
        return base64.b64decode(env.data.text or "")

    def encrypt(self, sender, recipients, document=DOC, certs=None):
        params = "<DRFO>%s</DRFO><Pass>%s</Pass>%s" % (USERS[sender][1], b64(PASS),
                                                         certs if certs is not None else certs_param(recipients))
        return self.svc.post(command="CTX_ENCRYPT", params=params, data=b64(document))

    def decrypt(self, envelope, params="<Pass>%s</Pass>" % b64(PASS)):
        return self.svc.post(command="CTX_DECRYPT", params=params, data=b64(envelope))

    def sender_cert(self, envelope, index):
        return self.svc.post(command="CTX_GET_SENDER_CERT", params="<CertIndex>%d</CertIndex>" % index,
                             data=b64(envelope))

    def recipients(self, envelope, field="SN"):
        env = self.svc.post(command="CTX_GET_RECIPIENTS", data=b64(envelope))
        self.assertEqual(env.code, 0, env.text)
        return [c.findtext(field) for c in env.data.findall("Recipients/Cert")]

    def subject_sn(self, name):
        """The certificate's serial number as the service shows it in SN."""
        env = self.svc.post(command="CTX_GET_RECIPIENTS", data=b64(cms_encrypt(b"x", [pem(name)])))
        return env.data.findtext("Recipients/Cert/SN")


class Encrypt(EnvelopeCase):
    def test_every_recipient_opens_it_with_openssl(self):
        cases = [  # (sender, recipients)
            ("ec", ["rsa"]),
            ("rsa", ["ec"]),
            ("ec", ["rsa", "p384", "ec2"]),
            ("p384", ["ec", "p384"]),  # the sender among its recipients
        ]
        for sender, recipients in cases:
            with self.subTest(sender=sender, recipients=recipients):
                env = self.encrypt(sender, recipients)
                envelope = self.ok(env)
                self.assertEqual(env.detailing, "0")
                for name in recipients:
                    self.assertEqual(cms_decrypt(envelope, pem(name), pki.path(name + ".key.pem")), DOC, name)
                self.assertIsNone(cms_decrypt(envelope, pem(STRANGER), pki.path(STRANGER + ".key.pem")))
                printed = openssl("cms", "-cmsout", "-print", "-inform", "DER", data=envelope).decode()
                self.assertIn("aes-256-cbc", printed)
                if "rsa" in recipients:
                    self.assertIn("rsaesOaep", printed)
                if any(USERS[n][0] != "rsa" for n in recipients):
                    self.assertIn("dhSinglePass-stdDH", printed)
                # Recipients keep the page's order; the sender comes first, then every recipient.
                sns = [self.subject_sn(n) for n in recipients]
                self.assertEqual(self.recipients(envelope), sns)
                for form in (envelope, der_reencoded(envelope)):
                    originators = [self.ok(self.sender_cert(form, i)) for i in range(len(recipients) + 1)]
                    self.assertEqual(originators[0], cert(sender))
                    self.assertEqual(sorted(originators[1:]), sorted(cert(n) for n in recipients))
                    self.assertEqual(self.sender_cert(form, len(recipients) + 1).code, 56)

    def test_empty_and_large_documents(self):
        for size in (0, 1, 5 << 20):
            with self.subTest(size=size):
                document = os.urandom(size)
                if not size:
                    # An empty Data is no document: refused without an answer.
                    env = self.encrypt("ec", ["rsa"], document)
                    self.assertEqual((env.command, env.code), (None, 56))
                    continue
                envelope = self.ok(self.encrypt("ec", ["rsa", "ec2"], document))
                self.assertEqual(cms_decrypt(envelope, pem("ec2"), pki.path("ec2.key.pem")), document)
                self.assertEqual(self.ok(self.decrypt(envelope)), document)

    def test_sender_and_recipient_failures(self):
        garbage = "<Cert>%s</Cert>" % b64(b"\x30\x03\x02\x01\x01")
        cases = [  # (name, sender DRFO, password, Certs, code)
            ("second recipient is no certificate", "2000000001", PASS,
             "<Certs><Cert>%s</Cert>%s</Certs>" % (b64(cert("ec")), garbage), 3),
            ("wrong password", "2000000001", "невірний", certs_param(["ec"]), 8),
            ("no such sender", "2999999999", PASS, certs_param(["ec"]), 52),
        ]
        for name, drfo, password, certs, code in cases:
            with self.subTest(name):
                params = "<DRFO>%s</DRFO><Pass>%s</Pass>%s" % (drfo, b64(password), certs)
                env = self.svc.post(command="CTX_ENCRYPT", params=params, data=b64(DOC))
                self.assertEqual((env.command, env.code), ("CTX_ENCRYPT", code), env.text)
                self.assertFalse(env.data.text)
        refused = [  # no answer of their own
            "<DRFO>2000000001</DRFO><Pass>%s</Pass><Certs></Certs>" % b64(PASS),
            "<DRFO>2000000001</DRFO><Pass>%s</Pass>" % b64(PASS),
            "<Pass>%s</Pass>%s" % (b64(PASS), certs_param(["ec"])),  # no sender named
        ]
        for params in refused:
            with self.subTest(params=params):
                env = self.svc.post(command="CTX_ENCRYPT", params=params, data=b64(DOC))
                self.assertEqual((env.command, env.code), (None, 56), env.text)


class Decrypt(EnvelopeCase):
    def test_our_envelopes_open_for_each_recipient(self):
        envelope = self.ok(self.encrypt("rsa", ["ec", "p384", "rsa"]))
        # Pass alone: the recipients are tried in envelope order, the first whose key is here opens it.
        env = self.decrypt(envelope)
        self.assertEqual((self.ok(env), env.detailing), (DOC, "0"))
        for name in ("ec", "p384", "rsa"):
            with self.subTest(name):
                by_drfo = "<DRFO>%s</DRFO><Pass>%s</Pass>" % (USERS[name][1], b64(PASS))
                self.assertEqual(self.ok(self.decrypt(envelope, by_drfo)), DOC)
                given = "<RecipientCert>%s</RecipientCert><RecipientSK>%s</RecipientSK><Pass>%s</Pass>" % (
                    b64(cert(name)), b64(pki.read(name + ".pfx")), b64(PASS))
                self.assertEqual(self.ok(self.decrypt(envelope, given)), DOC)

    def test_envelopes_made_by_openssl(self):
        sender = "<SenderCert>%s</SenderCert>" % b64(cert("ec2"))
        # openssl writes RecipientInfos as a sorted DER SET: key transport (RSA) before key agreement.
        large = os.urandom(3 << 20)  # decrypted over the envelope where it lies, as every envelope is
        cases = [  # (name, recipients in envelope order, openssl options, document)
            ("issuer and serial", ["rsa", "p384"], [], DOC),
            ("subject key identifiers", ["rsa", "ec"], ["-keyid"], DOC),
            ("AES-128", ["p384"], ["-aes128"], DOC),
            ("a large document", ["rsa", "ec"], [], large),
        ]
        for name, recipients, options, document in cases:
            envelope = cms_encrypt(document, [pem(n) for n in recipients], *options)
            with self.subTest(name):
                if "-keyid" in options:  # named by key identifier alone: the record's Serial
                    self.assertEqual(self.recipients(envelope, "Serial"), [key_ids[n] for n in recipients])
                else:
                    self.assertEqual(self.recipients(envelope), [self.subject_sn(n) for n in recipients])
                # No originator certificate in it: the page names the sender.
                self.assertEqual(self.decrypt(envelope).code, 52)
                self.assertEqual(self.ok(self.decrypt(envelope, sender + "<Pass>%s</Pass>" % b64(PASS))), document)
                for n in recipients:
                    params = sender + "<DRFO>%s</DRFO><Pass>%s</Pass>" % (USERS[n][1], b64(PASS))
                    self.assertEqual(self.ok(self.decrypt(envelope, params)), document, n)

    def test_failures(self):
        ours = self.ok(self.encrypt("ec", ["rsa", "ec2"]))
        for_stranger = self.ok(self.encrypt("ec", [STRANGER]))
        stranger_given = "<RecipientCert>%s</RecipientCert><RecipientSK>%s</RecipientSK><Pass>%s</Pass>" % (
            b64(cert("ec")), b64(pki.read("ec.pfx")), b64(PASS))
        cases = [  # (name, envelope, params, code)
            ("for nobody here", for_stranger, "<Pass>%s</Pass>" % b64(PASS), 52),
            ("a key that is not a recipient's", ours, stranger_given, 6),
            ("a named certificate that is not a recipient", ours,
             "<DRFO>2000000003</DRFO><Pass>%s</Pass>" % b64(PASS), 6),
            ("wrong password", ours, "<Pass>%s</Pass>" % b64("невірний"), 8),
            ("garbage", b"\x00garbage" * 8, "<Pass>%s</Pass>" % b64(PASS), 10),
            ("truncated", ours[:len(ours) // 2], "<Pass>%s</Pass>" % b64(PASS), 10),
            ("a signed container", openssl("cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-signer",
                                           pem("ec"), "-inkey", pki.path("ec.key.pem"), data=DOC),
             "<Pass>%s</Pass>" % b64(PASS), 9),
        ]
        for name, envelope, params, code in cases:
            with self.subTest(name):
                env = self.decrypt(envelope, params)
                self.assertEqual((env.command, env.code), ("CTX_DECRYPT", code), env.text)
                self.assertFalse(env.data.text)
        # Content that no longer decrypts is never handed out. The bit changed
        # is in the cipher block before the last (the ciphertext ends the
        # envelope), under the last padding byte: whatever the key, the
        # padding no longer checks out. (A bit in the last block itself
        # leaves valid padding about once in 256 runs.)
        tail = flip(ours, len(ours) - 17)
        env = self.decrypt(tail)
        self.assertNotEqual(env.code, 0)
        self.assertFalse(env.data.text)


class Inspect(EnvelopeCase):
    def test_envelope_type(self):
        signed = openssl("cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-signer", pem("ec"), "-inkey",
                         pki.path("ec.key.pem"), data=DOC)
        cases = [  # (name, data, type)
            ("our envelope", self.ok(self.encrypt("ec", ["rsa"])), "2"),
            ("openssl's envelope", cms_encrypt(DOC, [pem("rsa")]), "2"),
            ("signed container", signed, "1"),
            ("a certificate", cert("ec"), "0"),
            ("garbage", b"\x01\x02\x03", "0"),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                env = self.svc.post(command="CTX_GET_ENVELOPE_TYPE", data=b64(data))
                self.assertEqual((env.code, env.data.findtext("EnvelopeType")), (0, expected), env.text)

    def test_recipient_records(self):
        envelope = self.ok(self.encrypt("ec", ["rsa", "ec"]))
        env = self.svc.post(command="CTX_GET_RECIPIENTS", data=b64(envelope))
        certs = env.data.findall("Recipients/Cert")
        self.assertEqual(len(certs), 2)
        names = [e.tag for e in certs[0]]
        self.assertEqual(names[:3], ["DRFO", "EDRPOU", "Name"])
        self.assertEqual(names[-4:], ["CanCrypt", "CanSign", "IsQualified", "IsKeyInDevice"])
        self.assertEqual([c.findtext("DRFO") for c in certs], [USERS["rsa"][1], USERS["ec"][1]])

    def test_bad_input(self):
        envelope = self.ok(self.encrypt("ec", ["rsa"]))
        answered = [  # (command, params, data, code)
            ("CTX_GET_RECIPIENTS", None, b"\x00garbage", 10),
            ("CTX_GET_RECIPIENTS", None, envelope[:-7], 10),
            ("CTX_GET_SENDER_CERT", "<CertIndex>0</CertIndex>", b"\x00garbage", 10),
            ("CTX_GET_SENDER_CERT", "<CertIndex>2</CertIndex>", envelope, 56),
            ("CTX_GET_SENDER_CERT", "<CertIndex>0</CertIndex>", cms_encrypt(DOC, [pem("rsa")]), 52),
        ]
        for command, params, data, code in answered:
            with self.subTest(command=command, params=params):
                env = self.svc.post(command=command, params=params, data=b64(data))
                self.assertEqual((env.command, env.code), (command, code), env.text)
        refused = [  # no answer of their own: the bare envelope with 56
            ("CTX_GET_SENDER_CERT", "<CertIndex>-1</CertIndex>", b64(envelope)),
            ("CTX_GET_SENDER_CERT", "<Other/>", b64(envelope)),
            ("CTX_GET_SENDER_CERT", "<CertIndex>0</CertIndex>", ""),
            ("CTX_DECRYPT", "<Pass>%s</Pass>" % b64(PASS), ""),
            ("CTX_DECRYPT", None, b64(envelope)),
            ("CTX_GET_RECIPIENTS", None, ""),
            ("CTX_GET_ENVELOPE_TYPE", None, ""),
        ]
        for command, params, data in refused:
            with self.subTest(command=command, params=params):
                env = self.svc.post(command=command, params=params, data=data)
                self.assertEqual((env.command, env.code), (None, 56), env.text)
        self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)

    def test_log_keeps_documents_out(self):
        marker = b"SECRET-MARKER-" + os.urandom(6).hex().encode()
        envelope = self.ok(self.encrypt("ec", ["rsa"], marker))
        self.assertEqual(self.ok(self.decrypt(envelope)), marker)
        env = self.svc.post(command="CTX_GET_ORIGINAL", data=b64(envelope),
                            params="<Pass>%s</Pass><AcquireDecrypted>true</AcquireDecrypted>" % b64(PASS))
        self.assertEqual(base64.b64decode(env.data.findtext("Decrypted")), marker)
        container = signed(["ec"], marker)
        env = self.svc.post(command="CTX_GET_ORIGINAL", data=b64(container),
                            params="<Pass>%s</Pass><AcquireSigned>true</AcquireSigned>" % b64(PASS))
        self.assertEqual(base64.b64decode(env.data.findtext("Signed")), container)
        log = self.svc.log_text()
        for text in (marker.decode(), b64(marker), b64(envelope)[:40], b64(container)[:40], b64(PASS)):
            self.assertNotIn(text, log)


def signed(signers, document=DOC):
    """A container made by openssl cms -sign (content attached)."""
    args = ["cms", "-sign", "-binary", "-nodetach", "-outform", "DER"]
    for name in signers:
        args += ["-signer", pem(name), "-inkey", pki.path(name + ".key.pem")]
    return openssl(*args, data=document)


class Original(EnvelopeCase):
    def original(self, data, extra="", password=PASS):
        return self.svc.post(command="CTX_GET_ORIGINAL", params="<Pass>%s</Pass>%s" % (b64(password), extra),
                             data=b64(data))

    def piece(self, env, path):
        return base64.b64decode(env.data.findtext(path) or "")

    def assert_signs(self, env, signers, results):
        signs = env.data.findall("Signs/Sign")
        self.assertEqual([s.get("Num") for s in signs], [str(i) for i in range(len(signers))])
        for sign, name, result in zip(signs, signers, results):
            self.assertEqual(sign.findtext("VerifyResult"), str(result))
            self.assertIsNotNone(sign.findtext("VerifyCertCode"))
            self.assertEqual(base64.b64decode(sign.findtext("Cert")), cert(name))
            self.assertEqual(sign.findtext("CertInfo/DRFO"), USERS[name][1])
            self.assertIsNone(sign.find("CertInfo/OCSP"))

    def test_plain_signed_container(self):
        container = signed(["ec", "rsa"])
        env = self.original(container, "<AcquireDecrypted>true</AcquireDecrypted>")
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual(self.piece(env, "Content"), DOC)
        self.assertEqual(env.data.findtext("ContentTimestamp") or "", "")
        self.assert_signs(env, ["ec", "rsa"], [0, 0])
        for absent in ("Signed", "Decrypted", "Recipients"):
            self.assertIsNone(env.data.find(absent), absent)
        self.assertEqual(self.piece(self.original(container, "<AcquireSigned>true</AcquireSigned>"), "Signed"),
                         container)
        # Altered content: still described, its signatures fail.
        tampered = flip(container, container.index(DOC) + 2)
        env = self.original(tampered)
        self.assertEqual(env.code, 0, env.text)
        self.assertNotIn("0", [s.findtext("VerifyResult") for s in env.data.findall("Signs/Sign")])

    def test_enveloped_signed_container(self):
        container = signed(["p384"])
        for maker, envelope in (("ours", self.ok(self.encrypt("ec", ["rsa", "ec2"], container))),
                                ("openssl's", cms_encrypt(container, [pem("rsa"), pem("ec2")]))):
            with self.subTest(maker):
                extra = "<AcquireSigned>true</AcquireSigned><AcquireDecrypted>true</AcquireDecrypted>"
                env = self.original(envelope, extra + "<SenderCert>%s</SenderCert>" % b64(cert("ec")))
                self.assertEqual(env.code, 0, env.text)
                self.assertEqual(env.detailing, "0")
                self.assertEqual(self.piece(env, "Signed"), container)
                self.assertEqual(self.piece(env, "Content"), DOC)
                self.assert_signs(env, ["p384"], [0])
                self.assertIsNone(env.data.find("Decrypted"))
                self.assertEqual(len(env.data.findall("Recipients/Cert")), 2)

    def test_envelope_without_a_signed_container(self):
        envelope = self.ok(self.encrypt("ec", ["rsa"]))
        for extra, decrypted in (("<AcquireDecrypted>true</AcquireDecrypted>", DOC), ("", None)):
            with self.subTest(extra=extra):
                env = self.original(envelope, extra)
                self.assertEqual(env.code, 10, env.text)
                self.assertEqual(env.data.findtext("Decrypted") and self.piece(env, "Decrypted"), decrypted)
                self.assertIsNone(env.data.find("Signs"))
                self.assertEqual([c.findtext("DRFO") for c in env.data.findall("Recipients/Cert")], [USERS["rsa"][1]])

    def test_failures(self):
        for_stranger = self.ok(self.encrypt("ec", [STRANGER], signed(["ec"])))
        cases = [  # (name, data, extra, password, code, recipients listed)
            ("for nobody here", for_stranger, "<AcquireDecrypted>true</AcquireDecrypted>", PASS, 52, 1),
            ("wrong password", self.ok(self.encrypt("ec", ["rsa"], signed(["ec"]))), "", "невірний", 8, 1),
            ("garbage", b"\x00garbage" * 5, "", PASS, 10, 0),
            ("a certificate", cert("ec"), "", PASS, 10, 0),
            ("truncated container", signed(["ec"])[:-30], "", PASS, 10, 0),
        ]
        for name, data, extra, password, code, listed in cases:
            with self.subTest(name):
                env = self.original(data, extra, password)
                self.assertEqual((env.command, env.code), ("CTX_GET_ORIGINAL", code), env.text)
                for absent in ("Decrypted", "Signs", "Content", "Signed"):
                    self.assertIsNone(env.data.find(absent), absent)
                self.assertEqual(len(env.data.findall("Recipients/Cert")), listed)

    def test_ocsp_check_of_each_signer(self):
        container = signed(["ec", "rsa"])
        env = self.original(container, "<OCSP><Enabled>true</Enabled><Timeout>1</Timeout></OCSP>")
        self.assertEqual(env.code, 0, env.text)
        codes = [s.findtext("CertInfo/OCSP/Code") for s in env.data.findall("Signs/Sign")]
        self.assertEqual(len(codes), 2)
        # No responder named anywhere: shown, not fatal (tests/integration/test_network.py checks real ones).
        self.assertTrue(all(c is not None and c != "0" for c in codes), codes)
        refused = [  # a requester's secret without a certificate to sign the request with
            "<OCSP><Enabled>true</Enabled><Pass>%s</Pass></OCSP>" % b64(PASS),
            "<OCSP><Enabled>true</Enabled><SenderSK>%s</SenderSK></OCSP>" % b64(b"key"),
            "<OCSP><Enabled>true</Enabled><DongleProviderName>x</DongleProviderName></OCSP>",
        ]
        for extra in refused:
            with self.subTest(extra=extra):
                env = self.original(container, extra)
                self.assertEqual((env.command, env.code), (None, 56), env.text)
        # Not enabled: the requester's parameters are not read.
        self.assertEqual(self.original(container, refused[0].replace("true", "false")).code, 0)

    def test_refused_without_params_or_data(self):
        for params, data in ((None, b64(signed(["ec"]))), ("<Pass>%s</Pass>" % b64(PASS), "")):
            env = self.svc.post(command="CTX_GET_ORIGINAL", params=params, data=data)
            self.assertEqual((env.command, env.code), (None, 56), env.text)


if __name__ == "__main__":
    unittest.main()
