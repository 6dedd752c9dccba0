"""Timestamps, OCSP, CMP and validation data through the running service,
against peers that start here on free loopback ports and share no code with
the service: a timestamp authority and a CMP server on OpenSSL alone
(tests/fixtures/pkipeer), `openssl ocsp -port` over an index with good and
revoked certificates, and small Python peers that misbehave (down, 500,
garbage, too slow, a replayed answer) or forward as an HTTP proxy.
Tokens are checked with openssl ts -verify, containers with openssl cms."""

import base64
import contextlib
import hashlib
import http.server
import os
import shutil
import socketserver
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

import httppeer

from pkifixtures import b64, cms_verify, der_children, der_element, openssl, openssl_result, signature_value, \
    signed_data_fields, signer_infos, module_pki
from zkservice import BUILD_BIN, Service, free_port, service_with

PASS = "пароль 1"
DOC = "Наказ №7: «затверджено»\n".encode("utf-8")
PKIPEER = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "fixtures", "pkipeer")
OID_TST = bytes.fromhex("060b2a864886f70d010910020e")            # id-aa-signatureTimeStampToken
OID_CERT_VALUES = bytes.fromhex("060b2a864886f70d0109100217")    # id-aa-ets-certValues
OID_REVOC_VALUES = bytes.fromhex("060b2a864886f70d0109100218")   # id-aa-ets-revocationValues
KEY_USERS = ("alice", "bob")


def setUpModule():
    global tmp, pki, tsa_peer, ocsp, ids, serials
    tmp, pki = module_pki("zk-net-", "ca")
    # The timestamp authority's certificate needs a critical timeStamping usage.
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            pki.path("tsa.key"), "-out", pki.path("tsa.pem"), "-subj", "/CN=Test TSA", "-days", "30", "-addext",
            "extendedKeyUsage=critical,timeStamping")
    tsa_peer = Process([PKIPEER, "tsa", "--cert", pki.path("tsa.pem"), "--key", pki.path("tsa.key")])
    ocsp_port = free_port()
    ocsp_url, tsa_url = "http://127.0.0.1:%d/" % ocsp_port, tsa_peer.url
    # alice: good, with both access points; bob: revoked, OCSP access point;
    # carol: unknown to the responder, no access point; dave: good, none.
    ids = {
        "alice": pki.user("alice", "ca", "--drfo", "2000000001", "--ocsp", ocsp_url, "--tsp", tsa_url),
        "bob": pki.user("bob", "ca", "--drfo", "2000000002", "--ocsp", ocsp_url),
        "carol": pki.user("carol", "ca", "--drfo", "2000000003"),
        "dave": pki.user("dave", "ca", "--drfo", "2000000004"),
    }
    for name in KEY_USERS:
        pki.keyfile(pki.path(name + ".pfx"), PASS, name)
    serials = {n: openssl("x509", "-noout", "-serial", "-in", pki.path(n + ".pem")).decode().strip().split("=")[1]
               for n in ids}
    with open(pki.path("index.txt"), "w") as f:
        f.write("V\t351231235959Z\t\t%s\tunknown\t/CN=alice\n" % serials["alice"])
        f.write("R\t351231235959Z\t240102030405Z,keyCompromise\t%s\tunknown\t/CN=bob\n" % serials["bob"])
        f.write("V\t351231235959Z\t\t%s\tunknown\t/CN=dave\n" % serials["dave"])
    with open(pki.path("index.txt.attr"), "w") as f:
        f.write("unique_subject = no\n")
    ocsp = OcspResponder(ocsp_port)


def tearDownModule():
    ocsp.stop()
    tsa_peer.stop()


class Process:
    """A peer that prints its port first and serves until its input closes."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())
        self.url = "http://127.0.0.1:%d/" % self.port

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


class OcspResponder:
    """openssl ocsp -port, signing with the CA's key; keeps the last request in req.der."""

    def __init__(self, port):
        self.port = port
        self.request_file = pki.path("req.der")
        self.proc = subprocess.Popen(
            ["openssl", "ocsp", "-port", str(port), "-index", pki.path("index.txt"), "-CA", pki.path("ca.pem"),
             "-rsigner", pki.path("ca.pem"), "-rkey", pki.path("ca.key.pem"), "-nmin", "60", "-ignore_err",
             "-reqout", self.request_file], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Ready when it answers a real request: openssl ocsp serves one
        # connection at a time and waits forever on one that sends nothing.
        deadline = time.monotonic() + 30
        while openssl_result("ocsp", "-issuer", pki.path("ca.pem"), "-cert", pki.path("dave.pem"), "-url",
                             "http://127.0.0.1:%d/" % port, "-timeout", "2", "-noverify")[0] != 0:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("openssl ocsp did not start")
            time.sleep(0.1)

    def last_request_text(self):
        return openssl("ocsp", "-reqin", self.request_file, "-req_text").decode()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class Canned:
    """An HTTP peer whose every POST gets one answer: (status, body) or a delay."""

    def __init__(self, status=200, body=b"", delay=0):
        canned = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length", 0)))
                time.sleep(canned.delay)
                try:
                    self.send_response(canned.status)
                    self.send_header("Content-Length", str(len(canned.body)))
                    self.end_headers()
                    self.wfile.write(canned.body)
                except OSError:
                    pass

        self.status, self.body, self.delay = status, body, delay
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class ForwardingProxy(Canned):
    """A forward HTTP proxy: absolute-form POSTs are passed on when
    Proxy-Authorization carries the expected user and password (or none is
    expected); every request's authorization is kept in seen."""

    def __init__(self, credentials=None):
        proxy = self
        self.seen = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                auth = self.headers.get("Proxy-Authorization")
                proxy.seen.append((self.path, auth))
                want = credentials and "Basic " + base64.b64encode(credentials.encode()).decode()
                if want and auth != want:
                    self.send_response(407)
                    self.send_header("Proxy-Authenticate", 'Basic realm="p"')
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                req = urllib.request.Request(self.path, data=body,
                                             headers={"Content-Type": self.headers.get("Content-Type")})
                answer = urllib.request.urlopen(req, timeout=10).read()
                self.send_response(200)
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def write(name, data):
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def host(address, port=None, timeout=None):
    xml = "<Address>%s</Address>" % address
    if port is not None:
        xml += "<Port>%s</Port>" % port
    if timeout is not None:
        xml += "<Timeout>%s</Timeout>" % timeout
    return "<Host>%s</Host>" % xml


def cert_b64(name):
    return b64(pki.read(name + ".cer"))


def unsigned_attributes(signer_info):
    """{attribute type OID (DER): [value DER, ...]} of a SignerInfo's unsignedAttrs."""
    _, start, end = der_element(signer_info, 0)
    out = {}
    for tag, _, content, stop in der_children(signer_info, start, end):
        if tag != 0xA1:
            continue
        for _, s, c, e in der_children(signer_info, content, stop):
            (_, os_, _, oe), (_, _, vc, ve) = der_children(signer_info, c, e)
            out.setdefault(signer_info[os_:oe], []).extend(
                signer_info[vs:vend] for _, vs, _, vend in der_children(signer_info, vc, ve))
    return out


def fields(container):
    return [container[s:e] for _, s, _, e in signed_data_fields(container)]


def ts_verify(token_or_response, data, token=False):
    args = ["ts", "-verify", "-data", write("ts-data.bin", data), "-in", write("ts-in.der", token_or_response),
            "-CAfile", pki.path("tsa.pem")]
    if token:
        args.append("-token_in")
    return openssl_result(*args)


class NetworkCase(unittest.TestCase):
    ini = None

    @classmethod
    def setUpClass(cls):
        cls.svc = service_with([pki.path(n + ext) for n in KEY_USERS for ext in (".cer", ".pfx")], cls.ini)

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)

    def post(self, command, params="", data=None, headers=None, svc=None):
        return (svc or self.svc).post(command=command, params=params, data=None if data is None else b64(data),
                                      headers=headers)

    def ok(self, env):
        self.assertEqual(env.code, 0, env.text[:2000])
        return env

    def container(self, signers=("alice",)):
        data = DOC
        for i, name in enumerate(signers):
            command = "CTX_CREATE_CONTAINER" if i == 0 else "CTX_ADD_SIGNATURE"
            env = self.ok(self.post(command, "<DRFO>%s</DRFO><Pass>%s</Pass>" % (ids_drfo(name), b64(PASS)), data))
            data = base64.b64decode(env.data.text)
        return data

    def timestamp(self, params, data=DOC, headers=None, svc=None):
        return self.post("CTX_REQUEST_TIMESTAMP", params, data, headers=headers, svc=svc)


