"""Hardware key tokens through the running service, against SoftHSM2 tokens
made in the tests: DONGLES_LIST, signing with a key that stays on the token
(SET_SIGN, SET_EXTERNAL_SIGN; checked with openssl cms), and the management
commands, each checked through a second PKCS#11 client (p11probe)."""

import base64
import os
import shutil
import tempfile
import threading
import time
import unittest

from pkifixtures import b64, cms_verify, module_pki
from softhsm import MODULE, SoftHsm, add_dongles
from zkservice import Service

SO_PIN, PIN = "so-55731", "7391-pin"
DOC = "Наказ №5 «про токени»".encode("utf-8")
DONGLE_ATTRIBUTES = [
    "ProviderName", "SlotId", "SlotDescription", "SlotManufacturerID", "SlotFlags", "SlotHardwareVersionMajor",
    "SlotHardwareVersionMinor", "SlotFirmwareVersionMajor", "SlotFirmwareVersionMinor", "TokenLabel",
    "TokenManufacturerID", "TokenModel", "TokenSerialNumber", "TokenFlags", "TokenHardwareVersionMajor",
    "TokenHardwareVersionMinor", "TokenFirmwareVersionMajor", "TokenFirmwareVersionMinor", "MaxPinLen", "MinPinLen",
    "Stationary", "TokenOID"]


def setUpModule():
    global pki, ids, tmp
    tmp, pki = module_pki("zk-tokens-", "ca")
    pki.ca("ca2", "--serial", "UA-11112222")
    ids = {
        "ivan": pki.user("ivan", "ca", "--drfo", "1111111111", "--ku", "0xC0"),
        "roman": pki.user("roman", "ca", "--drfo", "4444444444", "--key", "rsa"),
        "olga": pki.user("olga", "ca", "--drfo", "3333333333"),
        "lonely": pki.user("lonely", "ca", "--drfo", "5555555555"),
    }
    # The same key certified by a second issuer: one key, two certificates.
    pki.user("ivan2", "ca2", "--drfo", "1111111111", "--key-from", pki.path("ivan.key.pem"),
             "--not-before", "20240101000000Z")
    with open(pki.path("cas.pem"), "wb") as f:
        f.write(pki.read("ca.pem") + pki.read("ca2.pem"))


class TokenService(unittest.TestCase):
    """A service with the tokens of a fresh SoftHSM2 folder: tok1 holds the
    keys of ivan (EC), roman (RSA) and lonely (no certificate in the list),
    tok2 is empty, and one slot is free. Cert/ holds the certificates of ivan,
    ivan2, roman and olga."""

    CERTS = ("ivan", "ivan2", "roman", "olga")
    SETTINGS = None  # of ZelkorH.my
    ENV = {}         # more of the service's environment

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zk-hsm-", dir=tmp)
        self.hsm = SoftHsm(self.folder)
        self.serial1 = self.hsm.init_token("tok1", SO_PIN, PIN)
        for name, label in (("ivan", "Іван, підпис"), ("roman", "roman rsa"), ("lonely", "lonely")):
            self.hsm.import_key("tok1", PIN, pki.path(name + ".key.pem"), ids[name], label)
        self.serial2 = self.hsm.init_token("tok2", SO_PIN, PIN)
        self.svc = Service(start=False, settings=self.SETTINGS, env=dict(self.ENV, SOFTHSM2_CONF=self.hsm.conf))
        add_dongles(self.svc, [("SoftHSM", MODULE)])
        os.makedirs(self.svc.path("Cert"), exist_ok=True)
        for name in self.CERTS:
            shutil.copy(pki.path(name + ".cer"), self.svc.path("Cert", name + ".cer"))
        self.svc.start()

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def slot(self, label):
        return self.hsm.token(label)["slot"]

    def token_params(self, label="tok1", **more):
        params = {"ProviderName": "SoftHSM", "SlotId": self.slot(label)}
        params.update(more)
        return params

    def key_objects(self, key_id):
        return [o for o in self.hsm.objects(self.serial1, PIN) if o[1] == key_id]

    def post(self, command, params, data=None, origin=None):
        xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items()) if isinstance(params, dict) else params
        return self.svc.post(command=command, params=xml, data=data, headers={"Origin": origin} if origin else None)

    def dongles(self, **params):
        env = self.post("DONGLES_LIST", params)
        self.assertEqual((env.command, env.code), ("DONGLES_LIST", 0), env.text)
        return {d.get("TokenLabel"): d for d in env.data.findall("Dongle")}, env


