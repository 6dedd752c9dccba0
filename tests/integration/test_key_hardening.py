"""Key derivations and key folders a page chooses, through the real service:
each test replays an attack and checks the sound outcome, with the
legitimate use beside it.

- the iteration counts of password-based key derivation in key files and key
  stores a page sends (PKCS#12 MAC and encryption, legacy PKCS#12 schemes,
  PKCS#8 PBES2 with PBKDF2 or scrypt) are capped at 10^7 before anything is
  derived;
- a derivation in progress stops when its client goes away;
- the service's own folders are never key or certificate folders, even when
  a setting written earlier names one;
- KEY_FOLDER takes only existing folders the user can list, and refuses all
  else alike;
- key files found on disk: the same cap, and a time budget per request.

The hostile files are made by openssl with an iteration count of 2049 that is
then rewritten in their DER (pkifixtures.der_replace_integers)."""

import base64
import configparser
import os
import time
import unittest

from pkifixtures import der_to_pem, b64, cms_verify, der_elements, der_replace_integers, der_tlv, openssl, pem_to_der, module_pki
from zkservice import Service, SharedServiceCase, form_body, request_xml

PASS = "пароль 1"
DOC = "Платіжка №3".encode("utf-8")
MADE_WITH = 2049  # the iteration count the fixtures are made with
HUGE = 2 ** 31 - 1
CAP = 10_000_000
# Time an answer may take where the attack used to take minutes (a generous
# bound: sanitizer builds are slow, the derivations themselves are not).
AT_ONCE = 10


def setUpModule():
    global pki, tmp, ivan_id
    tmp, pki = module_pki("zk-keyhard-", "ca")
    ivan_id = pki.user("ivan", "ca", "--drfo", "1111111111")


def pkcs12(*options, iterations=MADE_WITH):
    return openssl("pkcs12", "-export", "-inkey", pki.path("ivan.key.pem"), "-in", pki.path("ivan.pem"),
                   "-passout", "pass:" + PASS, "-iter", iterations, *options)


def pkcs8(*options):
    return openssl("pkcs8", "-topk8", "-in", pki.path("ivan.key.pem"), "-passout", "pass:" + PASS, "-outform", "DER",
                   *options)


def pem(der):
    return der_to_pem(der, "ENCRYPTED PRIVATE KEY")


def patched(der, old=MADE_WITH, new=HUGE, first=None):
    out, count = der_replace_integers(der, old, new, first)
    assert count, "nothing to patch"
    return out


