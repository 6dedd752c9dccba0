"""SAVE_CERT through the running service: certificates sent as bytes (DER or
PEM) or fetched by address are stored byte for byte as Cert/<Serial>.cer and
listed at once; the walk stops at the first failure; downloads verify TLS,
follow no redirect and are bounded in size; a page's addresses must be
public unless AllowPrivateTargets=1, and a page learns one code whatever
went wrong."""
import base64
import os
import shutil
import unittest

from httppeer import Peer, make_ca, make_cert
from pkifixtures import module_pki
from zkservice import Service, escape, free_port, request_xml


def setUpModule():
    global pki, ids, tmp, web
    tmp, pki = module_pki("zk-savecert-", "ca")
    ids = {name: pki.user(name, "ca", "--drfo", drfo) for name, drfo in
           (("anna", "1212121212"), ("bohdan", "3434343434"), ("web", "5656565656"))}
    web = os.path.join(tmp, "web")  # what the certificate server serves
    os.makedirs(web)
    shutil.copy(pki.path("web.cer"), os.path.join(web, "web.cer"))
    with open(os.path.join(web, "big.cer"), "wb") as f:
        f.write(pki.read("web.cer") + b"\0" * (1 << 20))
    with open(os.path.join(web, "note.txt"), "w") as f:
        f.write("not a certificate")


def b64(data):
    return base64.b64encode(data).decode()


def save_cert(svc, *items, headers=None):
    """items: ("CertBlk", bytes) or ("CertUrl", text), in this order."""
    params = "".join("<%s>%s</%s>" % (k, escape(b64(v) if isinstance(v, bytes) else v), k) for k, v in items)
    return svc.post(xml='<?xml version="1.0" encoding="utf-8"?><Request><Command>SAVE_CERT</Command>'
                        '<Params>%s</Params></Request>' % params, headers=headers)


PAGE = {"Origin": "https://page.example"}


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


class SaveCertFromPages(unittest.TestCase):
    def test_pages_fetch_from_public_addresses_only(self):
        # Before: any page had the service GET any address of this machine or
        # its networks, and read from the answer what was there.
        with Service() as svc, Peer(root=web, log=os.path.join(tmp, "page.log")) as peer:
            for url in (peer.url("/web.cer"), peer.url("/web.cer").replace("127.0.0.1", "localhost"),
                        "http://[::1]:%d/web.cer" % peer.port, "http://10.255.255.1/web.cer",
                        "http://0.0.0.0:%d/web.cer" % peer.port):
                with self.subTest(url):
                    env = save_cert(svc, ("CertUrl", url), headers=PAGE)
                    self.assertEqual((env.code, env.message, env.csp_message or None),
                                     (3, "Помилка одержання інформації з сертифікату", None))
            self.assertEqual(peer.requests(), [])
            self.assertIn("not a public address", svc.log_text())
            self.assertFalse(os.path.exists(svc.path("Cert", ids["web"] + ".cer")))
            # A program of the user (no Origin) fetches as before.
            self.assertEqual(save_cert(svc, ("CertUrl", peer.url("/web.cer"))).code, 0)
            self.assertEqual(len(peer.requests()), 1)

    def test_allow_private_targets_and_one_answer_for_every_failure(self):
        with Service(settings={"AllowPrivateTargets": 1}) as svc, Peer(root=web) as peer:
            self.assertEqual(save_cert(svc, ("CertUrl", peer.url("/web.cer")), headers=PAGE).code, 0)
            # Not found, too large, nobody listening: one answer.
            answers = {save_cert(svc, ("CertUrl", url), headers=PAGE).text
                       for url in (peer.url("/missing.cer"), peer.url("/big.cer"),
                                   "http://127.0.0.1:%d/web.cer" % free_port())}
            self.assertEqual(len(answers), 1, answers)


if __name__ == "__main__":
    unittest.main()