class Listing(TokenService):
    def test_every_slot_with_a_token_and_its_description(self):
        before = len(self.svc.log_text())
        dongles, env = self.dongles()
        self.assertEqual(set(dongles), {"tok1", "tok2", ""}, "the free slot's token is listed too")
        for label, dongle in dongles.items():
            self.assertEqual(list(dongle.keys()), DONGLE_ATTRIBUTES)
            self.assertEqual(list(dongle), [], "no keys without Keys")
            self.assertEqual(dongle.get("ProviderName"), "SoftHSM")
            self.assertEqual(dongle.get("Stationary"), "false")
            self.assertEqual(dongle.get("TokenModel"), "SoftHSM v2")
            self.assertTrue(dongle.get("TokenOID").startswith("pkcs11:model=SoftHSM%20v2;"), dongle.get("TokenOID"))
        tok1 = dongles["tok1"]
        # Slot numbers and the 16-character serial number, whole, as PKCS#11 gives them.
        self.assertEqual(tok1.get("SlotId"), self.slot("tok1"))
        self.assertEqual(len(self.serial1), 16)
        self.assertEqual(tok1.get("TokenSerialNumber"), self.serial1)
        self.assertIn("serial=%s;token=tok1" % self.serial1, tok1.get("TokenOID"))
        self.assertEqual((tok1.get("MinPinLen"), tok1.get("MaxPinLen")), ("4", "255"))
        self.assertEqual(int(tok1.get("TokenFlags")), self.hsm.token("tok1")["flags"])
        self.assertNotIn("ConnectKey", self.svc.log_text()[before:], "a plain listing opens no token")

    def test_keys_with_the_certificates_of_each_key(self):
        dongles, _ = self.dongles(Keys="true")
        keys = {k.get("Id"): k for k in dongles["tok1"].findall("Key")}
        self.assertEqual(set(keys), {ids["ivan"], ids["roman"], ids["lonely"]})
        self.assertEqual(keys[ids["ivan"]].get("Label"), "Іван, підпис")
        self.assertEqual(list(keys[ids["ivan"]].keys()), ["Id", "Index", "Label"])
        # One key, two certificates of two issuers; a key without a certificate has no children.
        self.assertEqual(sorted(c.get("IssuerSN") for c in keys[ids["ivan"]]), ["UA-11112222", "UA-36865753"])
        self.assertEqual([c.get("Name") for c in keys[ids["roman"]]], ["roman"])
        self.assertEqual(list(keys[ids["lonely"]]), [])
        cert = keys[ids["roman"]][0]
        self.assertEqual(base64.b64decode(cert.text).decode(), self.svc.path("Cert", "roman.cer"))
        self.assertEqual(list(dongles["tok2"]), [])
        self.assertEqual(list(dongles[""]), [], "the free slot cannot be opened: described only")

    def test_named_keys_alone_open_no_ordinary_token(self):
        before = len(self.svc.log_text())
        dongles, _ = self.dongles(NamedKeys="true")
        self.assertTrue(all(list(d) == [] for d in dongles.values()))
        self.assertNotIn("ConnectKey", self.svc.log_text()[before:])


class Providers(unittest.TestCase):
    def test_modules_that_cannot_be_loaded_are_skipped(self):
        folder = tempfile.mkdtemp(prefix="zk-hsm-", dir=tmp)
        hsm = SoftHsm(folder)
        hsm.init_token("only", SO_PIN, PIN)
        with Service(start=False, env={"SOFTHSM2_CONF": hsm.conf}) as svc:
            add_dongles(svc, [("Gone", os.path.join(folder, "absent.so")), ("TooLongName", MODULE),
                              ("NotP11", "/usr/lib/x86_64-linux-gnu/libz.so.1"), ("Soft", MODULE)])
            svc.start()
            env = svc.post(command="DONGLES_LIST")
            self.assertEqual(env.code, 0, env.text)
            self.assertEqual({d.get("ProviderName") for d in env.data.findall("Dongle")}, {"Soft"})
            log = svc.log_text()
            self.assertIn("Token provider 'Gone' skipped", log)
            self.assertIn("Token provider name 'TooLongName' skipped", log)
            self.assertIn("Token provider 'NotP11' skipped", log)

    def test_no_token_providers(self):
        with Service() as svc:
            env = svc.post(command="DONGLES_LIST", params={"Keys": "true"})
            self.assertEqual((env.code, list(env.data)), (0, []))