def ids_drfo(name):
    return {"alice": "2000000001", "bob": "2000000002"}[name]


class Timestamps(NetworkCase):
    def assert_info(self, info, data):
        self.assertEqual(info.findtext("Status"), "0")
        self.assertEqual(info.findtext("FailInfo"), "0")
        self.assertEqual(info.findtext("Hash"), hashlib.sha256(data).hexdigest())
        self.assertRegex(info.findtext("TimeValue"), r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d$")
        self.assertEqual(base64.b64decode(info.findtext("Cert")), openssl("x509", "-outform", "DER", "-in",
                                                                          pki.path("tsa.pem")))

    def test_request_from_host_and_from_the_access_point_verifies_with_openssl(self):
        cases = {
            "Host": "<SenderCert>%s</SenderCert>%s" % (cert_b64("carol"), host(tsa_peer.url)),
            "host and port": "<SenderCert>%s</SenderCert>%s" % (cert_b64("carol"), host("127.0.0.1", tsa_peer.port)),
            "access point": "<SenderCert>%s</SenderCert>" % cert_b64("alice"),
            "access point of the DRFO's certificate": "<DRFO>2000000001</DRFO>",
        }
        for name, params in cases.items():
            with self.subTest(name):
                env = self.ok(self.timestamp(params))
                response = base64.b64decode(env.data.findtext("Response"))
                self.assertEqual(env.data.findtext("WSAResponse"), "0")
                self.assert_info(env.data.find("Info"), DOC)
                rc, out, err = ts_verify(response, DOC)
                self.assertEqual(rc, 0, err)
                self.assertIn(b"Verification: OK", out)
                # A response for other data does not verify.
                self.assertNotEqual(ts_verify(response, DOC + b"x")[0], 0)

    def test_get_timestamp_info_of_responses(self):
        env = self.ok(self.timestamp("<SenderCert>%s</SenderCert>" % cert_b64("alice")))
        response = base64.b64decode(env.data.findtext("Response"))
        info = self.ok(self.post("CTX_GET_TIMESTAMP_INFO", data=response)).data.find("Info")
        self.assert_info(info, DOC)
        self.assertEqual(info.findtext("TimeValue"), env.data.find("Info").findtext("TimeValue"))

        # A refusal made by openssl ts -reply (an imprint algorithm the
        # authority does not take): status 2, failure bit badAlg (0).
        cnf = write("tsa.cnf", ("[tsa]\ndefault_tsa = one\n[one]\nserial = %s\ncrypto_device = builtin\n"
                                "signer_cert = %s\nsigner_key = %s\nsigner_digest = sha256\n"
                                "default_policy = 1.2.3.4.1\ndigests = sha256\n"
                                % (os.path.join(tmp, "serial"), pki.path("tsa.pem"), pki.path("tsa.key"))).encode())
        query = os.path.join(tmp, "q.tsq")
        openssl("ts", "-query", "-data", write("doc.bin", DOC), "-sha512", "-out", query)
        refusal = openssl("ts", "-reply", "-config", cnf, "-queryfile", query)
        info = self.ok(self.post("CTX_GET_TIMESTAMP_INFO", data=refusal)).data.find("Info")
        self.assertEqual((info.findtext("Status"), info.findtext("FailInfo")), ("2", "1"))
        self.assertEqual(info.findtext("Hash"), "0" * 64)
        self.assertIsNone(info.find("Cert"))

        # Damaged: a flipped byte in the token's signature, and garbage.
        damaged = bytearray(response)
        damaged[-5] ^= 0x40
        for name, data in (("damaged", bytes(damaged)), ("garbage", b"not a response")):
            with self.subTest(name):
                env = self.post("CTX_GET_TIMESTAMP_INFO", data=data)
                self.assertNotEqual(env.code, 0)
                self.assertIsNone(env.data.find("Info") if env.data is not None else None)

    def test_add_timestamp_to_each_signature_keeps_every_other_byte(self):
        container = self.container(("alice", "bob"))
        before = signer_infos(container)
        for index in (1, 0):
            with self.subTest(index=index):
                env = self.ok(self.post("CTX_ADD_TIMESTAMP", "<DRFO>2000000001</DRFO><SignIndex>%d</SignIndex>" % index,
                                        container))
                stamped = base64.b64decode(env.data.findtext("Response"))
                self.assert_info(env.data.find("Info"), signature_value(before[index]))
                after = signer_infos(stamped)
                self.assertEqual(after[1 - index], before[1 - index])
                tokens = unsigned_attributes(after[index])[OID_TST]
                self.assertEqual(len(tokens), 1)
                rc, out, err = ts_verify(tokens[0], signature_value(before[index]), token=True)
                self.assertEqual(rc, 0, err)
                v = cms_verify(stamped, pki.path("ca.pem"))
                self.assertTrue(v.ok, v.stderr)
                self.assertEqual(v.content, DOC)
                self.assertIn("id-smime-aa-timeStampToken", v.printed)
                # Every SignedData field before the signer infos keeps its bytes.
                self.assertEqual(fields(stamped)[:-1], fields(container)[:-1])

    def test_bad_parameters(self):
        container = self.container()
        cases = [
            ("no certificate source", "CTX_REQUEST_TIMESTAMP", host(tsa_peer.url), DOC, 56),
            ("no Host and no access point", "CTX_REQUEST_TIMESTAMP", "<SenderCert>%s</SenderCert>" % cert_b64("carol"),
             DOC, 56),
            ("SignIndex missing", "CTX_ADD_TIMESTAMP", "<DRFO>2000000001</DRFO>", container, 56),
            ("SignIndex negative", "CTX_ADD_TIMESTAMP", "<DRFO>2000000001</DRFO><SignIndex>-1</SignIndex>", container,
             56),
            ("SignIndex beyond", "CTX_ADD_TIMESTAMP", "<DRFO>2000000001</DRFO><SignIndex>1</SignIndex>", container,
             "56 provider"),
            ("not a container", "CTX_ADD_TIMESTAMP", "<DRFO>2000000001</DRFO><SignIndex>0</SignIndex>", b"garbage",
             None),
            ("garbage certificate", "CTX_REQUEST_TIMESTAMP", "<SenderCert>AAEC</SenderCert>", DOC, None),
            ("time-out 0", "CTX_REQUEST_TIMESTAMP", "<DRFO>2000000001</DRFO>" + host(tsa_peer.url, timeout=0), DOC,
             "56 provider"),
            ("huge time-out", "CTX_REQUEST_TIMESTAMP",
             "<DRFO>2000000001</DRFO>" + host(tsa_peer.url, timeout=2000000000), DOC, "56 provider"),
            ("no such DRFO", "CTX_REQUEST_TIMESTAMP", "<DRFO>2999999999</DRFO>", DOC, 52),
        ]
        # code: the bare 56 of a request without an answer of its own, "56
        # provider" for the provider's refusal, None for any provider error.
        for name, command, params, data, code in cases:
            with self.subTest(name):
                env = self.post(command, params, data)
                if code == 56:
                    self.assertEqual((env.code, env.csp_code), (56, None), env.text[:500])
                elif code == 52:  # the certificate search's own code
                    self.assertEqual(env.code, 52, env.text[:500])
                elif code == "56 provider":
                    self.assertEqual((env.code, env.csp_code), (56, "56"), env.text[:500])
                else:
                    self.assertNotEqual(env.code, 0)
                    self.assertEqual(env.csp_code, str(env.code), env.text[:500])
                self.assertTrue(env.data is None or len(env.data) == 0)


class OcspStatuses(NetworkCase):
    def request(self, names, extra="", address=None):
        certs = "".join("<Cert>%s</Cert>" % cert_b64(n) for n in names)
        h = "" if address is False else host(address or "http://127.0.0.1:%d/" % ocsp.port)
        return self.post("CTX_REQUEST_OCSP", "<Certs>%s</Certs>%s%s" % (certs, h, extra))

    def statuses(self, info):
        return [(c.findtext("CertID"), c.findtext("Status"), c.findtext("Reason"), c.find("RevocationDate"),
                 c.findtext("ThisUpdate")) for c in info.findall("Certs/Cert")]

    def assert_good_revoked_unknown(self, info):
        self.assertEqual(info.findtext("Status"), "0")
        self.assertRegex(info.findtext("ProducedAt"), r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d$")
        got = self.statuses(info)
        self.assertEqual([g[0] for g in got], [serials[n] for n in ("alice", "bob", "carol")])
        self.assertEqual([g[1] for g in got], ["0", "1", "2"])
        good, revoked, unknown = got
        self.assertEqual(good[3].get("{http://www.w3.org/2001/XMLSchema-instance}nil"), "true")
        self.assertFalse(good[3].text)
        self.assertEqual(revoked[2], "1")  # keyCompromise
        self.assertTrue(revoked[3].text.startswith("02.01.2024 ") or revoked[3].text.startswith("01.01.2024 ") or
                        revoked[3].text.startswith("03.01.2024 "), revoked[3].text)  # local time of 2024-01-02 03:04:05Z
        self.assertIsNone(revoked[3].get("{http://www.w3.org/2001/XMLSchema-instance}nil"))
        self.assertTrue(good[4] and revoked[4] and unknown[4])

    def test_good_revoked_and_unknown_in_one_unsigned_request(self):
        env = self.ok(self.request(("alice", "bob", "carol")))
        self.assertEqual(env.data.findtext("WSAResponse"), "0")
        self.assert_good_revoked_unknown(env.data.find("Info"))
        self.assertNotIn("Requestor Name", ocsp.last_request_text())
        response = base64.b64decode(env.data.findtext("Response"))
        # openssl reads the same statuses from the response.
        text = openssl("ocsp", "-respin", write("resp.der", response), "-resp_text", "-noverify").decode()
        self.assertIn("Cert Status: revoked", text)
        self.assertIn("Revocation Reason: keyCompromise", text)
        # And CTX_GET_OCSP_INFO describes it the same way.
        info = self.ok(self.post("CTX_GET_OCSP_INFO", data=response)).data.find("Info")
        self.assert_good_revoked_unknown(info)
        self.assertEqual(ET_text(info), ET_text(env.data.find("Info")))

    def test_signed_request_names_the_requester(self):
        env = self.ok(self.request(("alice",), "<DRFO>2000000002</DRFO><Pass>%s</Pass>" % b64(PASS)))
        self.assertEqual(self.statuses(env.data.find("Info"))[0][1], "0")
        text = ocsp.last_request_text()
        self.assertIn("Requestor Name", text)
        self.assertIn("bob", text)
        self.assertIn("Signature Algorithm", text)
        self.assertEqual(env.detailing, "0")

        # A key that does not open is not the command's failure: the request
        # goes unsigned and Detailing tells what the key search found.
        env = self.ok(self.request(("alice",), "<DRFO>2000000002</DRFO><Pass>%s</Pass>" % b64("wrong")))
        self.assertNotIn(env.detailing, (None, "0", "-1"))
        self.assertNotIn("Requestor Name", ocsp.last_request_text())

    def test_access_point_of_the_first_certificate_that_has_one(self):
        # carol has none, bob names the responder, dave has none.
        env = self.ok(self.request(("carol", "bob", "dave"), address=False))
        self.assertEqual([s[1] for s in self.statuses(env.data.find("Info"))], ["2", "1", "0"])

    def test_bad_requests(self):
        cases = [
            ("password without a signer", ("alice",), "<Pass>%s</Pass>" % b64(PASS), None, 56),
            ("no certificates", (), "", None, 56),
            ("no address anywhere", ("carol", "dave"), "", False, 56),
            ("garbage certificate", ("alice",), "", None, None),
        ]
        for name, names, extra, address, code in cases:
            with self.subTest(name):
                if name == "garbage certificate":
                    env = self.post("CTX_REQUEST_OCSP", "<Certs><Cert>AAEC</Cert></Certs>" + host("127.0.0.1"))
                else:
                    env = self.request(names, extra, address)
                if code is None:
                    self.assertNotIn(env.code, (0, 56), env.text[:500])
                else:
                    self.assertEqual(env.code, code, env.text[:500])
        for name, data in (("garbage", b"\x30\x03\x0a\x01\x00junk"), ("empty", b"\x00")):
            with self.subTest(name):
                self.assertNotEqual(self.post("CTX_GET_OCSP_INFO", data=data).code, 0)


def ET_text(element):
    import xml.etree.ElementTree as ET
    return ET.tostring(element)


def make_crls(count):
    """count distinct CRLs of the CA (DER), each with its own number, bob revoked."""
    folder = os.path.join(tmp, "crl")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "crlnumber"), "w") as f:
        f.write("01\n")
    cnf = write("crl.cnf", ("[ca]\ndefault_ca = d\n[d]\ndatabase = %s\ncrlnumber = %s\ndefault_md = sha256\n"
                            "default_crl_days = 30\n" % (pki.path("index.txt"), os.path.join(folder, "crlnumber")))
                .encode())
    crls = []
    for _ in range(count):
        pem = openssl("ca", "-gencrl", "-config", cnf, "-cert", pki.path("ca.pem"), "-keyfile", pki.path("ca.key.pem"))
        crls.append(openssl("crl", "-outform", "DER", data=pem))
    return crls


