"""SET_SIGN and SET_EXTERNAL_SIGN through the running service: every way of
locating the signer, the password cache with Preserve, the refusals and error
codes of bad input, and every signature checked with openssl cms."""

import base64
import os
import re
import shutil
import unittest

from pkifixtures import b64, cms_verify, pem_to_der, module_pki
from zkservice import Envelope, Service, form_body, request_xml

PASS = "пароль 1"
DOC = "Договір №17: «підписати до п'ятниці»".encode("utf-8")


def setUpModule():
    global pki, ids, tmp
    tmp, pki = module_pki("zk-sign-", "ca")
    ids = {
        "ivan": pki.user("ivan", "ca", "--drfo", "1111111111", "--edrpou", "22222222", "--ku", "0xC0"),
        "olga": pki.user("olga", "ca", "--drfo", "3333333333", "--key", "p384"),
        "roman": pki.user("roman", "ca", "--drfo", "4444444444", "--key", "rsa"),
    }
    pki.keyfile(pki.path("ivan.pfx"), PASS, "ivan")
    pki.keyfile(pki.path("olga.dat"), PASS, "olga", fmt="p8der")
    pki.keyfile(pki.path("roman.key"), PASS, "roman", fmt="p8pem")
    ids.update(pki.two_key_file(pki.path("two-keys.dat"), PASS, "5555555555"))


class SigningService(unittest.TestCase):
    # Cert/ holds each signer's certificate beside its key file; the two keys
    # of one file sit in a folder of their own.
    LAYOUT = {"ivan.cer": "", "ivan.pfx": "", "olga.cer": "", "olga.dat": "", "roman.cer": "", "roman.key": "",
              "sign2.cer": "two", "enc2.cer": "two", "two-keys.dat": "two"}

    def setUp(self):
        self.svc = Service(start=False)
        for name, sub in self.LAYOUT.items():
            os.makedirs(self.svc.path("Cert", sub), exist_ok=True)
            shutil.copy(pki.path(name), self.svc.path("Cert", sub, name))
        self.svc.start()

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def sign(self, params, command="SET_SIGN", password=PASS, preserve=None, data=DOC):
        xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items())
        if password is not None:
            attr = ' Preserve="%s"' % preserve if preserve is not None else ""
            xml += "<Pass%s>%s</Pass>" % (attr, b64(password) if password else "=")
        return self.svc.post(command=command, params=xml, data=b64(data))

    def assert_signed_by(self, env, signer, content=DOC, detached=False):
        self.assertEqual(env.code, 0, env.text)
        signature = base64.b64decode(env.data.text)
        v = cms_verify(signature, pki.path("ca.pem"), content if detached else None)
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(v.content, content)
        self.assertEqual(pem_to_der(v.signer), pki.read(signer + ".cer"))
        return v