class Signing(TokenService):
    def sign(self, params, command="SET_SIGN", pin=PIN, data=DOC):
        base = {"DongleProviderName": "SoftHSM"}
        base.update(params)
        if "DongleSlotId" not in base:
            base["DongleSlotId"] = self.slot("tok1")
        if pin is not None:
            base["Pass"] = b64(pin)
        return self.post(command, base, b64(data))

    def assertSigned(self, env, signers, detached=False):
        """signers: the name of the certificate expected, or a tuple of those that may be."""
        self.assertEqual(env.code, 0, env.text)
        signature = base64.b64decode(env.data.text)
        v = cms_verify(signature, pki.path("cas.pem"), content=DOC if detached else None)
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(v.content, DOC)
        signers = signers if isinstance(signers, tuple) else (signers,)
        self.assertTrue(any(pki.read(s + ".pem").strip() in v.signer for s in signers), v.signer)
        return v

    def test_signatures_made_in_the_token_verify_with_openssl(self):
        cases = [  # (name, params, signer)
            ("EC key, certificate from the page", {"SenderCert": b64(pki.read("ivan.cer"))}, "ivan"),
            ("RSA key, certificate from the page", {"SenderCert": b64(pki.read("roman.cer"))}, "roman"),
            ("certificate found in the list by DRFO", {"DRFO": "4444444444"}, "roman"),
            ("certificate found in the list by Serial", {"Serial": ids["ivan"]}, ("ivan", "ivan2")),
        ]
        for name, params, signer in cases:
            with self.subTest(name):
                v = self.assertSigned(self.sign(params), signer)
                self.assertIn("signingCertificateV2", v.printed)

    def test_detached_signature(self):
        env = self.sign({"SenderCert": b64(pki.read("ivan.cer"))}, command="SET_EXTERNAL_SIGN")
        self.assertSigned(env, "ivan", detached=True)

    def test_refusals_with_their_codes(self):
        ivan = b64(pki.read("ivan.cer"))
        cases = [  # (name, params, pin, code)
            ("wrong PIN", {"SenderCert": ivan}, "0000-bad", 8),
            ("PIN shorter than the token allows", {"SenderCert": ivan}, "12", 8),
            ("unknown provider", {"SenderCert": ivan, "DongleProviderName": "Nope"}, PIN, 16),
            ("slot that does not exist", {"SenderCert": ivan, "DongleSlotId": "4242"}, PIN, 16),
            ("uninitialised token", {"SenderCert": ivan, "DongleSlotId": self.slot("")}, PIN, 16),
            ("certificate whose key is not on the token", {"SenderCert": b64(pki.read("olga.cer"))}, PIN, 6),
            ("token without the key", {"SenderCert": ivan, "DongleSlotId": self.slot("tok2")}, PIN, 6),
            ("no certificate in the list for the token's keys", {"DRFO": "3333333333"}, PIN, 52),
            ("empty token", {"DRFO": "1111111111", "DongleSlotId": self.slot("tok2")}, PIN, 52),
            ("a key password: named keys are not offered", {"SenderCert": ivan}, PIN + "\r\nkey-pass", 16),
        ]
        for name, params, pin, code in cases:
            with self.subTest(name):
                env = self.sign(params, pin=pin)
                self.assertEqual((env.command, env.code), ("SET_SIGN", code), env.text)
                self.assertFalse(env.data.text)
        self.assertTrue(self.hsm.login_works(self.serial1, PIN), "the refusals left the token usable")
        env = self.sign({"SenderCert": ivan}, pin=None)
        self.assertEqual((env.command, env.code), (None, 56), "no Pass: no answer of its own")

    def test_pins_stay_out_of_the_log(self):
        self.assertSigned(self.sign({"SenderCert": b64(pki.read("ivan.cer"))}), "ivan")
        self.sign({"SenderCert": b64(pki.read("ivan.cer"))}, pin="wrong-pin-8841")
        log = self.svc.log_text()
        for secret in (PIN, b64(PIN), "wrong-pin-8841", b64("wrong-pin-8841")):
            self.assertNotIn(secret, log)

    def assertSignedInParallel(self, sign, count=6):
        """Runs sign(certificate) on count threads at once, with ivan's and
        roman's certificates in turn; each answer must be signed by its own."""
        results = [None] * count
        certs = [b64(pki.read("ivan.cer")), b64(pki.read("roman.cer"))]

        def run(i):
            try:
                results[i] = sign(certs[i % 2])
            except Exception as e:  # reported below, with the others
                results[i] = e

        threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for i, env in enumerate(results):
            self.assertNotIsInstance(env, Exception)
            self.assertSigned(env, ("ivan", "roman")[i % 2])

    def test_concurrent_signers_share_the_token_one_at_a_time(self):
        slot = self.slot("tok1")
        self.assertSignedInParallel(lambda cert: self.sign({"SenderCert": cert, "DongleSlotId": slot}))


