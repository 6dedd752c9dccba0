"""The certificate and key commands through the running service: listings and
the two certificate renderings, key checks and password changes, key
identifiers, certificate retrieval, the key folder, Cyrillic paths, and
certificates named outside the scanned folders."""

import base64
import configparser
import os
import shutil
import subprocess
import unittest

from pkifixtures import b64, module_pki
from zkservice import Service

PASS = "пароль 1"
ENTRY_ATTRIBUTES = ["DRFO", "EDRPOU", "Name", "OrgNm", "Type", "Serial", "Issuer", "IssuerSN", "SN", "DateBeg",
                    "DateEnd", "CanCrypt", "CanSign", "IsQualified", "IsKeyInDevice"]
DETAIL_ELEMENTS = ["DRFO", "EDRPOU", "Name", "OrgNm", "Issuer", "Email", "Title", "PostalCode", "Obl", "Rayon",
                   "Adres", "Tel", "SN", "IssuerSN", "UnitName", "EDDRU", "Serial", "Type", "DtBeg", "DtEnd",
                   "CanCrypt", "CanSign", "IsQualified", "IsKeyInDevice"]
USAGES = {"ku80": ("0x80", "0", "0"), "kuC0": ("0xC0", "1", "0"), "ku10": ("0x10", "0", "1"),
          "ku08": ("0x08", "0", "1"), "ku20": ("0x20", "0", "0")}  # name: (key usage, CanSign, CanCrypt)


def setUpModule():
    global pki, ids, tmp
    tmp, pki = module_pki("zk-keys-", "ca")
    ids = {
        "ivan": pki.user("ivan", "ca", "--cn", "Іван Петренко", "--drfo", "1111111111", "--email", "ivan@example.org",
                         "--eku", "clientAuth,1.2.804.2.1.1.1.3.9"),
        "cyr": pki.user("cyr", "ca", "--cn", "Олена Коваль", "--drfo", "7777777777"),
        "noend": pki.user("noend", "ca", "--no-end"),
        "old": pki.user("old", "ca", "--expired"),
        "stray": pki.user("stray", "ca", "--drfo", "8888888888"),
    }
    for name, (ku, _, _) in USAGES.items():
        ids[name] = pki.user(name, "ca", "--ku", ku)
    pki.keyfile(pki.path("ivan.pfx"), PASS, "ivan")
    ids.update(pki.two_key_file(pki.path("two-keys.dat"), PASS, "5555555555"))
    pki.keyfile(pki.path("cyr.key"), PASS, "cyr", fmt="p8pem")
    pki.keyfile(pki.path("stray.key"), PASS, "stray", fmt="p8pem")