def mac_patched(p12, new=HUGE):
    """The PKCS#12 with the iteration count of its MAC alone made new (the
    last INTEGER of MacData, the last element of the outer SEQUENCE)."""
    version, auth_safe, mac_data = der_elements(p12)
    digest_info, salt, _ = der_elements(mac_data)
    count = new.to_bytes(max(1, (new.bit_length() + 8) // 8), "big")
    return der_tlv(0x30, version + auth_safe + der_tlv(0x30, digest_info + salt + der_tlv(0x02, count)))


def subj_key_id(svc, key, password=PASS, **kwargs):
    return svc.post(command="GET_SUBJ_KEY_ID", params="<SK>%s</SK><Pass>%s</Pass>" % (b64(key), b64(password)),
                    **kwargs)


def timed(call):
    started = time.monotonic()
    result = call()
    return result, time.monotonic() - started


class DerivationCap(SharedServiceCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.hostile = [  # (what, key file or store bytes)
            ("PKCS#12 MAC", mac_patched(pkcs12(), HUGE)),
            # In openssl's order: the encrypted certificate safe, the shrouded key, the MAC.
            ("PKCS#12 certificate safe, PBES2/PBKDF2", patched(pkcs12(), first=1)),
            ("PKCS#12 key bag, PBES2/PBKDF2", patched(pkcs12("-certpbe", "NONE"), first=1)),
            ("PKCS#12 legacy 3DES and RC2-40", patched(pkcs12("-legacy"))),
            ("PKCS#12 with every count at the cap", patched(pkcs12(), new=CAP)),  # three of them: 3 * 10^7 in all
            ("PKCS#8 PBES2/PBKDF2, DER", patched(pkcs8("-v2", "aes-256-cbc", "-iter", MADE_WITH))),
            ("PKCS#8 PBES2/PBKDF2, PEM", pem(patched(pkcs8("-v2", "aes-256-cbc", "-iter", MADE_WITH)))),
            ("PKCS#8 PBES2/PBKDF2 just above the cap", patched(pkcs8("-v2", "aes-256-cbc", "-iter", MADE_WITH),
                                                               new=CAP + 1)),
            # N * r * p = 1024 * 8 * 2000: 1.6 * 10^7 in 2.1 MiB.
            ("PKCS#8 scrypt work", patched(pkcs8("-scrypt", "-scrypt_N", 1024, "-scrypt_r", 8, "-scrypt_p", 3), 3,
                                           2000)),
            # N = 2^18, r = 8, p = 1: 256 MiB, 2.1 * 10^6 in work.
            ("PKCS#8 scrypt memory", patched(pkcs8("-scrypt", "-scrypt_N", 1024, "-scrypt_r", 8, "-scrypt_p", 1),
                                             1024, 2 ** 18)),
        ]

    def test_counts_beyond_the_cap_are_refused_at_once(self):
        # Before: a MAC count of 2^26 cost 5.3 s of CPU per request; eight at
        # 2^31 - 1 starved every other request.
        for what, key in self.hostile:
            with self.subTest(key=what):
                env, took = timed(lambda: subj_key_id(self.svc, key))
                self.assertEqual((env.code, env.message), (7, "Некоректний формат секретного ключа"))
                self.assertRegex(env.csp_message, "iterations|memory")
                self.assertLess(took, AT_ONCE)
        self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)

    def test_every_command_that_opens_page_key_files_applies_the_cap(self):
        store = mac_patched(pkcs12(), HUGE)
        key = patched(pkcs8("-v2", "aes-256-cbc", "-iter", MADE_WITH))
        calls = {
            "CTX_GET_JKS_CERTS": lambda: self.svc.post(command="CTX_GET_JKS_CERTS", params="<Pass>%s</Pass>" % b64(PASS),
                                                       data=b64(store)),
            "CTX_GET_JKS_KEYS": lambda: self.svc.post(command="CTX_GET_JKS_KEYS", params="<Pass>%s</Pass>" % b64(PASS),
                                                      data=b64(store)),
            "SET_SIGN with SenderSK": lambda: self.svc.post(
                command="SET_SIGN", data=b64(DOC), params="<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK>"
                "<Pass>%s</Pass>" % (b64(pki.read("ivan.cer")), b64(key), b64(PASS))),
        }
        for name, call in calls.items():
            with self.subTest(command=name):
                env, took = timed(call)
                self.assertEqual(env.code, 7, env.text)
                self.assertLess(took, AT_ONCE)

    def test_usual_key_files_still_open_and_sign(self):
        usual = [
            ("PKCS#12 by openssl's defaults", openssl("pkcs12", "-export", "-inkey", pki.path("ivan.key.pem"), "-in",
                                                      pki.path("ivan.pem"), "-passout", "pass:" + PASS)),
            ("PKCS#12 legacy 3DES key, plain certificates", pkcs12("-keypbe", "PBE-SHA1-3DES", "-certpbe", "NONE")),
            ("PKCS#8 PBES2 with HMAC-SHA512", pkcs8("-v2", "aes-256-cbc", "-v2prf", "hmacWithSHA512")),
            ("PKCS#8 PEM", pem(pkcs8("-v2", "aes-128-cbc"))),
            ("PKCS#8 scrypt, openssl's defaults", pkcs8("-scrypt")),
        ]
        for what, key in usual:
            with self.subTest(key=what):
                env = subj_key_id(self.svc, key)
                self.assertEqual((env.code, env.data.findtext("Id1")), (0, ivan_id), env.text)
                self.assertEqual(subj_key_id(self.svc, key, "невірний").code, 8)
                env = self.svc.post(command="SET_SIGN", data=b64(DOC), params=(
                    "<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK><Pass>%s</Pass>" %
                    (b64(pki.read("ivan.cer")), b64(key), b64(PASS))))
                self.assertEqual(env.code, 0, env.text)
                v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
                self.assertTrue(v.ok, v.stderr)
                self.assertEqual(pem_to_der(v.signer), pki.read("ivan.cer"))
        env = self.svc.post(command="CTX_GET_JKS_CERTS", params="<Pass>%s</Pass>" % b64(PASS), data=b64(usual[0][1]))
        self.assertEqual(len(env.data.findall("Certs/Cert")), 1, env.text)


class DerivationOfAClientGone(unittest.TestCase):
    def test_derivation_stops_when_the_client_goes(self):
        # Within the cap, but slow: 10^7 - 1 iterations of HMAC-SHA512 take
        # seconds. Before, it ran to its end after the client had gone.
        key = patched(pkcs8("-v2", "aes-256-cbc", "-v2prf", "hmacWithSHA512", "-iter", MADE_WITH), new=CAP - 1)
        with Service() as svc:
            conn = svc.connection()
            xml = request_xml("GET_SUBJ_KEY_ID", "<SK>%s</SK><Pass>%s</Pass>" % (b64(key), b64(PASS)))
            conn.request("POST", "/", body=form_body(xml),
                         headers={"Content-Type": "application/x-www-form-urlencoded"})
            self.assertTrue(svc.wait_for_log("Enter. Command: 'GET_SUBJ_KEY_ID'"))
            time.sleep(0.3)
            conn.close()  # the page is gone
            self.assertTrue(svc.wait_for_log("'key derivation: the request was given up'", timeout=AT_ONCE))
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)


def refused(env):
    return env.code, env.message, env.csp_code


class KeyFolders(unittest.TestCase):
    def setUp(self):
        self.svc = Service()
        self.ini = self.svc.path("Cert", "Params.ini")

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def key_folder(self, path):
        return self.svc.post(command="KEY_FOLDER", params="<KeyFolder>%s</KeyFolder>" % path)

    def kept(self):
        if not os.path.exists(self.ini):
            return None
        parser = configparser.ConfigParser(interpolation=None)
        with open(self.ini, encoding="utf-8") as f:
            parser.read_string(f.read())
        return parser.get("common", "KeyPath", fallback=None)

    def test_only_listable_folders_outside_the_service_are_taken(self):
        svc = self.svc
        work = svc.work
        for name in ("TEMP", "Updates", os.path.join("Data", "sub")):
            os.makedirs(svc.path(name), exist_ok=True)
        keys = os.path.join(work, "keys")
        os.makedirs(keys)
        a_file = os.path.join(work, "notes.txt")
        with open(a_file, "w") as f:
            f.write("x")
        link = os.path.join(work, "innocent")
        os.symlink(svc.path("Data"), link)
        self.assertEqual(self.key_folder(keys).code, 0)
        self.assertEqual(self.kept(), keys)

        # Before: 0 for /etc/shadow and a file stored as the key folder, 53 for
        # a missing path (a path oracle); the Data folder was taken, and a page's
        # SAVE_DATA file became everyone's key file.
        refusals = {
            "the program folder": svc.folder,
            "Data": svc.path("Data"),
            "below Data": svc.path("Data", "sub"),
            "View": svc.path("View"),
            "TEMP": svc.path("TEMP"),
            "CertStorage": svc.path("CertStorage"),
            "Updates": svc.path("Updates"),
            "a link to Data": link,
            "Data through ..": svc.path("Cert", "..", "Data") + "/",
            "a file": a_file,
            "a file of the system": "/etc/shadow",
            "a missing path": os.path.join(work, "missing"),
            "a relative path": "keys",
            "a path longer than the setting keeps": keys + "/." * 200,
        }
        if os.geteuid() != 0:  # root lists any folder
            locked = os.path.join(work, "locked")
            os.makedirs(locked, mode=0o000)
            refusals["a folder the user cannot list"] = locked
        answers = set()
        for what, path in refusals.items():
            with self.subTest(folder=what):
                env = self.key_folder(path)
                answers.add(refused(env))
                self.assertEqual(env.code, 53)
                self.assertEqual(self.kept(), keys, "nothing is stored")
        self.assertEqual(answers, {(53, "Відсутній файл секретного ключа", "0")}, "every refusal looks the same")

        # The Cert folder beside the executable is a folder for keys (the demo set lives there).
        self.assertEqual(self.key_folder(svc.path("Cert") + "/").code, 0)
        self.assertEqual(self.kept(), svc.path("Cert"))

    def test_a_pages_data_file_never_becomes_a_key_file(self):
        # Before: a page stored a key file through SAVE_DATA, pointed KEY_FOLDER
        # at Data, and every site's GET_SK_FILES listed (and derived) it, after
        # restarts too.
        svc = self.svc
        planted = pem(pkcs8("-v2", "aes-256-cbc"))
        self.assertEqual(svc.post(command="SAVE_DATA", data=planted.decode()).code, 0)
        self.assertEqual(self.key_folder(svc.path("Data")).code, 53)
        # Settings written before this change, then a restart.
        with open(self.ini, "w") as f:
            f.write("[common]\nKeyPath=%s\n" % svc.path("Data"))
        with open(svc.path("Params.ini"), "w") as f:
            f.write("[common]\nUsrCertPath=%s\n" % svc.path("Data"))
        self.assertEqual(svc.stop(), 0)
        svc.start()
        since = len(svc.log_text())
        env = svc.post(command="GET_SK_FILES", params="<Pass>%s</Pass>" % b64(PASS), headers={"Origin": "https://b.example"})
        self.assertEqual(env.code, 0)
        self.assertEqual(env.data.findall("Key"), [])
        log = svc.log_text()[since:]
        self.assertIn("Skipped: '%s' (a folder of the service's own)" % svc.path("Data"), log)
        self.assertNotIn("UserData.dat", log)

    def test_key_files_on_disk_get_the_cap_and_the_search_a_time_budget(self):
        svc = self.svc
        keys = os.path.join(svc.work, "keys")
        os.makedirs(keys)
        good = pkcs8("-v2", "aes-256-cbc")
        with open(os.path.join(keys, "good.key"), "wb") as f:
            f.write(good)
        with open(os.path.join(keys, "huge.key"), "wb") as f:
            f.write(patched(pkcs8("-v2", "aes-256-cbc", "-iter", MADE_WITH)))
        self.assertEqual(self.key_folder(keys).code, 0)
        env, took = timed(lambda: svc.post(command="GET_SK_FILES", params="<Pass>%s</Pass>" % b64(PASS)))
        self.assertEqual([k.get("Serial") for k in env.data.findall("Key")], [ivan_id])
        self.assertLess(took, AT_ONCE)

        # Many files within the cap but slow (each a wrong key for the password,
        # so each takes its whole derivation): the request stops at its budget
        # for key checks instead of deriving them all (about 40 s of CPU here).
        slow = patched(pkcs8("-v2", "aes-256-cbc", "-iter", MADE_WITH), new=CAP - 1)
        for i in range(12):
            with open(os.path.join(keys, "slow%02d.key" % i), "wb") as f:
                f.write(slow)
        since = len(svc.log_text())
        env, took = timed(lambda: svc.post(command="GET_SK_FILES", params="<Pass>%s</Pass>" % b64(PASS)))
        self.assertEqual(env.code, 0)
        self.assertTrue(svc.wait_for_log("Key search stopped: the request's time for key checks is spent",
                                         since=since, timeout=1))
        self.assertLess(took, 20)
        self.assertEqual(svc.post(command="GET_VERSION").code, 0)


if __name__ == "__main__":
    unittest.main()