class Management(TokenService):
    CERTS = ()

    def test_init_a_free_slot(self):
        env = self.post("DONGLES_INIT", self.token_params("", AdminPass=b64("so-new-1"), UserPass=b64("user-new-1"),
                                                          Label="Мій токен"))
        self.assertEqual((env.command, env.code), ("DONGLES_INIT", 0), env.text)
        token = self.hsm.token("Мій токен")
        self.assertTrue(self.hsm.login_works(token["serial"], "user-new-1"))
        # Without UserPass the token gets no user PIN.
        free = self.hsm.token("")
        env = self.post("DONGLES_INIT", self.token_params("", AdminPass=b64("so-new-2"), Label="bare"))
        self.assertEqual(env.code, 0, env.text)
        self.assertFalse(self.hsm.token("bare")["flags"] & 0x8, "CKF_USER_PIN_INITIALIZED")
        self.assertNotEqual(free["serial"], token["serial"])
        # Initialising again asks for the token's own security officer PIN. (The slot is
        # the service's: SoftHSM2 numbers a slot anew only in the next process.)
        dongles, _ = self.dongles()
        env = self.post("DONGLES_INIT", {"ProviderName": "SoftHSM", "SlotId": dongles["Мій токен"].get("SlotId"),
                                         "AdminPass": b64("not-the-so"), "Label": "x"})
        self.assertEqual(env.code, 8, env.text)
        self.assertTrue(self.hsm.login_works(token["serial"], "user-new-1"), "the token was left as it was")

    def test_change_pin(self):
        env = self.post("DONGLES_CHANGE_PASS", self.token_params(OldPass=b64(PIN), NewPass=b64("pin-after")))
        self.assertEqual((env.command, env.code), ("DONGLES_CHANGE_PASS", 0), env.text)
        self.assertTrue(self.hsm.login_works(self.serial1, "pin-after"))
        self.assertFalse(self.hsm.login_works(self.serial1, PIN))
        env = self.post("DONGLES_CHANGE_PASS", self.token_params(OldPass=b64("wrong-old"), NewPass=b64("pin-x")))
        self.assertEqual(env.code, 8, env.text)
        self.assertTrue(self.hsm.login_works(self.serial1, "pin-after"))
        env = self.post("DONGLES_CHANGE_PASS", self.token_params(OldPass=b64("pin-after"), NewPass=b64("12")))
        self.assertEqual(env.code, 16, "a new PIN the token cannot take")
        # Named keys: the name or the identifier must be given; PKCS#11 tokens have none.
        env = self.post("DONGLES_CHANGE_PASS", self.token_params(OldPass=b64("a"), NewPass=b64("b"),
                                                                 NamedKeyDevicePass=b64("dev")))
        self.assertEqual((env.command, env.code), (None, 56))
        env = self.post("DONGLES_CHANGE_PASS", self.token_params(OldPass=b64("a"), NewPass=b64("b"),
                                                                 NamedKeyDevicePass=b64("dev"),
                                                                 NamedKeySubjectKeyId=ids["ivan"]))
        self.assertEqual(env.code, 16, env.text)

    def test_unlock_sets_a_new_user_pin_with_the_so_pin(self):
        for _ in range(3):
            self.hsm.login_works(self.serial1, "guess-1234")
        env = self.post("DONGLES_UNLOCK", self.token_params(AdminPass=b64(SO_PIN), UserPass=b64("pin-reset")))
        self.assertEqual((env.command, env.code), ("DONGLES_UNLOCK", 0), env.text)
        self.assertTrue(self.hsm.login_works(self.serial1, "pin-reset"))
        self.assertFalse(self.hsm.login_works(self.serial1, PIN))
        env = self.post("DONGLES_UNLOCK", self.token_params(AdminPass=b64("wrong-so"), UserPass=b64("pin-x2")))
        self.assertEqual(env.code, 8, env.text)
        self.assertTrue(self.hsm.login_works(self.serial1, "pin-reset"))

    def test_key_label(self):
        env = self.post("DONGLES_KEY_SET_LABEL", self.token_params(Pass=b64(PIN), KeyId=ids["roman"].lower(),
                                                                   Label="Роман, шифрування"))
        self.assertEqual((env.command, env.code), ("DONGLES_KEY_SET_LABEL", 0), env.text)
        objects = self.key_objects(ids["roman"])
        self.assertEqual(sorted(o[0] for o in objects), ["private", "public"])
        self.assertTrue(all(o[3] == "Роман, шифрування" for o in objects), objects)
        cases = [  # (name, params, code)
            ("unknown key", {"Pass": b64(PIN), "KeyId": "ABCDEF"}, 16),
            ("key identifier that is not hex", {"Pass": b64(PIN), "KeyId": "xyz"}, 16),
            ("wrong PIN", {"Pass": b64("bad-pin-1"), "KeyId": ids["roman"]}, 8),
            ("named key (device password, name, key password)",
             {"Pass": b64("dev\r\nname\r\nkey"), "KeyId": ids["roman"]}, 16),
        ]
        for name, params, code in cases:
            with self.subTest(name):
                env = self.post("DONGLES_KEY_SET_LABEL", self.token_params(Label="x", **params))
                self.assertEqual(env.code, code, env.text)
        self.assertTrue(all(o[3] == "Роман, шифрування" for o in self.key_objects(ids["roman"])))

    def test_key_delete_removes_private_and_public_objects(self):
        self.hsm.probe("import-cert", self.serial1, PIN, ids["ivan"], "ivan cert", pki.path("ivan.cer"))
        env = self.post("DONGLES_KEY_DELETE", self.token_params(Pass=b64(PIN), KeyId=ids["ivan"]))
        self.assertEqual((env.command, env.code), ("DONGLES_KEY_DELETE", 0), env.text)
        self.assertEqual([o[0] for o in self.key_objects(ids["ivan"])], ["cert"], "the certificate stays")
        self.assertEqual(len(self.key_objects(ids["roman"])), 2, "other keys stay")
        env = self.post("DONGLES_KEY_DELETE", self.token_params(Pass=b64(PIN), KeyId=ids["ivan"]))
        self.assertEqual(env.code, 16, "deleted already")
        dongles, _ = self.dongles(Keys="true")
        self.assertNotIn(ids["ivan"], [k.get("Id") for k in dongles["tok1"].findall("Key")])

    def test_files(self):
        def files(pin=PIN):
            return self.post("DONGLES_FILES_ENUM", self.token_params("tok2", Pass=b64(pin)))

        env = files()
        self.assertEqual((env.command, env.code, list(env.data)), ("DONGLES_FILES_ENUM", 0, []))
        name = "звіт №1.txt"
        content = "перший вміст".encode("utf-8")
        env = self.post("DONGLES_FILE_SET", self.token_params("tok2", Pass=b64(PIN), FileName=b64(name)), b64(content))
        self.assertEqual((env.command, env.code), ("DONGLES_FILE_SET", 0), env.text)
        self.assertEqual(self.hsm.probe("file", self.serial2, PIN, name).stdout, content)
        # Written again: replaced, one object.
        content = bytes(range(256)) * 40
        env = self.post("DONGLES_FILE_SET", self.token_params("tok2", Pass=b64(PIN), FileName=b64(name)), b64(content))
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual([o[0] for o in self.hsm.objects(self.serial2, PIN)], ["data"])
        env = self.post("DONGLES_FILE_GET", self.token_params("tok2", Pass=b64(PIN), FileName=b64(name)))
        self.assertEqual((env.command, env.code), ("DONGLES_FILE_GET", 0), env.text)
        self.assertEqual(base64.b64decode(env.data.text), content)
        # Without Data: an empty file, read back as an empty Data.
        env = self.post("DONGLES_FILE_SET", self.token_params("tok2", Pass=b64(PIN), FileName=b64("empty")))
        self.assertEqual(env.code, 0, env.text)
        env = self.post("DONGLES_FILE_GET", self.token_params("tok2", Pass=b64(PIN), FileName=b64("empty")))
        self.assertEqual((env.code, env.data.text), (0, None))
        # A name no FileName could carry back is not listed.
        self.hsm.probe("create-data", self.serial2, PIN, "n" * 70, data=b"x")
        env = files()
        self.assertEqual(sorted(base64.b64decode(e.text).decode() for e in env.data.findall("FileName")),
                         sorted([name, "empty"]))
        cases = [  # (command, params, code)
            ("DONGLES_FILE_GET", {"Pass": b64(PIN), "FileName": b64("absent")}, 16),
            ("DONGLES_FILE_GET", {"Pass": b64("bad-pin-2"), "FileName": b64(name)}, 8),
            ("DONGLES_FILE_SET", {"Pass": b64(PIN), "FileName": b64("n" * 65)}, 16),
            ("DONGLES_FILES_ENUM", {"Pass": b64("bad-pin-3")}, 8),
        ]
        for command, params, code in cases:
            with self.subTest(command=command, params=params):
                env = self.post(command, self.token_params("tok2", **params), b64(b"z") if "SET" in command else None)
                self.assertEqual(env.code, code, env.text)
                self.assertEqual(list(env.data), [])
                self.assertFalse(env.data.text)
        log = self.svc.log_text()
        self.assertNotIn(b64(content[:300]), log, "file contents are logged as their length")

    def test_missing_parameters_get_no_answer(self):
        cases = [
            ("DONGLES_INIT", {"ProviderName": "SoftHSM"}),
            ("DONGLES_INIT", {"AdminPass": b64("x")}),
            ("DONGLES_CHANGE_PASS", {"ProviderName": "SoftHSM", "OldPass": b64("x")}),
            ("DONGLES_UNLOCK", {"ProviderName": "SoftHSM", "UserPass": b64("x")}),
            ("DONGLES_KEY_SET_LABEL", {"ProviderName": "SoftHSM", "Pass": b64("x"), "KeyId": "AB"}),
            ("DONGLES_KEY_DELETE", {"ProviderName": "SoftHSM", "Pass": b64("x")}),
            ("DONGLES_FILES_ENUM", {"ProviderName": "SoftHSM", "Pass": ""}),
            ("DONGLES_FILE_GET", {"ProviderName": "SoftHSM", "Pass": b64("x")}),
            ("DONGLES_FILE_SET", {"Pass": b64("x"), "FileName": b64("f")}),
        ]
        for command, params in cases:
            with self.subTest(command=command, params=params):
                env = self.post(command, params)
                self.assertEqual((env.command, env.code), (None, 56), env.text)
        env = self.svc.post(command="DONGLES_INIT")
        self.assertEqual((env.command, env.code), (None, 56))