def basic_response(ocsp_response):
    """The BasicOCSPResponse inside an OCSPResponse, as its bytes are."""
    _, start, end = der_element(ocsp_response, 0)
    tagged = der_children(ocsp_response, start, end)[1]
    _, bstart, bend = der_element(ocsp_response, tagged[2])
    octets = der_children(ocsp_response, bstart, bend)[1]
    return ocsp_response[octets[2]:octets[3]]


def sequence_items(der):
    """The elements of a SEQUENCE (whole encodings)."""
    _, start, end = der_element(der, 0)
    return [der[s:e] for _, s, _, e in der_children(der, start, end)]


class CompleteInfo(NetworkCase):
    def test_certificate_and_revocation_values_with_the_first_ten_crls(self):
        container = self.container(("alice", "bob"))
        ocsp_env = self.ok(self.post("CTX_REQUEST_OCSP", "<Certs><Cert>%s</Cert></Certs>" % cert_b64("bob")))
        ocsp_response = base64.b64decode(ocsp_env.data.findtext("Response"))
        crls = make_crls(12)
        objects = ("<Object><Cert>%s</Cert><CRLs>%s<CRL></CRL></CRLs><OCSPs><OCSP>%s</OCSP></OCSPs></Object>"
                   "<Object><Cert></Cert><CRLs><CRL>AAAA</CRL></CRLs></Object>"
                   "<Object><Cert>%s</Cert></Object>"
                   % (cert_b64("bob"), "".join("<CRL>%s</CRL>" % b64(c) for c in crls), b64(ocsp_response),
                      cert_b64("ca")))
        env = self.ok(self.post("CTX_ADD_COMPLETEINFO", "<SignIndex>1</SignIndex><Objects>%s</Objects>" % objects,
                                container))
        completed = base64.b64decode(env.data.text)
        v = cms_verify(completed, pki.path("ca.pem"))
        self.assertTrue(v.ok, v.stderr)
        self.assertIn("id-smime-aa-ets-certValues", v.printed)
        self.assertIn("id-smime-aa-ets-revocationValues", v.printed)
        self.assertEqual(fields(completed)[:-1], fields(container)[:-1])
        before, after = signer_infos(container), signer_infos(completed)
        self.assertEqual(after[0], before[0])
        attributes = unsigned_attributes(after[1])
        self.assertEqual(sequence_items(attributes[OID_CERT_VALUES][0]), [pki.read("bob.cer"), pki.read("ca.cer")])
        crl_vals, ocsp_vals = sequence_items(attributes[OID_REVOC_VALUES][0])
        self.assertEqual(sequence_items(sequence_items(crl_vals)[0]), crls[:10])
        self.assertEqual(sequence_items(sequence_items(ocsp_vals)[0]), [basic_response(ocsp_response)])
        self.assertEqual(signature_value(after[1]), signature_value(before[1]))

        # Completing again: each attribute stays one, keeps its items first and
        # takes only what is new (alice's certificate, not the CA's again).
        again = self.ok(self.post("CTX_ADD_COMPLETEINFO", "<SignIndex>1</SignIndex><Objects><Object><Cert>%s</Cert>"
                                  "</Object><Object><Cert>%s</Cert></Object></Objects>"
                                  % (cert_b64("ca"), cert_b64("alice")), completed))
        twice = signer_infos(base64.b64decode(again.data.text))[1]
        attributes = unsigned_attributes(twice)
        self.assertEqual(len(attributes[OID_CERT_VALUES]), 1)
        self.assertEqual(sequence_items(attributes[OID_CERT_VALUES][0]),
                         [pki.read("bob.cer"), pki.read("ca.cer"), pki.read("alice.cer")])
        self.assertEqual(attributes[OID_REVOC_VALUES], unsigned_attributes(after[1])[OID_REVOC_VALUES])

    def test_bad_objects(self):
        container = self.container()
        cert = "<Cert>%s</Cert>" % cert_b64("alice")
        cases = [
            ("SignIndex missing", "<Objects><Object>%s</Object></Objects>" % cert, 56, None),
            ("SignIndex negative", "<SignIndex>-1</SignIndex><Objects><Object>%s</Object></Objects>" % cert, 56, None),
            ("no object", "<SignIndex>0</SignIndex><Objects></Objects>", 56, None),
            ("only objects without a certificate", "<SignIndex>0</SignIndex><Objects><Object><Cert></Cert><CRLs><CRL>"
             "AAAA</CRL></CRLs></Object></Objects>", 56, None),
            ("SignIndex beyond", "<SignIndex>1</SignIndex><Objects><Object>%s</Object></Objects>" % cert, 56, "56"),
            ("garbage certificate", "<SignIndex>0</SignIndex><Objects><Object><Cert>AAEC</Cert></Object></Objects>",
             3, "3"),
            ("garbage CRL", "<SignIndex>0</SignIndex><Objects><Object>%s<CRLs><CRL>AAEC</CRL></CRLs></Object>"
             "</Objects>" % cert, 10, "10"),
            ("garbage OCSP response", "<SignIndex>0</SignIndex><Objects><Object>%s<OCSPs><OCSP>MAMKAQA=</OCSP></OCSPs>"
             "</Object></Objects>" % cert, 10, "10"),
        ]
        for name, params, code, csp in cases:
            with self.subTest(name):
                env = self.post("CTX_ADD_COMPLETEINFO", params, container)
                self.assertEqual((env.code, env.csp_code), (code, csp), env.text[:500])
                self.assertFalse(env.data is not None and env.data.text)


