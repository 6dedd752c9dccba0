"""Local data through the running service: the data blob, the password slot,
SQL tables (protected ones across a restart), DB_DROP, and the small crypto
commands SYMMETRIC and CHECK_EXTERNAL_SIGN."""

import base64
import os
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from zkservice import BUILD_BIN, Service

XSI_NIL = "{http://www.w3.org/2001/XMLSchema-instance}nil"
ZKPKI = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tools", "zkpki")


def b64(text):
    return base64.b64encode(text if isinstance(text, bytes) else text.encode("utf-8")).decode()


def base_param(name, key=None):
    attrs = ' TYPE="PROT" KEY="%s"' % b64(key) if key is not None else ""
    return "<Base%s>%s</Base>" % (attrs, b64(name))


class DataStore(unittest.TestCase):
    def setUp(self):
        self.svc = Service()

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def sql(self, name, query, key=None):
        return self.svc.post(command="DB_COMMAND", params=base_param(name, key) + "<Query>%s</Query>" % b64(query))

    def rows(self, env):
        self.assertEqual(env.code, 0, env.text)
        text = base64.b64decode(env.data.findtext("Result") or "")
        if not text:
            return []
        root = ET.fromstring(text)
        self.assertEqual(root.tag, "DECLAR")
        return [[(f.get("NAME"), None if f.get(XSI_NIL) == "true" else (f.text or "")) for f in row]
                for row in root.findall("ROW")]

    def data_file(self, name):
        return self.svc.path("Data", name)

    def test_large_data_read_as_text_is_the_text_that_came(self):
        # A large Data text that is canonical Base64 is decoded as the request
        # arrives; a command that keeps Data as text still gets the very text
        # (and the log its length), padded or not, and so does text that only
        # looks like Base64 up to a point.
        cases = [b64(os.urandom(300000)), b64(os.urandom(300001)), b64(os.urandom(300002)),
                 b64(os.urandom(300000)) + "QR==", b64(os.urandom(150000)) + "-" + b64(os.urandom(150000))]
        with Service(settings={"LogMaxSize": 4000000}) as svc:
            for text in cases:
                with self.subTest(length=len(text), end=text[-4:]):
                    self.assertEqual(svc.post(command="SAVE_DATA", data=text).code, 0)
                    with open(svc.path("Data", "UserData.dat"), "rb") as f:
                        self.assertEqual(f.read(), text.encode())
                    self.assertEqual(svc.post(command="LOAD_DATA").data.text, text)
                    svc.wait_for_log("[%d bytes]" % len(text))

    def test_blob_across_pages_and_password_of_one_origin(self):
        text = "Дані сторінки: «лапки», ґ є ї & <teg> №7"
        self.assertEqual(self.svc.post(command="SAVE_DATA", data=text).code, 0)
        with open(self.data_file("UserData.dat"), "rb") as f:
            self.assertEqual(f.read(), text.encode("utf-8"))
        # Another connection, another page, over TLS: the same bytes come back.
        env = self.svc.post(command="LOAD_DATA", tls=True, headers={"Origin": "https://other.example"})
        self.assertEqual((env.code, env.data.text), (0, text))

        self.assertEqual(self.svc.post(command="SAVE_DATA").code, 0)
        self.assertFalse(os.path.exists(self.data_file("UserData.dat")))
        self.assertEqual(self.svc.post(command="SAVE_DATA").code, 12)

        env = self.svc.post(command="SAVE_PASSWORD", params={"Pass": "Таємниця 1"},
                            headers={"Origin": "https://first.example"})
        self.assertEqual(env.code, 0)
        # The saved password serves the page's own origin only (over either port).
        env = self.svc.post(command="RETRIEVE_PASSWORD", tls=True, headers={"Origin": "https://second.example"})
        self.assertEqual((env.code, env.data.find("Pass")), (1, None))
        env = self.svc.post(command="RETRIEVE_PASSWORD", tls=True, headers={"Origin": "https://first.example"})
        self.assertEqual((env.code, env.data.findtext("Pass")), (0, "Таємниця 1"))
        self.assertNotIn("Таємниця", self.svc.log_text())
        self.assertEqual(self.svc.post(command="CLEAN_PASSWORD", headers={"Origin": "https://first.example"}).code, 0)
        self.assertEqual(self.svc.post(command="RETRIEVE_PASSWORD", headers={"Origin": "https://first.example"}).code, 1)

    def test_rows_of_every_type(self):
        env = self.sql("Types", "CREATE TABLE t(i INTEGER, r REAL, s TEXT, b BLOB, n);"
                                "INSERT INTO t VALUES(7, 0.5, 'Київ', X'CAFE', NULL), (8, -1.5, '', X'', 1)")
        self.assertEqual(self.rows(env), [])
        self.assertEqual(env.data.findtext("Base"), "types")
        rows = self.rows(self.sql("types", "SELECT * FROM t ORDER BY i"))
        self.assertEqual(rows, [
            [("i", "7"), ("r", "0.5"), ("s", "Київ"), ("b", "yv4="), ("n", None)],
            [("i", "8"), ("r", "-1.5"), ("s", ""), ("b", None), ("n", "1")],
        ])
        env = self.sql("types", "SELECT * FROM missing")
        self.assertEqual((env.code, env.message), (1, "no such table: missing"))
        self.assertEqual(self.svc.post(command="DB_COMMAND", params=base_param("a_b") + "<Query>%s</Query>"
                                       % b64("SELECT 1")).code, 56)

    def test_protected_database_across_a_restart(self):
        marker = "SECRET-ROW-VALUE-42"
        key = "ключ бази"
        query = "CREATE TABLE t(v TEXT); BEGIN;" + ("INSERT INTO t VALUES('%s');" % marker) * 100 + "COMMIT;"
        self.assertEqual(self.sql("vault", query, key).code, 0)
        self.assertEqual(self.svc.stop(), 0)
        with open(self.data_file("vault.db"), "rb") as f:
            content = f.read()
        self.assertGreater(len(content), 4096)
        self.assertNotIn(marker.encode(), content)
        self.assertNotIn(b"SQLite format 3", content)

        self.svc.start()
        env = self.sql("vault", "SELECT count(*) AS n FROM t WHERE v = '%s'" % marker, "wrong key")
        self.assertEqual(env.code, 26)
        self.assertEqual(env.message, "file is not a database")
        rows = self.rows(self.sql("vault", "SELECT count(*) AS n FROM t WHERE v = '%s'" % marker, key))
        self.assertEqual(rows, [[("n", "100")]])

    def test_drop_all_removes_the_data_blob(self):
        self.assertEqual(self.svc.post(command="SAVE_DATA", data="blob").code, 0)
        self.assertEqual(self.sql("one", "CREATE TABLE t(a)").code, 0)
        self.assertEqual(self.sql("two", "CREATE TABLE t(a)", "k").code, 0)
        env = self.svc.post(command="DB_DROP", params="<Base>%s</Base>" % b64("two"))
        self.assertEqual((env.code, env.data.findtext("Base")), (0, "two"))
        self.assertEqual(sorted(os.listdir(self.svc.path("Data"))), ["UserData.dat", "one.db"])
        env = self.svc.post(command="DB_DROP", params="<Base>%s</Base>" % b64("ALL"))
        self.assertEqual((env.code, env.data.findtext("Base")), (0, "all"))
        self.assertEqual(os.listdir(self.svc.path("Data")), [])
        self.assertIsNone(self.svc.post(command="LOAD_DATA").data.text)