class PinTries(TokenService):
    """Wrong PINs slow down the next try on that token, user and security
    officer PINs alike, so that a page can neither guess at the token's speed
    nor use up the token's own tries in a burst."""

    def test_wrong_user_pins_slow_down_the_next_try_on_that_token(self):
        started = time.monotonic()
        for i in range(5):
            env = self.post("DONGLES_FILES_ENUM", self.token_params(Pass=b64("wrong-%d" % i)), origin=EVIL)
            self.assertEqual(env.code, 8, env.text)
        self.assertGreaterEqual(time.monotonic() - started, 0.25 + 0.5 + 1 + 2)
        # The same wrong PIN again is answered from memory: no try, no wait.
        self.assertEqual(self.post("DONGLES_FILES_ENUM", self.token_params(Pass=b64("wrong-0"))).code, 8)
        # Another token is not held up; the right PIN still opens this one (after its turn) and resets it.
        self.assertEqual(self.post("DONGLES_FILES_ENUM", self.token_params("tok2", Pass=b64(PIN))).code, 0)
        self.assertEqual(self.post("DONGLES_FILES_ENUM", self.token_params(Pass=b64(PIN))).code, 0)
        self.assertIn("Next password try on 'token softhsm %s' in" % self.slot("tok1"), self.svc.log_text())
        # Signing presents the PIN too: its wrong PINs count on the same token.
        signer = "<DRFO>1111111111</DRFO><DongleProviderName>SoftHSM</DongleProviderName>" \
                 "<DongleSlotId>%s</DongleSlotId><Pass>%s</Pass>" % (self.slot("tok1"), b64("wrong-sign"))
        before = len(self.svc.log_text())
        self.assertEqual(self.post("SET_SIGN", signer, b64(DOC)).code, 8)
        self.assertEqual(self.post("DONGLES_FILES_ENUM", self.token_params(Pass=b64("wrong-9"))).code, 8)
        self.assertIn("Next password try on 'token softhsm %s' in" % self.slot("tok1"), self.svc.log_text()[before:])

    def test_wrong_officer_pins_slow_down_and_leave_the_token_as_it_was(self):
        started = time.monotonic()
        for i in range(4):
            env = self.post("DONGLES_UNLOCK", self.token_params(AdminPass=b64("so-guess-%d" % i),
                                                                UserPass=b64("pwned-pin")))
            self.assertEqual(env.code, 8, env.text)
        self.assertGreaterEqual(time.monotonic() - started, 0.25 + 0.5 + 1)
        self.assertTrue(self.hsm.login_works(self.serial1, PIN))
        self.assertIn("Next password try on 'token softhsm %s SO' in" % self.slot("tok1"), self.svc.log_text())