class CertificatesByKeyId(NetworkCase):
    """CTX_REQUEST_CMP against pkipeer cmp, whose answers are signed with a
    certificate of the CA that the profile names as CACert."""

    ini = "[CryptoLibs]\nQLB=QLB\n[QLB]\nTitle=QLB\nCACert=%s\n"

    @classmethod
    def setUpClass(cls):
        pki.user("cmpsrv", "ca")
        cls.peer = Process([PKIPEER, "cmp", "--cert", pki.path("cmpsrv.pem"), "--key", pki.path("cmpsrv.key.pem"),
                            "--certs", ",".join(pki.path(n + ".pem") for n in ("alice", "bob", "ca"))])
        cls.ini = cls.ini % pki.path("ca.cer")
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.peer.stop()

    def cmp(self, key1, key2="", chain=None, address=None, headers=None):
        params = "<SubjectKeyId1>%s</SubjectKeyId1>" % key1
        if key2:
            params += "<SubjectKeyId2>%s</SubjectKeyId2>" % key2
        if chain is not None:
            params += "<AcquireChain>%s</AcquireChain>" % chain
        if address is not False:
            params += host(address or self.peer.url)
        return self.post("CTX_REQUEST_CMP", params, headers=headers)

    def certs(self, env):
        self.ok(env)
        self.assertEqual(env.data.findtext("WSAResponse"), "0")
        return [base64.b64decode(c.text) for c in env.data.findall("Certs/Cert")]

    def test_certificates_by_key_identifier_with_and_without_the_chain(self):
        alice, bob, ca = (pki.read(n + ".cer") for n in ("alice", "bob", "ca"))
        unknown = "00" * 20
        cases = [
            ((ids["alice"],), None, [alice]),
            ((ids["alice"], ids["bob"]), "false", [alice, bob]),
            ((ids["alice"].lower(),), "TRUE", [alice, ca]),
            ((ids["alice"], ids["bob"]), "true", [alice, ca, bob]),
            ((unknown, ids["bob"]), None, [bob]),
        ]
        for keys, chain, expected in cases:
            with self.subTest(keys=keys, chain=chain):
                self.assertEqual(self.certs(self.cmp(*keys, chain=chain)), expected)
        env = self.ok(self.cmp(unknown))
        self.assertIsNone(env.data.find("Certs"))

    def test_bad_requests(self):
        down = free_port()
        cases = [
            ("no key identifier", lambda: self.cmp(""), 56, None),
            ("no address", lambda: self.cmp(ids["alice"], address=False), 56, None),
            ("not hexadecimal", lambda: self.cmp("xyz"), 56, "56"),
            ("service down", lambda: self.cmp(ids["alice"], address="127.0.0.1:%d" % down), 25, "25"),
            ("not a CMP service", lambda: self.cmp(ids["alice"], address=tsa_peer.url), 26, "26"),
        ]
        for name, call, code, csp in cases:
            with self.subTest(name):
                env = call()
                self.assertEqual((env.code, env.csp_code), (code, csp), env.text[:500])

    def test_a_page_does_not_reach_a_local_service(self):
        self.certs(self.cmp(ids["alice"]))
        env = self.cmp(ids["alice"], headers=PAGE)
        self.assertEqual(answer_of(env), SOCKET_ERROR, env.text[:500])
        self.assertIn("not a public address", self.svc.log_text())

    def test_answers_must_chain_to_a_configured_centre(self):
        # The other services of these tests configure no CACert.
        with Service(start=False) as bare:
            bare.start()
            env = bare.post(command="CTX_REQUEST_CMP", params="<SubjectKeyId1>%s</SubjectKeyId1>%s"
                            % (ids["alice"], host(self.peer.url)))
            self.assertEqual(env.code, 15, env.text[:500])