class SmallCrypto(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.svc = Service()
        cls.tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)
        cls.tmp.cleanup()

    def symmetric(self, direction, data, key, seed=None):
        params = {"DIR": direction, "KEY": b64(key)}
        if seed is not None:
            params["SEED"] = b64(seed)
        return self.svc.post(command="SYMMETRIC", params=params, data=base64.b64encode(data).decode())

    def test_symmetric_round_trip(self):
        small = "Таємний документ".encode("utf-8") + bytes(range(256))
        for seed, plain in ((None, small), ("сіль", small), (None, small + os.urandom(300000))):
            with self.subTest(seed=seed, size=len(plain)):
                sealed = self.symmetric("1", plain, "ключ", seed)
                self.assertEqual(sealed.code, 0, sealed.text)
                cipher = base64.b64decode(sealed.data.text)
                self.assertNotIn(plain[:16], cipher)
                opened = self.symmetric("0", cipher, "ключ", seed)
                self.assertEqual((opened.code, base64.b64decode(opened.data.text)), (0, plain))
                # The other seed choice cannot open it.
                other = self.symmetric("0", cipher, "ключ", None if seed else "сіль")
                self.assertEqual(other.code, 13)

    def test_random_bytes(self):
        env = self.svc.post(command="GET_RANDOM", params={"Length": "65536"})
        self.assertEqual((env.code, len(base64.b64decode(env.data.text))), (0, 65536))
        self.assertEqual(self.svc.post(command="GET_RANDOM", params={"Length": "65537"}).code, 56)

    def test_detached_signature_made_by_openssl(self):
        pki = os.path.join(self.tmp.name, "pki")
        subprocess.run([ZKPKI, "ca", "--out", pki, "--name", "ca"], check=True, capture_output=True)
        subprocess.run([ZKPKI, "user", "--out", pki, "--name", "signer", "--ca", os.path.join(pki, "ca")],
                       check=True, capture_output=True)
        # Large enough to be decoded as the request arrives.
        document = "Заява №5\n".encode("utf-8") + bytes(range(32)) + os.urandom(300000)
        doc_path = os.path.join(self.tmp.name, "doc.bin")
        with open(doc_path, "wb") as f:
            f.write(document)
        signature = subprocess.run(["openssl", "cms", "-sign", "-binary", "-in", doc_path, "-outform", "DER",
                                    "-signer", os.path.join(pki, "signer.pem"),
                                    "-inkey", os.path.join(pki, "signer.key.pem")],
                                   check=True, capture_output=True).stdout
        with open(os.path.join(pki, "signer.cer"), "rb") as f:
            signer = f.read()

        def check(data, returns):
            params = "<Sign>%s</Sign>" % b64(signature) + ("<ReturnSigns>true</ReturnSigns>" if returns else "")
            return self.svc.post(command="CHECK_EXTERNAL_SIGN", params=params, data=b64(data))

        env = check(document, True)
        self.assertEqual(env.code, 0, env.text)
        self.assertEqual(base64.b64decode(env.data.findtext("Cert")), signer)
        env = check(document, False)
        self.assertEqual((env.code, len(env.data), env.data.text), (0, 0, None))
        env = check(document + b"!", True)
        self.assertEqual((env.code, env.message), (11, "Невірний підпис"))
        self.assertIsNone(env.data.find("Cert"))


if __name__ == "__main__":
    unittest.main()