EVIL, ADMIN = "https://evil.example", "https://admin.example"


class Consent(TokenService):
    """Operations that destroy or lock serve a page only when TokenAdminOrigins
    lists it (or the user agrees at the desktop); programs without an Origin
    as always; everything else on the token as always."""

    SETTINGS = {"TokenAdminOrigins": ADMIN}

    def destructive(self):
        return [  # (command, params, data)
            ("DONGLES_INIT", self.token_params("tok2", AdminPass=b64(SO_PIN), Label="pwned"), None),
            ("DONGLES_UNLOCK", self.token_params(AdminPass=b64(SO_PIN), UserPass=b64("pwned-pin")), None),
            ("DONGLES_CHANGE_PASS", self.token_params(OldPass=b64(PIN), NewPass=b64("pwned-pin")), None),
            ("DONGLES_KEY_DELETE", self.token_params(Pass=b64(PIN), KeyId=ids["ivan"]), None),
            ("DONGLES_FILE_SET", self.token_params("tok2", Pass=b64(PIN), FileName=b64("f")), b64(b"pwned")),
        ]

    def test_pages_not_listed_are_refused_and_the_token_stays(self):
        frame = {"Origin": "http://127.0.0.1:%d" % self.svc.port, "X-ZelkorH-Page-Origin": EVIL}
        for command, params, data in self.destructive():
            for headers in ({"Origin": EVIL}, frame):
                with self.subTest(command=command, headers=headers):
                    xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items())
                    env = self.svc.post(command=command, params=xml, data=data, headers=headers)
                    self.assertEqual((env.command, env.code), (command, 16), env.text)
                    self.assertIn("TokenAdminOrigins", env.root.findtext("Return/CSPMessage"))
        self.assertTrue(self.hsm.login_works(self.serial1, PIN))
        self.assertEqual(len(self.key_objects(ids["ivan"])), 2)
        self.assertEqual(self.hsm.objects(self.serial2, PIN), [])
        self.assertIn("tok2", self.dongles()[0])
        # What reads or signs is served as before.
        self.assertEqual(self.post("DONGLES_FILES_ENUM", self.token_params(Pass=b64(PIN)), origin=EVIL).code, 0)
        self.assertEqual(self.post("DONGLES_KEY_SET_LABEL", self.token_params(Pass=b64(PIN), KeyId=ids["roman"],
                                                                              Label="r"), origin=EVIL).code, 0)

    def test_listed_pages_and_programs_are_served(self):
        for command, params, data in self.destructive():
            for origin in (ADMIN, None):
                with self.subTest(command=command, origin=origin):
                    env = self.post(command, params, data, origin=origin)
                    # Each runs for real: a second run finds its work done (or its PIN changed).
                    self.assertIn(env.code, (0, 8, 16), env.text)
                    self.assertNotIn("TokenAdminOrigins", env.root.findtext("Return/CSPMessage") or "")
        self.assertTrue(self.hsm.login_works(self.serial1, "pwned-pin"))
        self.assertIn("pwned", self.dongles()[0])


FAKE_ZENITY = """#!/bin/sh
# Answers a question as $ZK_FAKE_ZENITY_DIR/answer says (yes or no), recording its arguments.
printf '%s\\n' "$@" > "$ZK_FAKE_ZENITY_DIR/args"
[ "$(cat "$ZK_FAKE_ZENITY_DIR/answer")" = yes ]
"""


