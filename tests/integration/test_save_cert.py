"""SAVE_CERT through the running service: certificates sent as bytes (DER or
PEM) or fetched by address are stored byte for byte as Cert/<Serial>.cer and
listed at once; the walk stops at the first failure; downloads verify TLS,
follow no redirect and are bounded in size."""
import base64
import os
import shutil
import tempfile
import unittest

from httppeer import Peer, make_ca, make_cert
from pkifixtures import Pki
from zkservice import Service, escape, request_xml


def setUpModule():
    global pki, ids, tmp, web
    tmp = tempfile.mkdtemp(prefix="zk-savecert-")
    pki = Pki(os.path.join(tmp, "pki"))
    pki.ca("ca")
    ids = {name: pki.user(name, "ca", "--drfo", drfo) for name, drfo in
           (("anna", "1212121212"), ("bohdan", "3434343434"), ("web", "5656565656"))}
    web = os.path.join(tmp, "web")  # what the certificate server serves
    os.makedirs(web)
    shutil.copy(pki.path("web.cer"), os.path.join(web, "web.cer"))
    with open(os.path.join(web, "big.cer"), "wb") as f:
        f.write(pki.read("web.cer") + b"\0" * (1 << 20))
    with open(os.path.join(web, "note.txt"), "w") as f:
        f.write("not a certificate")


def tearDownModule():
    shutil.rmtree(tmp, ignore_errors=True)


def b64(data):
    return base64.b64encode(data).decode()


def save_cert(svc, *items):
    """items: ("CertBlk", bytes) or ("CertUrl", text), in this order."""
    params = "".join("<%s>%s</%s>" % (k, escape(b64(v) if isinstance(v, bytes) else v), k) for k, v in items)
    return svc.post(xml='<?xml version="1.0" encoding="utf-8"?><Request><Command>SAVE_CERT</Command>'
                        '<Params>%s</Params></Request>' % params)


class SaveCert(unittest.TestCase):
    def setUp(self):
        self.svc = Service()

    def tearDown(self):
        self.svc.__exit__(None, None, None)

    def stored(self):
        folder = self.svc.path("Cert")
        return sorted(n for n in os.listdir(folder) if not n.startswith("demo-")) if os.path.isdir(folder) else []

    def listed_serials(self):
        env = self.svc.post(command="GET_CERT_FILES")
        return sorted(c.get("Serial") for c in env.data.iter("Cert"))

    def test_bytes_are_stored_as_sent_and_listed(self):
        self.assertEqual(self.listed_serials(), [])
        pem = pki.read("bohdan.pem")
        env = save_cert(self.svc, ("CertBlk", pki.read("anna.cer")), ("CertBlk", pem))
        self.assertEqual(env.code, 0)
        self.assertEqual(self.stored(), sorted([ids["anna"] + ".cer", ids["bohdan"] + ".cer"]))
        with open(self.svc.path("Cert", ids["bohdan"] + ".cer"), "rb") as f:
            self.assertEqual(f.read(), pem)  # PEM kept as it came
        self.assertEqual(self.listed_serials(), sorted([ids["anna"], ids["bohdan"]]))
        # Saving again replaces the file.
        self.assertEqual(save_cert(self.svc, ("CertBlk", pki.read("anna.cer"))).code, 0)

    def test_first_failure_ends_the_walk(self):
        env = save_cert(self.svc, ("CertBlk", b"not a certificate"), ("CertBlk", pki.read("anna.cer")))
        self.assertNotEqual(env.code, 0)
        self.assertEqual(self.stored(), [])
        self.assertEqual(save_cert(self.svc, ("CertBlk", b"")).code, 1)
        # Without CertBlk or CertUrl the request is refused.
        self.assertEqual(save_cert(self.svc, ("Other", "x")).code, 56)
        self.assertEqual(self.svc.post(command="SAVE_CERT").code, 56)

    def test_downloads(self):
        with Peer(root=web, log=os.path.join(tmp, "plain.log")) as plain:
            env = save_cert(self.svc, ("CertUrl", plain.url("/web.cer")))
            self.assertEqual(env.code, 0)
            self.assertEqual(self.stored(), [ids["web"] + ".cer"])
            for url, code in ((plain.url("/missing.cer"), 3),       # 404
                              (plain.url("/redirect"), 3),          # not followed
                              (plain.url("/big.cer"), 3),           # over the bound
                              ("file:///etc/passwd", 3),            # not http
                              (plain.url("/note.txt"), None)):      # not a certificate: the provider's code
                with self.subTest(url):
                    got = save_cert(self.svc, ("CertUrl", url)).code
                    self.assertNotEqual(got, 0)
                    if code is not None:
                        self.assertEqual(got, code)
            self.assertNotIn("GET /status/200", plain.requests())
            self.assertEqual(self.stored(), [ids["web"] + ".cer"])
        # HTTPS with a CA the system does not trust: refused before any request.
        make_ca(tmp, "tlsca")
        cert = make_cert(tmp, "tls", "tlsca", "IP:127.0.0.1")
        with Peer(root=web, cert=cert[0], key=cert[1], log=os.path.join(tmp, "tls.log")) as tls:
            self.assertEqual(save_cert(self.svc, ("CertUrl", tls.url("/web.cer"))).code, 3)
            self.assertEqual(tls.requests(), [])


if __name__ == "__main__":
    unittest.main()