class Signing(SigningService):
    def test_each_selection_path_signs_with_the_right_key(self):
        page_bytes = {"SenderCert": b64(pki.read("ivan.cer")), "SenderSK": b64(pki.read("ivan.pfx"))}
        cases = [  # (name, params, signer, digest, detailing)
            ("DRFO", {"DRFO": "1111111111"}, "ivan", "sha256", "0"),
            ("EDRPOU given as DRFO", {"DRFO": "22222222"}, "ivan", "sha256", "0"),
            ("Serial", {"Serial": ids["ivan"]}, "ivan", "sha256", "0"),
            ("Type of the certificate", {"DRFO": "1111111111", "Type": "1"}, "ivan", "sha256", "0"),
            ("Type -1 takes any", {"DRFO": "1111111111", "Type": "-1"}, "ivan", "sha256", "0"),
            ("Serial picks one key of a two-key file", {"Serial": ids["sign2"]}, "sign2", "sha256", "0"),
            ("P-384 key signs with SHA-384", {"DRFO": "3333333333"}, "olga", "sha384", "0"),
            ("RSA key in encrypted PKCS#8 PEM", {"DRFO": "4444444444"}, "roman", "sha256", "0"),
            ("Lib names another offered library", {"DRFO": "1111111111", "Lib": "UA1"}, "ivan", "sha256", "0"),
            ("certificate and key sent by the page", page_bytes, "ivan", "sha256", None),
            ("page bytes come before DRFO", dict(page_bytes, DRFO="3333333333"), "ivan", "sha256", None),
        ]
        for name, params, signer, digest, detailing in cases:
            with self.subTest(name):
                env = self.sign(params)
                v = self.assert_signed_by(env, signer)
                self.assertEqual(env.detailing, detailing)
                self.assertTrue("algorithm: %s" % digest in v.printed, "digest %s" % digest)
                for attribute in ("contentType", "messageDigest", "signingTime", "signingCertificateV2"):
                    self.assertTrue(attribute in v.printed, "signed attribute %s" % attribute)
        # The key the pair check opened signs: no file is opened a second time,
        # not even to pick one key of the two-key file.
        self.assertNotIn("Before AcquireKey", self.svc.log_text())

    def test_failures_answer_their_codes(self):
        ivan_cert = b64(pki.read("ivan.cer"))
        cases = [  # (name, params, password, code, detailing)
            ("no certificate of that type", {"DRFO": "1111111111", "Type": "2"}, PASS, 52, None),
            ("Type 0 takes only type 0", {"DRFO": "1111111111", "Type": "0"}, PASS, 52, None),
            ("no certificate with that DRFO", {"DRFO": "999"}, PASS, 52, None),
            ("Serial compares exactly", {"Serial": ids["ivan"].lower()}, PASS, 52, None),
            ("wrong password", {"DRFO": "1111111111"}, "невірний", 8, "2"),
            ("Pass that is not Base64", {"DRFO": "1111111111"}, None, 8, "2"),
            ("library the provider does not offer", {"DRFO": "1111111111", "Lib": "XYZ"}, PASS, 2, "0"),
            ("token provider not named in [Dongles]", {"SenderCert": ivan_cert, "DongleProviderName": "SoftHSM"}, PASS,
             16, None),
            ("garbage certificate and key", {"SenderCert": "!!!!", "SenderSK": "?*?*"}, PASS, 3, None),
            ("garbage key", {"SenderCert": ivan_cert, "SenderSK": "QUJDRA=="}, PASS, 7, None),
            ("page key of another certificate",
             {"SenderCert": ivan_cert, "SenderSK": b64(pki.read("olga.dat"))}, PASS, 6, None),
            ("page key with a wrong password",
             {"SenderCert": ivan_cert, "SenderSK": b64(pki.read("ivan.pfx"))}, "невірний", 8, None),
        ]
        for name, params, password, code, detailing in cases:
            with self.subTest(name):
                if password is None:
                    params = dict(params, Pass="%%not*base64%%")
                env = self.sign(params, password=password)
                self.assertEqual((env.command, env.code, env.detailing), ("SET_SIGN", code, detailing), env.text)
                self.assertFalse(env.data.text)

    def test_refused_without_an_envelope(self):
        ivan_cert = b64(pki.read("ivan.cer"))
        cases = [  # (name, params XML, data)
            ("no Pass", "<DRFO>1111111111</DRFO>", b64(DOC)),
            ("empty Pass counts as absent", '<DRFO>1111111111</DRFO><Pass Preserve="true"/>', b64(DOC)),
            ("SenderCert alone is not enough", "<SenderCert>%s</SenderCert><Pass>%s</Pass>" % (ivan_cert, b64(PASS)),
             b64(DOC)),
            ("no Data", "<DRFO>1111111111</DRFO><Pass>%s</Pass>" % b64(PASS), None),
            ("no Params", None, b64(DOC)),
        ]
        for command in ("SET_SIGN", "SET_EXTERNAL_SIGN"):
            for name, params, data in cases:
                with self.subTest(command=command, case=name):
                    env = self.svc.post(command=command, params=params, data=data)
                    self.assertEqual((env.command, env.code), (None, 56), env.text)

    def test_external_signature_is_detached(self):
        params = {"DRFO": "1111111111", "Lib": "XYZ"}  # Lib is not read: the certificate decides
        env = self.sign(params, command="SET_EXTERNAL_SIGN")
        self.assertEqual(env.command, "SET_EXTERNAL_SIGN")
        self.assert_signed_by(env, "ivan", detached=True)
        signature = base64.b64decode(env.data.text)
        self.assertFalse(cms_verify(signature, pki.path("ca.pem")).ok, "no content inside")
        self.assertFalse(cms_verify(signature, pki.path("ca.pem"), DOC + b".").ok)
        # Page bytes and the P-384 digest work the same way.
        page = {"SenderCert": b64(pki.read("olga.cer")), "SenderSK": b64(pki.read("olga.dat"))}
        v = self.assert_signed_by(self.sign(page, command="SET_EXTERNAL_SIGN"), "olga", detached=True)
        self.assertTrue("algorithm: sha384" in v.printed)

    def test_data_is_signed_as_the_lax_decoding_gives_it(self):
        # "@" is no Base64 character and counts as "+", as everywhere in the service.
        env = self.svc.post(command="SET_SIGN", params="<DRFO>1111111111</DRFO><Pass>%s</Pass>" % b64(PASS),
                            data="@@@@")
        self.assert_signed_by(env, "ivan", content=base64.b64decode("++++"))

    def test_large_documents_in_every_request_and_answer_form(self):
        # A large document is decoded where it was received and its signature
        # encoded as it is sent: the same bytes as for a small one, in every
        # form of request and answer.
        doc = os.urandom(300 * 1024 + 1)
        params = "<DRFO>1111111111</DRFO><Pass>%s</Pass>" % b64(PASS)
        xml = request_xml("SET_SIGN", params, b64(doc))
        page = re.compile(r"^<html><head><script type=\"text/javascript\">window.name='\{data:\"(.*)\"\}';"
                          r"</script></head><body></body></html>$", re.S)
        unpage = lambda a: base64.b64decode(page.match(a).group(1)).decode()
        forms = [  # (name, body, answer to envelope text, content signed)
            ("plain answer", form_body(xml), lambda a: a, doc),
            ("Base64 answer", form_body(xml, encode_output=True), lambda a: base64.b64decode(a).decode(), doc),
            ("window-name page", form_body(xml, native=False), unpage, doc),
            ("raw XML body", "junk" + xml, unpage, doc),
            ("Data with attributes, a later Data wins",
             xml.replace("<Data>", '<Data a="1">').replace("</Request>", "<Data>%s</Data></Request>" % b64(DOC)),
             unpage, DOC),
        ]
        for name, body, unwrap, content in forms:
            with self.subTest(form=name):
                status, _, _, answer = self.svc.request("POST", "/", body)
                self.assertEqual(status, 200)
                self.assert_signed_by(Envelope(unwrap(answer.decode())), "ivan", content=content)
        # The log shows the request as it came (its marker text for the document never).
        log = self.svc.log_text()
        self.assertIn("<Data>%s" % b64(doc)[:200], log)
        self.assertNotRegex(log, r"~[0-9A-F]{32}~")

    def test_preserve_keeps_the_password_until_forgotten(self):
        ivan = {"DRFO": "1111111111"}
        cached = lambda: self.sign(ivan, password="", preserve="true")
        # A preserved password lets the next request sign without it.
        self.assert_signed_by(self.sign(ivan, preserve="TRUE"), "ivan")
        # The key stays open with it: no further opening of the key file.
        checks = self.svc.log_text().count("Before CheckKeyPair")
        self.assert_signed_by(cached(), "ivan")
        self.assert_signed_by(cached(), "ivan")
        self.assert_signed_by(self.sign(ivan, preserve="true"), "ivan")
        self.assertEqual(self.svc.log_text().count("Before CheckKeyPair"), checks)
        # A successful request without Preserve clears it.
        self.assert_signed_by(self.sign(ivan), "ivan")
        self.assertEqual((cached().code, cached().detailing), (8, "2"))
        # A listing rebuilds the certificate list and forgets it.
        self.assert_signed_by(self.sign(ivan, preserve="true"), "ivan")
        self.assertEqual(self.svc.post(command="GET_CERT_FILES").code, 0)
        self.assertEqual(cached().code, 8)
        # A listing with a preserved password keeps it in the list it rebuilds.
        env = self.svc.post(command="GET_CERT_FILES", params='<Pass Preserve="true">%s</Pass>' % b64(PASS))
        self.assertEqual(env.code, 0)
        self.assert_signed_by(cached(), "ivan")
        # CHECK_CERT_KEY with Preserve fills the cache as well.
        env = self.svc.post(command="GET_CERT_FILES", params="<DRFO>1111111111</DRFO>")
        token = env.data.find("Cert").text
        check = self.svc.post(command="CHECK_CERT_KEY",
                              params='<Cert>%s</Cert><Pass Preserve="true">%s</Pass>' % (token, b64(PASS)))
        self.assertEqual((check.code, check.detailing), (0, "0"))
        self.assert_signed_by(cached(), "ivan")

    def test_deleted_key_file_answers_53_and_the_list_is_rebuilt(self):
        self.assert_signed_by(self.sign({"DRFO": "1111111111"}), "ivan")
        os.remove(self.svc.path("Cert", "ivan.pfx"))
        rebuilds = self.svc.log_text().count("Rebuild")
        env = self.sign({"DRFO": "1111111111"})
        self.assertEqual((env.code, env.detailing), (53, None), env.text)
        # The next request scans again and searches afresh: only keys of other
        # certificates are left beside it.
        env = self.sign({"DRFO": "1111111111"})
        self.assertEqual((env.code, env.detailing), (6, "3"), env.text)
        self.assertGreater(self.svc.log_text().count("Rebuild"), rebuilds)