class MisbehavingPeers(NetworkCase):
    """A service that is down, too slow, answers 500, garbage or an answer to
    another request never passes for success and never hangs."""

    def attempts(self, port, timeout=1):
        address = "http://127.0.0.1:%d/" % port
        return {
            "timestamp": lambda: self.timestamp("<DRFO>2000000001</DRFO>" + host(address, timeout=timeout)),
            "ocsp": lambda: self.post("CTX_REQUEST_OCSP", "<Certs><Cert>%s</Cert></Certs>%s"
                                      % (cert_b64("alice"), host(address, timeout=timeout))),
        }

    def replies(self):
        """A real answer of each peer, for a request other than the next one."""
        ts = self.ok(self.timestamp("<DRFO>2000000001</DRFO>"))
        oc = self.ok(self.post("CTX_REQUEST_OCSP", "<Certs><Cert>%s</Cert></Certs>" % cert_b64("alice")))
        return {"timestamp": base64.b64decode(ts.data.findtext("Response")),
                "ocsp": base64.b64decode(oc.data.findtext("Response"))}

    def test_each_failure_is_an_error_code(self):
        replayed = self.replies()
        down = free_port()
        for kind in ("timestamp", "ocsp"):
            peers = {
                "500": Canned(500, b"oops"),
                "garbage": Canned(200, b"\x30\x82garbage"),
                "empty": Canned(200, b""),
                "replayed answer (other nonce)": Canned(200, replayed[kind]),
                "slower than the time-out": Canned(200, replayed[kind], delay=4),
            }
            for name, peer in peers.items():
                with self.subTest(kind=kind, peer=name), peer:
                    env = self.attempts(peer.port)[kind]()
                    self.assertIn(env.code, (25, 26), env.text[:500])
                    self.assertTrue(env.data is None or len(env.data) == 0)
            with self.subTest(kind=kind, peer="down"):
                env = self.attempts(down)[kind]()
                self.assertEqual(env.code, 25, env.text[:500])
                self.assertIn("socket error 111", env.message + (env.csp_message or ""))


    def test_https_services_are_verified(self):
        # A TLS peer whose CA the system does not trust: the exchange fails
        # before anything is sent (the peer's log stays empty).
        folder = os.path.join(tmp, "tls")
        os.makedirs(folder, exist_ok=True)
        httppeer.make_ca(folder, "peerca")
        cert, key = httppeer.make_cert(folder, "peer", os.path.join(folder, "peerca"), "IP:127.0.0.1")
        log = os.path.join(folder, "peer.log")
        with httppeer.Peer(root=folder, cert=cert, key=key, log=log) as peer:
            env = self.timestamp("<DRFO>2000000001</DRFO>" + host(peer.url("/echo"), timeout=5))
            self.assertEqual(env.code, 25, env.text[:500])
            self.assertEqual(peer.requests(), [])


class Proxies(NetworkCase):
    def test_proxy_suffix_reaches_the_proxy(self):
        cases = [
            # (proxy elements, credentials the proxy wants, answer code)
            ("<Address>127.0.0.1</Address><Port>{port}</Port>", None, 0),
            ("<Address>127.0.0.1</Address><Port>{port}</Port><User>u</User><Password>пароль</Password>", "u:пароль",
             0),
            ("<Address>127.0.0.1</Address><Port>{port}</Port><User>u</User><Password>wrong</Password>", "u:пароль",
             26),
            # A password without a user is dropped: the proxy sees no credentials.
            ("<Address>127.0.0.1</Address><Port>{port}</Port><Password>пароль</Password>", None, 0),
        ]
        for elements, credentials, code in cases:
            with self.subTest(elements), ForwardingProxy(credentials and credentials) as proxy:
                params = "<DRFO>2000000001</DRFO>%s<Proxy>%s</Proxy>" % (
                    host(tsa_peer.url, timeout=5), elements.format(port=proxy.port))
                env = self.timestamp(params)
                self.assertEqual(env.code, code, env.text[:500])
                self.assertTrue(proxy.seen)
                self.assertEqual(proxy.seen[0][0], tsa_peer.url)
                if "<User>" not in elements:
                    self.assertIsNone(proxy.seen[0][1])
        # A Proxy without an Address adds nothing: the request goes straight to the authority.
        with ForwardingProxy() as proxy:
            env = self.ok(self.timestamp("<DRFO>2000000001</DRFO><Proxy><Port>%d</Port><User>u</User>"
                                         "<Password>p</Password></Proxy>" % proxy.port))
            self.assertEqual(proxy.seen, [])