class KeyCommands(unittest.TestCase):
    def setUp(self):
        self.svc = Service(start=False)
        self.put("ivan.cer", "ivan.pfx")
        self.put("sign2.cer", "enc2.cer", "two-keys.dat", folder="two")
        self.put("noend.cer", "old.cer", *(n + ".cer" for n in USAGES), folder="usage")
        # A Cyrillic folder and file name, as a user's drive may have them.
        self.cyr_folder = self.svc.path("Cert", "Ключі")
        os.makedirs(self.cyr_folder)
        shutil.copy(pki.path("cyr.cer"), os.path.join(self.cyr_folder, "Коваль.cer"))
        shutil.copy(pki.path("cyr.key"), os.path.join(self.cyr_folder, "Коваль.key"))
        self.svc.start()

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def put(self, *names, folder=""):
        os.makedirs(self.svc.path("Cert", folder), exist_ok=True)
        for name in names:
            shutil.copy(pki.path(name), self.svc.path("Cert", folder, name))

    def post(self, command, params=None):
        return self.svc.post(command=command, params=params)

    def entries(self, params=None):
        env = self.post("GET_CERT_FILES", params)
        self.assertEqual(env.code, 0, env.text)
        return {e.get("Serial"): e for e in env.data.findall("Cert")}

    def token(self, name):
        return self.entries()[ids[name]].text

    def check(self, token, password, preserve=None):
        attr = ' Preserve="%s"' % preserve if preserve else ""
        env = self.post("CHECK_CERT_KEY", "<Cert>%s</Cert><Pass%s>%s</Pass>" % (token, attr, b64(password)))
        return env.code, env.detailing

    # --- renderings ---

    def test_list_entry_and_detailed_description(self):
        entries = self.entries()
        self.assertEqual(len(entries), 11)
        ivan = entries[ids["ivan"]]
        self.assertEqual(list(ivan.attrib), ENTRY_ATTRIBUTES)
        self.assertEqual((ivan.get("Name"), ivan.get("DRFO"), ivan.get("IssuerSN")),
                         ("Іван Петренко", "1111111111", "UA-36865753"))
        self.assertEqual(base64.b64decode(ivan.text).decode(), self.svc.path("Cert", "ivan.cer"))

        env = self.post("GET_INFO_CERT", "<Cert>%s</Cert>" % ivan.text)
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual([e.tag for e in env.data], DETAIL_ELEMENTS + ["ExtKeyUsageExt"])
        self.assertEqual([o.text for o in env.data.find("ExtKeyUsageExt")], ["1.3.6.1.5.5.7.3.2", "1.2.804.2.1.1.1.3.9"])
        self.assertEqual((env.data.findtext("Email"), env.data.findtext("Serial")), ("ivan@example.org", ids["ivan"]))
        self.assertEqual(env.data.findtext("DtBeg"), ivan.get("DateBeg"))

    def test_usage_flags_in_both_renderings(self):
        entries = self.entries()
        for name, (ku, can_sign, can_crypt) in USAGES.items():
            with self.subTest(key_usage=ku):
                e = entries[ids[name]]
                self.assertEqual((e.get("CanSign"), e.get("CanCrypt")), (can_sign, can_crypt))
                detail = self.post("GET_INFO_CERT", "<Cert>%s</Cert>" % e.text).data
                flag = {"1": "true", "0": "false"}
                self.assertEqual((detail.findtext("CanSign"), detail.findtext("CanCrypt")),
                                 (flag[can_sign], flag[can_crypt]))
                self.assertIsNone(detail.find("ExtKeyUsageExt"), "no element without extended key usage")

    def test_no_end_date_and_expiry_filter(self):
        entries = self.entries()
        self.assertEqual(entries[ids["noend"]].get("DateEnd"), "")
        detail = self.post("GET_INFO_CERT", "<Serial>%s</Serial>" % ids["noend"]).data
        self.assertIsNotNone(detail.find("DtEnd"))
        self.assertFalse(detail.findtext("DtEnd"))
        current = self.entries("<Exceeded>false</Exceeded>")
        self.assertNotIn(ids["old"], current)
        self.assertIn(ids["noend"], current)

    def test_listing_with_a_password_keeps_certificates_whose_key_opens(self):
        listed = self.entries("<Pass>%s</Pass>" % b64(PASS))
        self.assertEqual(set(listed), {ids["ivan"], ids["sign2"], ids["enc2"], ids["cyr"]})
        self.assertEqual(self.entries("<Pass>%s</Pass>" % b64("невірний")), {})

    # --- Cyrillic paths ---

    def test_cyrillic_path_survives_the_round_trip(self):
        token = self.token("cyr")
        path = os.path.join(self.cyr_folder, "Коваль.cer")
        self.assertEqual(base64.b64decode(token).decode("utf-8"), path)
        self.assertEqual(self.check(token, PASS), (0, "0"))
        env = self.post("GET_CERT", "<Cert>%s</Cert>" % token)
        self.assertEqual(base64.b64decode(env.data.text), pki.read("cyr.cer"))
        self.assertEqual(self.post("GET_INFO_CERT", "<Cert>%s</Cert>" % token).data.findtext("Name"), "Олена Коваль")

    # --- key checks and password changes ---

    def test_change_password_then_check_new_and_old(self):
        token = self.token("ivan")
        key = self.svc.path("Cert", "ivan.pfx")
        with open(key, "rb") as f:
            original = f.read()
        mode = os.stat(key).st_mode
        change = lambda old, new: self.post(
            "CHANGE_KEY_PASS", "<Cert>%s</Cert><OldPass>%s</OldPass><NewPass>%s</NewPass>" % (token, b64(old), b64(new)))
        self.assertEqual(self.check(token, PASS), (0, "0"))
        self.assertEqual(self.check(token, "невірний"), (8, "2"))

        env = change("невірний", "новий")
        self.assertEqual((env.code, env.detailing), (8, None))
        with open(key, "rb") as f:
            self.assertEqual(f.read(), original, "a failed change leaves the key file as it was")

        self.assertEqual(change(PASS, "новий пароль").code, 0)
        self.assertEqual(self.check(token, "новий пароль"), (0, "0"))
        self.assertEqual(self.check(token, PASS), (8, "2"))
        p = subprocess.run(["openssl", "pkcs12", "-in", key, "-passin", "pass:новий пароль", "-nodes", "-nocerts"],
                           capture_output=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(os.stat(key).st_mode, mode, "the replaced file keeps its mode")
        self.assertEqual([n for n in os.listdir(self.svc.path("Cert")) if "tmp" in n], [])

    def test_key_file_larger_than_10240_bytes_changes_whole(self):
        # A PEM key file after a long comment: far larger than the buffers
        # of a key file, and never cut.
        folder = self.svc.path("Cert", "big")
        os.makedirs(folder)
        shutil.copy(pki.path("stray.cer"), os.path.join(folder, "stray.cer"))
        key = os.path.join(folder, "stray.key")
        with open(key, "wb") as f:
            f.write(b"# comment line of the key file\n" * 500 + pki.read("stray.key"))
        self.assertGreater(os.path.getsize(key), 10240)
        token = self.token("stray")
        env = self.post("CHANGE_KEY_PASS", "<Cert>%s</Cert><OldPass>%s</OldPass><NewPass>%s</NewPass>" %
                        (token, b64(PASS), b64("новий")))
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual(self.check(token, "новий"), (0, "0"))
        p = subprocess.run(["openssl", "pkcs8", "-in", key, "-passin", "pass:новий"], capture_output=True)
        self.assertEqual(p.returncode, 0, p.stderr)

    def test_refusals_and_missing_certificates(self):
        token = self.token("ivan")
        cases = [  # (command, params, code)
            ("CHECK_CERT_KEY", "<Cert>%s</Cert>" % token, 56),
            ("CHECK_CERT_KEY", "<Pass>%s</Pass>" % b64(PASS), 56),
            ("CHANGE_KEY_PASS", "<Cert>%s</Cert><OldPass>%s</OldPass>" % (token, b64(PASS)), 56),
            ("GET_SUBJ_KEY_ID", "<Pass>%s</Pass>" % b64(PASS), 56),
            ("GET_CERT", "<IssuerSN>UA-36865753</IssuerSN>", 56),
            ("GET_CERT", "<Serial>00FF</Serial>", 52),
            ("GET_INFO_CERT", "<CertBlk>%s</CertBlk>" % b64(b"no certificate"), 56),
            ("GET_INFO_CERT", "<Cert>%s</Cert>" % b64("/nowhere/x.cer"), 56),
            ("GET_SK_FILES", "<KeyUsage>16</KeyUsage>", 56),
            ("KEY_FOLDER", "<KeyFolder></KeyFolder>", 56),
        ]
        for command, params, code in cases:
            with self.subTest(command=command, params=params):
                self.assertEqual(self.post(command, params).code, code)

    def test_deleted_certificate_answers_52_and_leaves_the_list(self):
        token = self.token("ivan")
        os.remove(self.svc.path("Cert", "ivan.cer"))
        self.assertEqual(self.check(token, PASS), (52, None))
        self.assertEqual(self.post("GET_CERT", "<Cert>%s</Cert>" % token).code, 52)
        self.assertNotIn(ids["ivan"], self.entries())

    def test_certificates_outside_the_scanned_folders_are_refused(self):
        outside = os.path.join(self.svc.work, "elsewhere")
        os.makedirs(outside)
        for name in ("stray.cer", "stray.key"):
            shutil.copy(pki.path(name), os.path.join(outside, name))
        with open(os.path.join(outside, "stray.key"), "rb") as f:
            key = f.read()
        for path in (os.path.join(outside, "stray.cer"), "/etc/hostname", self.svc.path("ZelkorH.my")):
            token = b64(path)
            with self.subTest(path=path):
                self.assertEqual(self.check(token, PASS), (52, None))
                env = self.post("GET_CERT", "<Cert>%s</Cert>" % token)
                self.assertEqual((env.code, env.data.text), (52, None))
                env = self.post("CHANGE_KEY_PASS", "<Cert>%s</Cert><OldPass>%s</OldPass><NewPass>%s</NewPass>" %
                                (token, b64(PASS), b64("x")))
                self.assertEqual(env.code, 52)
                self.assertEqual(self.post("GET_INFO_CERT", "<Cert>%s</Cert>" % token).code, 56)
        with open(os.path.join(outside, "stray.key"), "rb") as f:
            self.assertEqual(f.read(), key)

    # --- key files and identifiers ---

    def test_key_files_with_their_certificates(self):
        env = self.post("GET_SK_FILES", "<Pass>%s</Pass>" % b64(PASS))
        keys = {k.get("Serial"): [c.get("Serial") for c in k.findall("Cert")] for k in env.data.findall("Key")}
        self.assertEqual(keys, {ids["ivan"]: [ids["ivan"]], ids["sign2"]: [ids["sign2"]],
                                ids["enc2"]: [ids["enc2"]], ids["cyr"]: [ids["cyr"]]})
        self.assertEqual([k.get("Serial") for k in env.data.findall("Key")], sorted(keys))

        # KeyUsage 16 (data encipherment): no paired certificate has it.
        env = self.post("GET_SK_FILES", "<Pass>%s</Pass><KeyUsage>16</KeyUsage>" % b64(PASS))
        self.assertEqual({k.get("Serial"): len(k) for k in env.data.findall("Key")}, {i: 0 for i in keys})
        env = self.post("GET_SK_FILES", "<Pass>%s</Pass><KeyUsage>8</KeyUsage>"
                        "<ExcludeKeysWithFilteredCerts>true</ExcludeKeysWithFilteredCerts>" % b64(PASS))
        self.assertEqual([k.get("Serial") for k in env.data.findall("Key")], [ids["enc2"]])
        self.assertEqual(self.post("GET_SK_FILES", "<Pass>%s</Pass>" % b64("невірний")).data.findall("Key"), [])

    def test_subject_key_identifiers(self):
        cases = [  # (key file, password, code, Id1, Id2)
            ("ivan.pfx", PASS, 0, ids["ivan"], None),
            ("two-keys.dat", PASS, 0, ids["sign2"], ids["enc2"]),
            ("cyr.key", PASS, 0, ids["cyr"], None),
            ("ivan.pfx", "невірний", 8, None, None),
        ]
        for name, password, code, id1, id2 in cases:
            with self.subTest(key=name, password=password):
                env = self.post("GET_SUBJ_KEY_ID", "<SK>%s</SK><Pass>%s</Pass>" % (b64(pki.read(name)), b64(password)))
                self.assertEqual((env.code, env.data.findtext("Id1"), env.data.findtext("Id2")), (code, id1, id2))

    # --- retrieval ---

    def test_certificate_lookups(self):
        ivan = self.entries()[ids["ivan"]]
        by = {
            "token": "<Cert>%s</Cert>" % ivan.text,
            "Serial": "<Serial>%s</Serial>" % ids["ivan"],
            "IssuerSN and SN": "<IssuerSN>%s</IssuerSN><SN>%s</SN>" % (ivan.get("IssuerSN"), ivan.get("SN").lower()),
        }
        for name, params in by.items():
            with self.subTest(lookup=name):
                env = self.post("GET_CERT", params)
                self.assertEqual((env.code, base64.b64decode(env.data.text)), (0, pki.read("ivan.cer")))
                env = self.post("GET_INFO_CERT", params)
                self.assertEqual((env.code, env.data.findtext("Serial")), (0, ids["ivan"]))
        # Bytes of a certificate found on no drive.
        env = self.post("GET_INFO_CERT", "<CertBlk>%s</CertBlk>" % b64(pki.read("stray.cer")))
        self.assertEqual((env.code, env.data.findtext("DRFO")), (0, "8888888888"))

    # --- key folder ---

    def test_key_folder(self):
        ini = self.svc.path("Cert", "Params.ini")
        env = self.post("KEY_FOLDER", "<KeyFolder>%s</KeyFolder>" % os.path.join(self.svc.work, "missing"))
        self.assertEqual(env.code, 53)
        self.assertFalse(os.path.exists(ini))

        # A certificate whose key lives only in the key folder.
        keys = os.path.join(self.svc.work, "Мої ключі")
        os.makedirs(keys)
        shutil.copy(pki.path("stray.key"), os.path.join(keys, "stray.key"))
        self.put("stray.cer")
        token = self.token("stray")
        self.assertEqual(self.check(token, PASS), (6, "3"), "only keys of other certificates are found")
        env = self.post("KEY_FOLDER", "<KeyFolder>%s</KeyFolder><KeyFolder/>" % keys)
        self.assertEqual(env.code, 0)
        parser = configparser.ConfigParser(interpolation=None)
        with open(ini, encoding="utf-8") as f:
            parser.read_string(f.read())
        self.assertEqual(parser["common"]["KeyPath"], keys)
        self.assertEqual(self.check(token, PASS), (0, "0"))


if __name__ == "__main__":
    unittest.main()