class DemoSet(unittest.TestCase):
    def test_demo_certificate_is_listed_and_signs(self):
        with Service(demo=True) as svc:
            env = svc.post(command="GET_CERT_FILES", params="<DRFO>1234567890</DRFO>")
            entries = env.data.findall("Cert")
            self.assertEqual([e.get("Name") for e in entries], ["Демо Користувач"])
            self.assertEqual(entries[0].get("CanSign"), "1")
            env = svc.post(command="SET_SIGN", params="<DRFO>1234567890</DRFO><Pass>%s</Pass>" % b64("demo1234"),
                           data=b64(DOC))
            self.assertEqual(env.code, 0, env.text)
            v = cms_verify(base64.b64decode(env.data.text), svc.path("Cert", "demo-ca.pem"))
            self.assertTrue(v.ok, v.stderr)
            self.assertEqual(v.content, DOC)


if __name__ == "__main__":
    unittest.main()


class FoldersWatched(SigningService):
    """A certificate and key file the user drops into a searched folder (or a
    subfolder of it) is found by the next request, without a listing first."""

    LAYOUT = {"ivan.cer": "", "ivan.pfx": ""}

    def drop(self, names, *where):
        folder = self.svc.path(*where)
        os.makedirs(folder, exist_ok=True)
        before = len(self.svc.log_text())
        for name in names:
            shutil.copy(pki.path(name), os.path.join(folder, name))
        self.assertTrue(self.svc.wait_for_log("Change in a certificate or key folder", since=before, timeout=10))

    def test_files_added_later_are_found(self):
        self.assert_signed_by(self.sign({"DRFO": "1111111111"}), "ivan")  # the list is built
        self.assertEqual(self.sign({"DRFO": "3333333333"}).code, 52)
        self.drop(["olga.cer", "olga.dat"], "Cert", "нові", "глибше")
        self.assert_signed_by(self.sign({"DRFO": "3333333333"}), "olga")
        # A folder made after the last rebuild is watched from the next one.
        self.drop(["roman.cer", "roman.key"], "Cert", "пізніше")
        self.assert_signed_by(self.sign({"DRFO": "4444444444"}), "roman")
        # A listed certificate file that changes is read again, also before
        # the folder's change is noticed: ivan's file now holds olga's
        # certificate, which ivan's key does not match.
        before = len(self.svc.log_text())
        shutil.copy(pki.path("olga.cer"), self.svc.path("Cert", "ivan.cer"))
        self.assertNotEqual(self.sign({"DRFO": "1111111111"}).code, 0)
        self.assertTrue(self.svc.wait_for_log("Change in a certificate or key folder", since=before, timeout=10))
        self.drop(["ivan.cer"], "Cert")
        self.assert_signed_by(self.sign({"DRFO": "1111111111"}), "ivan")
        # Signing reads the folders and changes nothing: the list stays built.
        rebuilds = lambda: len(re.findall(r"CertListGet, CertListFunc, \d+\t- Rebuild", self.svc.log_text()))
        before = rebuilds()
        for _ in range(3):
            self.assert_signed_by(self.sign({"DRFO": "1111111111"}), "ivan")
        self.assertEqual(rebuilds(), before)