class ConsentAtTheDesktop(TokenService):
    """In a desktop session the user is asked, in a dialog that names the
    page, the token and the operation (a fake zenity first in PATH answers)."""

    def setUp(self):
        self.fake = tempfile.mkdtemp(prefix="zk-zenity-", dir=tmp)
        with open(os.path.join(self.fake, "zenity"), "w") as f:
            f.write(FAKE_ZENITY)
        os.chmod(os.path.join(self.fake, "zenity"), 0o755)
        # A display that cannot be opened: no tray icon, but dialogs are offered.
        self.ENV = {"PATH": self.fake + ":" + os.environ["PATH"], "ZK_FAKE_ZENITY_DIR": self.fake,
                    "DISPLAY": ":999", "ASAN_OPTIONS": "detect_leaks=0"}
        super().setUp()

    def answer(self, text):
        with open(os.path.join(self.fake, "answer"), "w") as f:
            f.write(text)

    def test_the_user_decides(self):
        params = self.token_params("tok2", Pass=b64(PIN), FileName=b64("f"))
        self.answer("no")
        env = self.post("DONGLES_FILE_SET", params, b64(b"x"), origin=EVIL)
        self.assertEqual(env.code, 16, env.text)
        self.assertIn("Користувач не дозволив", env.root.findtext("Return/CSPMessage"))
        self.assertEqual(self.hsm.objects(self.serial2, PIN), [])
        with open(os.path.join(self.fake, "args"), encoding="utf-8") as f:
            args = f.read()
        self.assertIn("--question", args)
        self.assertIn("Сайт «%s» просить записати файл на токен" % EVIL, args)
        self.assertIn("Токен: «SoftHSM», слот %s" % self.slot("tok2"), args)
        self.answer("yes")
        self.assertEqual(self.post("DONGLES_FILE_SET", params, b64(b"x"), origin=EVIL).code, 0)
        self.assertEqual([o[0] for o in self.hsm.objects(self.serial2, PIN)], ["data"])


class ContainerEnvelopes(Signing):
    """CTX_ENCRYPT by a sender whose key is on the token, CTX_DECRYPT with a
    recipient key that decrypts (RSA) or derives (EC) inside the token;
    every envelope is also opened by openssl cms -decrypt."""

    def setUp(self):
        super().setUp()
        # softhsm2-util imports EC keys without the right to derive: ivan's key agrees keys here.
        self.hsm.probe("allow-derive", self.serial1, PIN, ids["ivan"])

    def envelope_for(self, names):
        from pkifixtures import cms_encrypt
        return cms_encrypt(DOC, [pki.path(n + ".pem") for n in names])

    def test_sender_on_the_token(self):
        certs = "<Certs>%s</Certs>" % "".join("<Cert>%s</Cert>" % b64(pki.read(n + ".cer")) for n in ("olga", "roman"))
        env = self.sign({"SenderCert": b64(pki.read("ivan.cer")), "Certs": certs[7:-8]}, command="CTX_ENCRYPT")
        self.assertEqual(env.code, 0, env.text)
        from pkifixtures import cms_decrypt
        envelope = base64.b64decode(env.data.text)
        for name in ("olga", "roman"):
            self.assertEqual(cms_decrypt(envelope, pki.path(name + ".pem"), pki.path(name + ".key.pem")), DOC)

    def test_recipient_keys_on_the_token(self):
        sender = b64(pki.read("olga.cer"))
        cases = [  # (name, recipients, params, code)
            ("RSA recipient named by its certificate", ["olga", "roman"],
             {"RecipientCert": b64(pki.read("roman.cer"))}, 0),
            ("EC recipient named by its certificate", ["ivan"], {"RecipientCert": b64(pki.read("ivan.cer"))}, 0),
            ("recipients searched among the token's keys", ["olga", "lonely", "ivan"], {}, 0),
            ("no recipient's key on the token", ["olga"], {}, 52),
            ("a named recipient whose key is elsewhere", ["olga", "ivan"],
             {"RecipientCert": b64(pki.read("olga.cer"))}, 6),
        ]
        for name, recipients, params, code in cases:
            with self.subTest(name):
                params = dict(params, SenderCert=sender)
                env = self.sign(params, command="CTX_DECRYPT", data=self.envelope_for(recipients))
                self.assertEqual((env.command, env.code), ("CTX_DECRYPT", code), env.text)
                self.assertEqual(base64.b64decode(env.data.text or ""), DOC if code == 0 else b"")
        self.assertTrue(self.hsm.login_works(self.serial1, PIN), "the token was let go")