PAGE = {"Origin": "https://page.example"}
OTHER_PAGE = {"Origin": "https://other.example"}
SOCKET_ERROR = (25, "Помилка сокета", "25", None)  # code, message, CSPCode, CSPMessage: all a page learns


def answer_of(env):
    return env.code, env.message, env.csp_code, env.csp_message or None


def page_service(**settings):
    """A service like NetworkCase's, with settings of its own."""
    svc = Service(start=False, settings=settings)
    os.makedirs(svc.path("Cert"), exist_ok=True)
    for n in KEY_USERS:
        for ext in (".cer", ".pfx"):
            shutil.copy(pki.path(n + ext), svc.path("Cert"))
    return svc.start()


def signed_by(name):
    return openssl("cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-signer", pki.path(name + ".pem"),
                   "-inkey", pki.path(name + ".key.pem"), data=DOC)


def original_ocsp(case, headers, svc=None):
    """The OCSP element CTX_GET_ORIGINAL reports for a document dave signed
    (dave's certificate names no responder: only a registration finds one)."""
    env = case.ok(case.post("CTX_GET_ORIGINAL", "<OCSP><Enabled>true</Enabled><Timeout>5</Timeout></OCSP>",
                            signed_by("dave"), headers=headers, svc=svc))
    return env.data.find("Signs/Sign/CertInfo/OCSP")


def params_text(svc):
    with contextlib.suppress(FileNotFoundError), open(svc.path("Params.ini"), encoding="cp1251") as f:
        return f.read()
    return ""


def issuer_sn(case, name):
    env = case.ok(case.post("GET_INFO_CERT", "<CertBlk>%s</CertBlk>" % cert_b64(name)))
    return env.data.findtext("IssuerSN") or next(e.get("IssuerSN") for e in env.data.iter() if e.get("IssuerSN"))


class PageTargets(NetworkCase):
    """A page (a request with an Origin) has the service connect to public
    addresses only: this machine and its networks are refused, whether the
    page names them, a certificate's access point does, a name resolves to
    them or a proxy lives there. Every failure answers the same to a page
    (the reason goes to the log); programs of the user (no Origin) and, with
    AllowPrivateTargets=1, pages reach the local peers as before."""

    def attacks(self, port):
        """Requests of a page that reach a local service by each road."""
        cert = "<Certs><Cert>%s</Cert></Certs>" % cert_b64("alice")
        cases = {}
        for address in ("http://127.0.0.1:%d/", "http://localhost:%d/", "http://[::1]:%d/", "127.0.0.2:%d",
                        "http://[::ffff:127.0.0.1]:%d/", "http://0.0.0.0:%d/", "http://10.255.255.1:%d/",
                        "http://169.254.169.254:%d/"):
            url = address % port
            cases["timestamp " + url] = ("CTX_REQUEST_TIMESTAMP", "<DRFO>2000000001</DRFO>" + host(url, timeout=5),
                                         DOC)
            cases["ocsp " + url] = ("CTX_REQUEST_OCSP", cert + host(url, timeout=5), None)
        # Access points of certificates: alice's names the authority, bob's the responder.
        cases["timestamp access point"] = ("CTX_REQUEST_TIMESTAMP", "<DRFO>2000000001</DRFO>", DOC)
        cases["ocsp access point"] = ("CTX_REQUEST_OCSP", "<Certs><Cert>%s</Cert></Certs>" % cert_b64("bob"), None)
        return cases

    def test_local_addresses_are_refused_to_pages_alone(self):
        # Before: each of these reached the local peer (or said why it could not).
        since = len(self.svc.log_text())
        for name, (command, params, data) in self.attacks(ocsp.port).items():
            with self.subTest(name):
                env = self.post(command, params, data, headers=PAGE)
                self.assertEqual(answer_of(env), SOCKET_ERROR, env.text[:500])
                self.assertTrue(env.data is None or len(env.data) == 0)
        self.assertIn("not a public address", self.svc.log_text()[since:])
        # A page's proxy on this machine is refused too: it never sees the request.
        with ForwardingProxy() as proxy:
            env = self.timestamp("<DRFO>2000000001</DRFO>%s<Proxy><Address>127.0.0.1</Address><Port>%d</Port>"
                                 "</Proxy>" % (host("http://192.0.2.1/", timeout=5), proxy.port), headers=PAGE)
            self.assertEqual(answer_of(env), SOCKET_ERROR, env.text[:500])
            self.assertEqual(proxy.seen, [])
        # A program of the user reaches them as before.
        self.ok(self.post("CTX_REQUEST_TIMESTAMP", "<DRFO>2000000001</DRFO>", DOC))
        self.ok(self.post("CTX_REQUEST_OCSP", "<Certs><Cert>%s</Cert></Certs>" % cert_b64("bob")))

    def test_allow_private_targets_lets_pages_reach_them_with_one_answer_for_every_failure(self):
        svc = page_service(AllowPrivateTargets=1)
        try:
            for name in ("timestamp access point", "ocsp access point"):
                command, params, data = self.attacks(ocsp.port)[name]
                with self.subTest(name):
                    self.ok(self.post(command, params, data, headers=PAGE, svc=svc))
            # A port nobody listens on, a service that fails, one too slow, one
            # whose TLS does not verify: to the program each says why, to the
            # page all look the same (before: "socket error 111" and the like
            # mapped 1,028 ports in 0.9 s).
            tls = os.path.join(tmp, "pagetls")
            os.makedirs(tls, exist_ok=True)
            httppeer.make_ca(tls, "peerca")
            cert, key = httppeer.make_cert(tls, "peer", os.path.join(tls, "peerca"), "IP:127.0.0.1")
            with Canned(500, b"oops") as failing, Canned(200, b"", delay=4) as slow, \
                    httppeer.Peer(root=tls, cert=cert, key=key) as unverified:
                urls = {"closed port": "http://127.0.0.1:%d/" % free_port(),
                        "HTTP 500": "http://127.0.0.1:%d/" % failing.port,
                        "too slow": "http://127.0.0.1:%d/" % slow.port,
                        "TLS not verified": unverified.url("/echo")}
                page_answers, program_answers = set(), set()
                for name, url in urls.items():
                    with self.subTest(name):
                        params = "<DRFO>2000000001</DRFO>" + host(url, timeout=2)
                        page = self.timestamp(params, headers=PAGE, svc=svc)
                        self.assertEqual(answer_of(page), SOCKET_ERROR, page.text[:500])
                        page_answers.add(answer_of(page))
                        program_answers.add(answer_of(self.timestamp(params, svc=svc)))
                self.assertEqual(len(page_answers), 1)
                self.assertEqual(len(program_answers), len(urls), program_answers)
        finally:
            svc.__exit__(None, None, None)