class KeptSessions(TokenService):
    """A token session opened with a kept PIN (Pass Preserve="true") stays
    logged in for the page's origin: later requests of that origin with that
    PIN sign without connecting again (the log's "Before ConnectKey" lines
    count the connects), until something forgets it or needs the token."""

    BANK, EVIL = "https://bank.example", "https://evil.example"
    assertSigned = Signing.assertSigned
    assertSignedInParallel = Signing.assertSignedInParallel

    def kept_sign(self, params=None, pin=PIN, preserve=True, origin=BANK, slot=None):
        fields = {"DongleProviderName": "SoftHSM", "DongleSlotId": slot or self.slot("tok1")}
        fields.update(params or {"SenderCert": b64(pki.read("ivan.cer"))})
        xml = "".join("<%s>%s</%s>" % (k, v, k) for k, v in fields.items())
        xml += '<Pass Preserve="%s">%s</Pass>' % ("true" if preserve else "false", b64(pin))
        return self.svc.post(command="SET_SIGN", params=xml, data=b64(DOC), headers={"Origin": origin})

    def connects(self):
        return self.svc.log_text().count("Before ConnectKey")

    def keep(self):
        self.assertSigned(self.kept_sign(), "ivan")

    def test_kept_session_signs_for_its_origin_and_pin_without_connecting_again(self):
        self.keep()
        before = self.connects()
        self.assertSigned(self.kept_sign(), "ivan")
        self.assertSigned(self.kept_sign({"DRFO": "4444444444"}), "roman")  # another key of the same token
        self.assertSigned(self.kept_sign({"Serial": ids["ivan"]}), ("ivan", "ivan2"))
        self.assertSignedInParallel(lambda cert: self.kept_sign({"SenderCert": cert}))
        self.assertEqual(self.connects(), before, "every request used the kept session")
        # A request that only looks at another token leaves it kept.
        env = self.kept_sign({"DRFO": "1111111111"}, slot=self.slot("tok2"))
        self.assertEqual(env.code, 52, env.text)
        self.assertSigned(self.kept_sign(), "ivan")
        self.assertEqual(self.connects(), before + 1)
        for secret in (PIN, b64(PIN)):
            self.assertNotIn(secret, self.svc.log_text())

    def test_each_way_of_forgetting_it(self):
        files = lambda origin=None: self.svc.post(
            command="DONGLES_FILES_ENUM", params="<ProviderName>SoftHSM</ProviderName><SlotId>%s</SlotId>"
            "<Pass>%s</Pass>" % (self.slot("tok1"), b64(PIN)), headers={"Origin": origin or self.BANK})
        cases = [  # (name, what forgets it: returns the answer, code)
            ("a request of its origin without Preserve", lambda: self.kept_sign(preserve=False), 0),
            ("a request of its origin with another PIN", lambda: self.kept_sign(pin="0000-bad"), 8),
            ("a named key of the same token", lambda: self.kept_sign(pin=PIN + "\r\nkey-pass"), 16),
            ("a request of another origin", lambda: self.kept_sign(origin=self.EVIL), 0),
            ("a listing that rebuilds the certificate list", lambda: self.svc.post(command="GET_CERT_FILES"), 0),
            ("CLEAN", lambda: self.svc.post(command="CLEAN"), 0),
            ("DONGLES_LIST with the tokens' keys", lambda: self.svc.post(
                command="DONGLES_LIST", params="<Keys>true</Keys>"), 0),
            # The token is let go of first: the command does not wait for it.
            ("a management command on the token, of the same origin", files, 0),
            ("a management command on the token, of another origin", lambda: files(self.EVIL), 0),
            ("a key pair generated on the token", lambda: self.svc.post(
                command="GEN_CERTIF_REQUEST", params="<Pass>%s</Pass><Subject1><Name>new</Name><KeyUsage>192</KeyUsage>"
                "</Subject1><DongleProviderName>SoftHSM</DongleProviderName><DongleSlotId>%s</DongleSlotId>"
                % (b64(PIN), self.slot("tok1"))), 0),
        ]
        for name, forget, code in cases:
            with self.subTest(name):
                self.keep()
                let_go = self.svc.log_text().count("Kept token session(s) let go")
                env = forget()
                self.assertEqual(env.code, code, env.text)
                self.assertEqual(self.svc.log_text().count("Kept token session(s) let go"), let_go + 1)
                before = self.connects()
                self.assertSigned(self.kept_sign(), "ivan")
                self.assertEqual(self.connects(), before + 1, "connected afresh")
        # A changed PIN: the session logged in with the old one serves no more.
        self.keep()
        env = self.svc.post(command="DONGLES_CHANGE_PASS", params="<ProviderName>SoftHSM</ProviderName><SlotId>%s"
                            "</SlotId><OldPass>%s</OldPass><NewPass>%s</NewPass>" % (self.slot("tok1"), b64(PIN),
                                                                                      b64("new-7391")))
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual(self.kept_sign().code, 8)
        self.assertSigned(self.kept_sign(pin="new-7391"), "ivan")

    def test_only_a_pin_that_logged_in_is_kept(self):
        cases = [  # (name, pin, preserve, code)
            ("wrong PIN", "0000-bad", True, 8),
            ("without Preserve", PIN, False, 0),
            ("a named key", PIN + "\r\nkey-pass", True, 16),
        ]
        for name, pin, preserve, code in cases:
            with self.subTest(name):
                self.assertEqual(self.kept_sign(pin=pin, preserve=preserve).code, code)
                before = self.connects()
                self.assertSigned(self.kept_sign(), "ivan")
                self.assertEqual(self.connects(), before + 1, "nothing was kept")
                self.svc.post(command="CLEAN")
        # An empty PIN is no PIN: never served by a kept session.
        self.keep()
        env = self.kept_sign(pin="")
        self.assertNotEqual(env.code, 0, env.text)
        self.assertFalse(env.data.text if env.data is not None else None)


if __name__ == "__main__":
    unittest.main()