class OcspRegistrationsByOrigin(NetworkCase):
    """GET_VERSION's OCSP servers: a page's registration serves that page's
    origin alone, for the run, and never reaches Params.ini; the user's own
    (no Origin) serve every page, wherever they point."""

    def register(self, issuer, url, headers, svc=None):
        params = '<OCSPServers><Address IssuerSN="%s">%s</Address></OCSPServers>' % (issuer, url)
        self.assertEqual(self.post("GET_VERSION", params, headers=headers, svc=svc).code, 0)

    def test_a_registration_serves_the_origin_that_made_it(self):
        responder = "http://127.0.0.1:%d/" % ocsp.port
        issuer = issuer_sn(self, "dave")
        svc = page_service(AllowPrivateTargets=1)
        try:
            self.register(issuer, responder, PAGE, svc)
            own = original_ocsp(self, PAGE, svc)
            self.assertEqual(own.findtext("Code"), "0")
            self.assertEqual(own.findtext("Info/Certs/Cert/Status"), "0")
            # Before: another site's check went to the page's address.
            for stranger in (OTHER_PAGE, None):
                with self.subTest(stranger=stranger):
                    other = original_ocsp(self, stranger, svc)
                    self.assertNotEqual(other.findtext("Code"), "0")
                    self.assertIsNone(other.find("Response"))
            self.assertNotIn(responder, params_text(svc))
            # After a restart nothing of the page's is left.
            self.assertEqual(svc.stop(), 0)
            svc.start()
            self.assertNotEqual(original_ocsp(self, PAGE, svc).findtext("Code"), "0")
            self.assertNotIn(responder, params_text(svc))
        finally:
            svc.__exit__(None, None, None)

    def test_the_address_rule_holds_for_a_page_registration_not_for_the_users(self):
        responder = "http://127.0.0.1:%d/" % ocsp.port
        issuer = issuer_sn(self, "dave")
        svc = page_service()
        try:
            self.register(issuer, responder, PAGE, svc)
            self.assertEqual(original_ocsp(self, PAGE, svc).findtext("Code"), "25")
            self.assertIn("not a public address", svc.log_text())
            # The user's own registration (no Origin) is the user's choice: pages may use it.
            self.register(issuer, responder, None, svc)
            self.assertEqual(original_ocsp(self, OTHER_PAGE, svc).findtext("Code"), "0")
            self.assertIn("%s=%s" % (issuer, responder), params_text(svc))
        finally:
            svc.__exit__(None, None, None)


class OriginalOcsp(NetworkCase):
    """CTX_GET_ORIGINAL checks each signer's certificate at its own responder."""

    def test_each_signer_checked_and_failures_only_shown(self):
        args = ["cms", "-sign", "-binary", "-nodetach", "-outform", "DER"]
        for name in ("alice", "bob", "carol"):  # good, revoked, no access point and no ocspServers entry
            args += ["-signer", pki.path(name + ".pem"), "-inkey", pki.path(name + ".key.pem")]
        container = openssl(*args, data=DOC)
        env = self.ok(self.post("CTX_GET_ORIGINAL", "<OCSP><Enabled>true</Enabled><Timeout>5</Timeout></OCSP>",
                                container))
        # openssl writes SignerInfos as a sorted DER SET: each signature is known by its certificate.
        signs = {next(n for n in ("alice", "bob", "carol") if base64.b64decode(s.findtext("Cert")) ==
                      pki.read(n + ".cer")): s.find("CertInfo/OCSP") for s in env.data.findall("Signs/Sign")}
        self.assertEqual(sorted(signs), ["alice", "bob", "carol"])
        self.assertNotEqual(signs["carol"].findtext("Code"), "0")
        self.assertIsNone(signs["carol"].find("Response"))
        for name, status in (("alice", "0"), ("bob", "1")):
            self.assertEqual(signs[name].findtext("Code"), "0", name)
            self.assertEqual(signs[name].findtext("WSAResponse"), "0")
            self.assertTrue(base64.b64decode(signs[name].findtext("Response")))
            self.assertEqual([(c.findtext("CertID"), c.findtext("Status"))
                              for c in signs[name].findall("Info/Certs/Cert")], [(serials[name], status)])
        self.assertNotIn("Requestor Name", ocsp.last_request_text())
        # A requester named under OCSP signs the requests.
        params = "<OCSP><Enabled>true</Enabled><Timeout>5</Timeout><DRFO>2000000002</DRFO><Pass>%s</Pass></OCSP>" % (
            b64(PASS))
        env = self.ok(self.post("CTX_GET_ORIGINAL", params, openssl("cms", "-sign", "-binary", "-nodetach",
                                                                    "-outform", "DER", "-signer",
                                                                    pki.path("alice.pem"), "-inkey",
                                                                    pki.path("alice.key.pem"), data=DOC)))
        self.assertEqual(env.data.findtext("Signs/Sign/CertInfo/OCSP/Code"), "0")
        self.assertIn("Requestor Name", ocsp.last_request_text())


class OfflineOcspResponder(Canned):
    """An OCSP responder that answers each POST with `openssl ocsp -reqin
    -respout` over an index, signing with the certificate and key given and
    the options given (-resp_no_certs, -resp_key_id...): any responder a test
    needs, without a process that waits on its port."""

    def __init__(self, index, ca, signer, *options):
        peer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with tempfile.TemporaryDirectory(dir=tmp) as work:
                    req, resp = os.path.join(work, "req.der"), os.path.join(work, "resp.der")
                    with open(req, "wb") as f:
                        f.write(body)
                    openssl("ocsp", "-index", index, "-CA", pki.path(ca + ".pem"), "-rsigner",
                            pki.path(signer + ".pem"), "-rkey", pki.path(signer + ".key.pem"), "-reqin", req,
                            "-respout", resp, "-nmin", "60", *options)
                    with open(resp, "rb") as f:
                        answer = f.read()
                peer.answered += 1
                self.send_response(200)
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

        self.answered = 0
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.url = "http://127.0.0.1:%d/" % self.port
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def good_index(path, *subjects):
    """Writes an openssl ca index in which the subjects' certificates are good."""
    with open(path, "w") as f:
        for subject in subjects:
            serial = openssl("x509", "-noout", "-serial", "-in", pki.path(subject + ".pem")).decode().strip()
            f.write("V\t351231235959Z\t\t%s\tunknown\t/CN=%s\n" % (serial.split("=")[1], subject))
    with open(path + ".attr", "w") as f:
        f.write("unique_subject = no\n")


class DelegatedResponders(unittest.TestCase):
    """A certification centre whose OCSP answers come from a responder it
    certified for OCSP signing (`openssl ocsp -rsigner responder.pem -CA
    ca.pem`): the answer names the issuer by its key hash and carries only the
    responder's certificate, so the issuer's certificate must come from where
    the service can see it: the certificate list, CertStorage (the program
    folder's certificates), the container checked, or CACert. Finding it is no
    trust decision: a responder the issuer did not certify stays refused."""

    @classmethod
    def setUpClass(cls):
        pki.ca("dca", "--serial", "UA-22222222")
        pki.user("dresp", "dca", "--eku", "1.3.6.1.5.5.7.3.9")  # id-kp-OCSPSigning
        pki.user("dplain", "dca")                                # certified for nothing of the kind
        index = pki.path("dindex.txt")  # read at each answer: written once erin exists
        cls.delegated = OfflineOcspResponder(index, "dca", "dresp")
        cls.bare = OfflineOcspResponder(index, "dca", "dresp", "-resp_no_certs", "-resp_key_id")
        cls.stranger = OfflineOcspResponder(index, "dca", "dplain")
        pki.user("erin", "dca", "--drfo", "2000000007", "--ocsp", cls.delegated.url)
        good_index(index, "erin")
        # Where the issuer's certificate is: nowhere, the user's Cert folder
        # (with the responder's), the program folder, a profile's CACert.
        cls.services = {"nowhere": service_with([])}
        cls.services["Cert"] = service_with([pki.path("dca.cer"), pki.path("dresp.cer")])
        svc = Service(start=False)
        shutil.copy(pki.path("dca.cer"), svc.path("dca.crt"))
        cls.services["CertStorage"] = svc.start()
        cls.services["CACert"] = service_with([], "[CryptoLibs]\nUA1=UA1\n[UA1]\nTitle=UA1\nCACert=%s\n"
                                              % pki.path("dca.cer"))

    @classmethod
    def tearDownClass(cls):
        for svc in cls.services.values():
            svc.__exit__(None, None, None)
        for peer in (cls.delegated, cls.bare, cls.stranger):
            peer.__exit__(None, None, None)

    def request(self, where, responder):
        return self.services[where].post(command="CTX_REQUEST_OCSP", params="<Certs><Cert>%s</Cert></Certs>%s"
                                         % (cert_b64("erin"), host(responder.url, timeout=5)))

    def original(self, where, *extra):
        """The OCSP element of CTX_GET_ORIGINAL for a document erin signed
        (her certificate names the delegated responder)."""
        args = ["cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-signer", pki.path("erin.pem"), "-inkey",
                pki.path("erin.key.pem")] + list(extra)
        env = self.services[where].post(command="CTX_GET_ORIGINAL", params="<OCSP><Enabled>true</Enabled>"
                                        "<Timeout>5</Timeout></OCSP>", data=b64(openssl(*args, data=DOC)))
        self.assertEqual(env.code, 0, env.text[:500])
        return env.data.find("Signs/Sign/CertInfo/OCSP")

    def test_the_issuer_is_found_wherever_the_service_sees_it(self):
        # Before: 15 "the certificate's issuer is not known" from every place but CACert.
        for where in ("Cert", "CertStorage", "CACert"):
            with self.subTest(where):
                env = self.request(where, self.delegated)
                self.assertEqual(env.code, 0, env.text[:500])
                self.assertEqual([(c.findtext("CertID"), c.findtext("Status"))
                                  for c in env.data.findall("Info/Certs/Cert")],
                                 [(serial_of("erin"), "0")])
                self.assertEqual(env.data.findtext("Info/SignerSubjectInfo/Name"), "dresp")
                ocsp = self.original(where)
                self.assertEqual(ocsp.findtext("Code"), "0", ET_text(ocsp))
                self.assertEqual(ocsp.findtext("Info/Certs/Cert/Status"), "0")
        # The container that carries the issuer's certificate brings it.
        self.assertEqual(self.original("nowhere", "-certfile", pki.path("dca.pem")).findtext("Code"), "0")

    def test_nothing_found_or_nobody_entitled_stays_refused(self):
        cases = [
            ("issuer nowhere", "nowhere", self.delegated, 15),
            ("responder the issuer did not certify for OCSP", "Cert", self.stranger, 15),
            # Without certificates the responder is known by its key hash: the
            # Cert folder holds it, the program folder does not.
            ("answer without certificates, responder at hand", "Cert", self.bare, 0),
            ("answer without certificates, responder nowhere", "CertStorage", self.bare, 11),
        ]
        for name, where, responder, code in cases:
            with self.subTest(name):
                env = self.request(where, responder)
                self.assertEqual(env.code, code, env.text[:500])
        self.assertEqual(self.original("nowhere").findtext("Code"), "15")


def serial_of(name):
    return openssl("x509", "-noout", "-serial", "-in", pki.path(name + ".pem")).decode().strip().split("=")[1]


class TimestampsWithoutCertificate(unittest.TestCase):
    """A timestamp service that was not asked for its certificate leaves it
    out (`openssl ts -query` without -cert). CTX_GET_TIMESTAMP_INFO describes
    such a response all the same, without Cert, and checks its signature
    whenever the service's certificate is at hand: then, and only then, a
    signature that fails answers 11."""

    @classmethod
    def setUpClass(cls):
        cnf = write("tsa-nocert.cnf", ("[tsa]\ndefault_tsa = one\n[one]\nserial = %s\ncrypto_device = builtin\n"
                                       "signer_cert = %s\nsigner_key = %s\nsigner_digest = sha256\n"
                                       "default_policy = 1.2.3.4.1\ndigests = sha256\n"
                                       % (os.path.join(tmp, "serial-nocert"), pki.path("tsa.pem"),
                                          pki.path("tsa.key"))).encode())
        query = os.path.join(tmp, "nocert.tsq")
        openssl("ts", "-query", "-data", write("nocert.bin", DOC), "-sha256", "-out", query)
        cls.response = openssl("ts", "-reply", "-config", cnf, "-queryfile", query)
        # Another issuer's certificate with the authority's serial number.
        pki.user("tsatwin", "ca", "--serial-hex", serial_of("tsa"))
        cls.tsa_der = openssl("x509", "-outform", "DER", "-in", pki.path("tsa.pem"))
        tsa_cer = write("tsa.cer", cls.tsa_der)  # the list reads .cer and .crt files
        cls.services = {"nothing at hand": service_with([pki.path("tsatwin.cer")]),
                        "authority's certificate at hand": service_with([tsa_cer])}

    @classmethod
    def tearDownClass(cls):
        for svc in cls.services.values():
            svc.__exit__(None, None, None)

    def info(self, where, response):
        return self.services[where].post(command="CTX_GET_TIMESTAMP_INFO", data=b64(response))

    def test_described_without_cert_and_checked_when_the_certificate_is_at_hand(self):
        self.assertNotIn(self.tsa_der, self.response)  # openssl left the certificate out
        for where in self.services:
            with self.subTest(where):
                # Before: 11, "the timestamp token's signature does not verify".
                env = self.info(where, self.response)
                self.assertEqual(env.code, 0, env.text[:500])
                info = env.data.find("Info")
                self.assertEqual((info.findtext("Status"), info.findtext("FailInfo")), ("0", "0"))
                self.assertEqual(info.findtext("Hash"), hashlib.sha256(DOC).hexdigest())
                self.assertRegex(info.findtext("TimeValue"), r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d$")
                self.assertIsNone(info.find("Cert"))
        # A signature that fails, with the certificate at hand to show it.
        damaged = bytearray(self.response)
        damaged[-5] ^= 0x40
        env = self.info("authority's certificate at hand", bytes(damaged))
        self.assertEqual(env.code, 11, env.text[:500])


if __name__ == "__main__":
    unittest.main()
