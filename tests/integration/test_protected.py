"""ENCRYPT, GET_ORIGINAL, GET_SIGNED and CLEAN through the running service:
envelopes of every library format for EC and RSA recipients, each opened by
openssl cms -decrypt and by GET_ORIGINAL; envelopes made by openssl opened by
the service; signatures, transport headers, packed texts, text forms and
timestamps peeled layer by layer; recipient lists of documents for somebody
else; and the codes of damaged input."""

import base64
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from pkifixtures import (b64, cms_decrypt, cms_encrypt, cms_sign, cms_verify, der_elements, der_tlv, flip,
                         openssl_result, pem_to_der, module_pki)
from zkservice import BUILD_BIN, Service, escape, form_body, request_xml

PASS = "ключ 7"
DOC = "Акт №5: «усе зашифровано»".encode("utf-8") * 7
LAYOUT = ("alice.cer", "alice.pfx", "bob.cer", "bob.pfx", "rob.cer", "rob.key")
DRFO = {"alice": "1111111111", "bob": "2222222222", "rob": "3333333333"}
ZKPACK = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tools", "zkpack")
# The built-in key of packed texts without a trailer (docs/packed-xml.md).
PACKED_KEY = bytes.fromhex("5A17C38E42B96D01F42C973BE850A67D")


def setUpModule():
    global pki, ids, tmp
    tmp, pki = module_pki("zk-protected-", "ca")
    ids = {
        "alice": pki.user("alice", "ca", "--drfo", DRFO["alice"], "--ku", "0xC8"),
        "bob": pki.user("bob", "ca", "--drfo", DRFO["bob"], "--ku", "0x08"),
        "rob": pki.user("rob", "ca", "--drfo", DRFO["rob"], "--key", "rsa", "--ku", "0x20"),
        "carol": pki.user("carol", "ca", "--drfo", "4444444444", "--ku", "0x08"),
        "dave": pki.user("dave", "ca", "--drfo", "5555555555", "--key", "rsa", "--ku", "0x20"),
        "tsa": pki.user("tsa", "ca", "--eku", "timeStamping", "--eku-critical"),
    }
    pki.keyfile(pki.path("alice.pfx"), PASS, "alice")
    pki.keyfile(pki.path("bob.pfx"), PASS, "bob")
    pki.keyfile(pki.path("rob.key"), PASS, "rob", fmt="p8pem")


def le32(n):
    return struct.pack("<i", n)


def frame(block):
    """(library, the certificates its frame carries, the EnvelopedData) of an ENCRYPT result."""
    for tag, lib in ((b"CERTCRYPT\0", "UA1"), (b"USC_CRYPT\0", "USC"), (b"QLB_CRYPT\0", "QLB")):
        if block.startswith(tag):
            n = struct.unpack("<I", block[10:14])[0]
            item = block[14:14 + n]
            return lib, der_elements(item) if lib == "QLB" else [item], block[14 + n:]
    return "bare", [], block


def originator_certs(envelope):
    """The originatorInfo certificates of DER EnvelopedData, in order."""
    enveloped = der_elements(der_elements(envelope)[1])[0]
    parts = der_elements(enveloped)
    if parts[1][0] != 0xA0:
        return []
    return der_elements(der_elements(parts[1])[0])


def transportable(body, inner, tag=b"TRANSPORTABLE"):
    return tag + b"\0" + le32(len(body)) + body + inner


def certcrypt(cert, inner):
    return b"CERTCRYPT\0" + le32(len(cert)) + cert + inner


def scramble(stream, trailer_key=None):
    """The packed text scrambling, as docs/packed-xml.md describes it."""
    s = bytearray(stream)
    if trailer_key is None:
        for i in range(min(160, len(s))):
            s[i] ^= PACKED_KEY[i % 16]
        return bytes(s)
    mask = bytes(range(0x30, 0x3A))
    s += struct.pack("<H", 0x4242) + mask + bytes(a ^ b for a, b in zip(b"1234567890", mask))
    s += bytes([trailer_key]) + struct.pack("<H", 0x4243)
    n = min((len(s) - 13) // 2, 512)
    for i in range(n):
        s[i] ^= s[len(s) - 13 - n + i] ^ trailer_key
    return bytes(s)


def packed_block(stream, declared):
    return b"PACKED_XML\0" + le32(declared) + stream


def lzma_alone(text):
    """An LZMA86 stream made by the LZMA SDK's own tool (independent of the service)."""
    with tempfile.TemporaryDirectory() as t:
        src, dst = os.path.join(t, "in"), os.path.join(t, "out")
        with open(src, "wb") as f:
            f.write(text)
        subprocess.run(["lzma_alone", "e", src, dst, "-f86"], check=True, capture_output=True)
        with open(dst, "rb") as f:
            return f.read()


def zkpack(text, *flags):
    with tempfile.TemporaryDirectory() as t:
        src, dst = os.path.join(t, "in"), os.path.join(t, "out")
        with open(src, "wb") as f:
            f.write(text)
        subprocess.run([ZKPACK, "pack"] + list(flags) + [src, dst], check=True, capture_output=True)
        with open(dst, "rb") as f:
            return f.read()


def nested_packed(text, layers, padding):
    """A packed text inside packed texts: each outer layer unpacks to the next
    layer's block followed by padding zero bytes (which its unpacking ignores)."""
    block = zkpack(text)
    for _ in range(layers - 1):
        block = zkpack(block + b"\0" * padding)
    return block


def timestamped(content, stamped_over=None):
    """RFC 5544 TimeStampedData of content with an RFC 3161 token made by openssl ts."""
    with tempfile.TemporaryDirectory() as t:
        data, query, token, conf = (os.path.join(t, n) for n in ("data", "q.tsq", "tok.der", "ts.cnf"))
        with open(data, "wb") as f:
            f.write(stamped_over if stamped_over is not None else content)
        with open(conf, "w") as f:
            f.write("[tsa]\ndefault_tsa = t\n[t]\nserial = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n" %
                    os.path.join(t, "serial"))
        with open(os.path.join(t, "serial"), "w") as f:
            f.write("0A\n")
        subprocess.run(["openssl", "ts", "-query", "-data", data, "-sha256", "-cert", "-out", query], check=True,
                       capture_output=True)
        subprocess.run(["openssl", "ts", "-reply", "-queryfile", query, "-signer", pki.path("tsa.pem"), "-inkey",
                        pki.path("tsa.key.pem"), "-config", conf, "-token_out", "-out", token], check=True,
                       capture_output=True)
        with open(token, "rb") as f:
            tst = f.read()
    oid = der_tlv(0x06, bytes.fromhex("2A864886F70D010910011F"))  # id-ct-timestampedData
    evidence = der_tlv(0xA0, der_tlv(0x30, tst))  # tstEvidence [0]: SEQUENCE OF TimeStampAndCRL
    tsd = der_tlv(0x30, der_tlv(0x02, b"\x01") + der_tlv(0x04, content) + evidence)
    return der_tlv(0x30, oid + der_tlv(0xA0, tsd))


class Protected(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.svc = Service(start=False)
        os.makedirs(cls.svc.path("Cert"), exist_ok=True)
        for name in LAYOUT:
            shutil.copy(pki.path(name), cls.svc.path("Cert", name))
        cls.svc.start()

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)

    # --- requests

    def call(self, command, data, password=PASS, preserve=None, **params):
        xml = "".join("<%s>%s</%s>" % (k, escape(v), k) for k, v in params.items())
        if password is not None:
            attr = ' Preserve="%s"' % preserve if preserve is not None else ""
            xml += "<Pass%s>%s</Pass>" % (attr, b64(password) if password else "")
        return self.svc.post(command=command, params=xml, data=b64(data) if isinstance(data, bytes) else data)

    def encrypt(self, recipients, sender="alice", lib=None, data=DOC, **params):
        xml = "<DRFO>%s</DRFO><Pass>%s</Pass>" % (DRFO[sender], b64(PASS))
        if lib:
            xml += "<Lib>%s</Lib>" % lib
        xml += "".join("<Cert>%s</Cert>" % b64(pki.read(r + ".cer")) for r in recipients)
        xml += "".join("<%s>%s</%s>" % (k, v, k) for k, v in params.items())
        env = self.svc.post(command="ENCRYPT", params=xml, data=b64(data))
        self.assertEqual((env.command, env.code), ("ENCRYPT", 0), env.text)
        return base64.b64decode(env.data.text)

    def sign(self, data, signer="alice"):
        env = self.call("SET_SIGN", data, DRFO=DRFO[signer])
        self.assertEqual(env.code, 0, env.text)
        return base64.b64decode(env.data.text)

    def original(self, data, **params):
        return self.call("GET_ORIGINAL", data, **params)

    def assert_opens(self, env, expected=DOC, command="GET_ORIGINAL"):
        self.assertEqual((env.command, env.code), (command, 0), env.text)
        text = env.data.find("Original").text if env.data.find("Original") is not None else env.data.text
        self.assertEqual(base64.b64decode(text or ""), expected)

    def recipients(self, env):
        """(Num, SK, SN, IS, certificate or None when xsi:nil) of each listed recipient."""
        nil = "{http://www.w3.org/2001/XMLSchema-instance}nil"
        out = []
        for c in env.data.find("Recipients"):
            cert = None if c.get(nil) == "true" else base64.b64decode(c.text)
            out.append((c.get("Num"), c.get("SK"), c.get("SN"), c.get("IS"), cert))
        return out

    # --- envelopes

    def test_envelopes_of_every_library_open_with_openssl_and_get_original(self):
        for lib in ("UA1", "USC", "QLB"):
            for recipients in (["bob"], ["rob"], ["bob", "rob"]):
                with self.subTest(lib=lib, recipients=recipients):
                    block = self.encrypt(recipients, lib=lib)
                    kind, carried, envelope = frame(block)
                    self.assertEqual(kind, lib)
                    expected = [pki.read("alice.cer")] + ([pki.read(r + ".cer") for r in recipients]
                                                          if lib == "QLB" else [])
                    self.assertEqual(carried, expected, "the frame's certificates")
                    # originatorInfo: the sender first, then the recipients in the page's order.
                    self.assertEqual(originator_certs(envelope),
                                     [pki.read("alice.cer")] + [pki.read(r + ".cer") for r in recipients])
                    printed = openssl_result("cms", "-cmsout", "-print", "-inform", "DER", data=envelope)[1].decode()
                    self.assertIn("aes-256-cbc", printed)
                    self.assertEqual("rsaesOaep" in printed, "rob" in recipients)
                    for r in recipients:
                        self.assertEqual(cms_decrypt(envelope, pki.path(r + ".pem"), pki.path(r + ".key.pem")), DOC)
                        self.assert_opens(self.original(block, DRFO=DRFO[r]))
                    # Without DRFO or Serial the recipients named in the envelope are tried in order.
                    self.assert_opens(self.original(block))
                    self.assertIsNone(cms_decrypt(envelope, pki.path("carol.pem"), pki.path("carol.key.pem")))
        log = self.svc.log_text()
        self.assertIn("Before Encrypt\r\n", log)
        self.assertIn("Before EncryptMany\r\n", log)

    def test_envelopes_made_by_openssl_open(self):
        envelope = cms_encrypt(DOC, [pki.path("bob.pem"), pki.path("rob.pem")])
        streamed = cms_encrypt(DOC, [pki.path("bob.pem")], "-stream")  # BER, indefinite lengths
        alice = pki.read("alice.cer")
        # A bare envelope is UA1's format, whose flag demands the sender's certificate before it.
        self.assertEqual(self.original(envelope, DRFO=DRFO["bob"]).code, 57)
        cases = [
            ("behind the sender certificate header", certcrypt(alice, envelope), "bob"),
            ("for the RSA recipient", certcrypt(alice, envelope), "rob"),
            ("in the USC frame", b"USC_CRYPT\0" + le32(len(alice)) + alice + envelope, "bob"),
            ("BER with indefinite lengths", certcrypt(alice, streamed), "bob"),
            ("the QLB frame behind the USC tag", b"USC_CRYPT\0" + self.encrypt(["rob"], lib="QLB"), "rob"),
        ]
        for name, block, who in cases:
            with self.subTest(name):
                self.assert_opens(self.original(block, DRFO=DRFO[who]))
                self.assert_opens(self.original(block))
        # The user's own certificate and key sent by the page, under either name.
        block = certcrypt(alice, envelope)
        for key_name in ("RecipientSK", "SenderSK"):
            with self.subTest(key_name):
                params = {"SenderCert": b64(pki.read("bob.cer")), key_name: b64(pki.read("bob.pfx"))}
                self.assert_opens(self.original(block, **params))
        params = {"SenderCert": b64(pki.read("bob.cer")), "RecipientSK": b64(pki.read("alice.pfx"))}
        self.assertEqual(self.original(block, **params).code, 6)

    def test_direct_path_with_the_recipient_certificate(self):
        block = self.encrypt(["bob"], lib="UA1")
        self.assertTrue(block.startswith(b"CERTCRYPT\0"))
        self.assert_opens(self.original(block, RecipientCert=b64(pki.read("bob.cer"))))
        self.assert_opens(self.original(block, RecipientCert=b64(pki.read("bob.cer")), DRFO=DRFO["bob"]))
        self.assertIn("Before UA1Decrypt", self.svc.log_text())
        # A certificate the envelope is not for opens nothing.
        self.assertEqual(self.original(block, RecipientCert=b64(pki.read("rob.cer"))).code, 6)
        env = self.original(block, RecipientCert=b64(pki.read("bob.cer")), password="не той")
        self.assertEqual((env.code, env.detailing), (8, "2"))

    # --- signatures and layers

    def test_sign_then_encrypt_and_encrypt_then_sign(self):
        signed = self.sign(DOC, "alice")
        block = self.encrypt(["bob", "rob"], data=signed)
        env = self.original(block, DRFO=DRFO["rob"], ReturnSigns="true")
        self.assert_opens(env)
        self.assertEqual([(c.get("Num"), base64.b64decode(c.text)) for c in env.data.find("Certs")],
                         [("1", pki.read("alice.cer"))])
        # GET_SIGNED stops at the signed document, which openssl verifies.
        env = self.call("GET_SIGNED", block, DRFO=DRFO["bob"])
        self.assertEqual((env.command, env.code), ("GET_SIGNED", 0), env.text)
        self.assertEqual(base64.b64decode(env.data.text), signed)
        v = cms_verify(base64.b64decode(env.data.text), pki.path("ca.pem"))
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(v.content, DOC)

        # Encrypt, then sign the envelope: the signature is checked, the key
        # is found for the envelope inside, and the signer list restarts there.
        outer = self.sign(self.encrypt(["bob"]), "rob")
        env = self.original(outer, ReturnSigns="true")
        self.assert_opens(env)
        self.assertEqual(list(env.data.find("Certs")), [])
        self.assert_opens(self.call("GET_SIGNED", outer), command="GET_SIGNED")

    def test_two_signatures_are_listed_outer_first(self):
        twice = self.sign(self.sign(DOC, "alice"), "rob")
        env = self.original(twice, password=None, ReturnSigns="true")
        self.assert_opens(env)
        self.assertEqual([(c.get("Num"), base64.b64decode(c.text)) for c in env.data.find("Certs")],
                         [("1", pki.read("rob.cer")), ("2", pki.read("alice.cer"))])
        # Without ReturnSigns the document is the Data text itself.
        env = self.original(twice, password=None)
        self.assertEqual(base64.b64decode(env.data.text), DOC)
        # A signature by another tool is checked the same way; a changed one is refused.
        by_openssl = cms_sign(DOC, pki.path("carol.pem"), pki.path("carol.key.pem"))
        self.assert_opens(self.original(by_openssl, password=None))
        damaged = by_openssl.replace(DOC[:20], bytes([DOC[0] ^ 1]) + DOC[1:20])
        self.assertEqual(self.original(damaged, password=None).code, 11)

    def test_large_layers_are_peeled_over_themselves(self):
        # From 64 KiB on an envelope is decrypted over itself and a signature's
        # content moved to the start of its block: the same documents, signers
        # and failures as for small ones, for envelopes of ours and of openssl.
        big = os.urandom(300 * 1024 + 1)
        signed = self.sign(big, "alice")
        ours = self.encrypt(["bob", "rob"], data=signed)
        theirs = certcrypt(pki.read("alice.cer"), cms_encrypt(signed, [pki.path("bob.pem")]))
        for name, block in (("ours", ours), ("openssl's", theirs)):
            with self.subTest(name):
                env = self.original(block, DRFO=DRFO["bob"], ReturnSigns="true")
                self.assert_opens(env, big)
                self.assertEqual([base64.b64decode(c.text) for c in env.data.find("Certs")], [pki.read("alice.cer")])
                env = self.call("GET_SIGNED", block, DRFO=DRFO["bob"])
                self.assertEqual((env.code, base64.b64decode(env.data.text)), (0, signed))
        # A ciphertext damaged at its end fails after the plaintext took the
        # envelope's place: the recipients listed are still the envelope's.
        env = self.original(flip(theirs, len(theirs) - 20), DRFO=DRFO["bob"])
        self.assertNotEqual(env.code, 0)
        self.assertEqual([r[0] for r in self.recipients(env)], ["1"])

    def test_document_for_somebody_else_lists_its_recipients(self):
        ours = self.encrypt(["carol", "dave"], lib="USC")
        env = self.original(ours)
        self.assertNotEqual(env.code, 0)
        self.assertEqual([(r[0], r[4]) for r in self.recipients(env)],
                         [("1", pki.read("carol.cer")), ("2", pki.read("dave.cer"))])
        self.assertIsNone(env.data.find("Original"))

        # openssl's envelope carries no certificates: the recipients are named by identifier.
        theirs = certcrypt(pki.read("alice.cer"), cms_encrypt(DOC, [pki.path("carol.pem"), pki.path("dave.pem")]))
        env = self.original(theirs, DRFO=DRFO["bob"])
        listed = self.recipients(env)
        serials = {subprocess.run(["openssl", "x509", "-noout", "-serial", "-in", pki.path(n + ".pem")],
                                  capture_output=True, text=True).stdout.strip().split("=")[1] for n in ("carol", "dave")}
        self.assertEqual([r[0] for r in listed], ["1", "2"])
        self.assertEqual({r[2] for r in listed}, serials)
        self.assertEqual({(r[1], r[3], r[4]) for r in listed}, {(None, "UA-36865753", None)})
        self.assertIn('xsi:nil="true"', env.text)

        # Without the recipients' certificates, a library frame names the sender instead.
        framed = b"USC_CRYPT\0" + le32(len(pki.read("alice.cer"))) + pki.read("alice.cer") + cms_encrypt(
            DOC, [pki.path("carol.pem")])
        env = self.original(framed, DRFO=DRFO["bob"])
        self.assertEqual([(r[0], r[4]) for r in self.recipients(env)], [("1", pki.read("alice.cer"))])

        by_key_id = certcrypt(pki.read("alice.cer"), cms_encrypt(DOC, [pki.path("carol.pem")], "-keyid"))
        env = self.call("GET_SIGNED", by_key_id, DRFO=DRFO["bob"])
        self.assertEqual([(r[0], r[1], r[4]) for r in self.recipients(env)], [("1", ids["carol"], None)])

    def test_transport_headers(self):
        signed = self.sign(DOC)
        inner = transportable(b"inner route", signed)
        two = transportable(b"outer route", inner)
        cases = [  # (name, block, command, KeepTransHd, expected)
            ("signed layer, header kept: the inner header's body", two, "GET_SIGNED", "true",
             transportable(b"inner route", signed)),
            ("signed layer without the header", two, "GET_SIGNED", "false", signed),
            ("the original document", two, "GET_ORIGINAL", None, DOC),
            ("ZPOSTTRANSPORTABLE outside", transportable(b"post", two, b"ZPOSTTRANSPORTABLE"), "GET_ORIGINAL", None,
             DOC),
            ("a header with an empty next layer", transportable(b"abcde", b""), "GET_ORIGINAL", None, b""),
        ]
        for name, block, command, keep, expected in cases:
            with self.subTest(name):
                params = {"KeepTransHd": keep} if keep else {}
                env = self.call(command, block, password=None, **params)
                self.assertEqual(env.code, 0, env.text)
                self.assertEqual(base64.b64decode(env.data.text or ""), expected)
        # Only the signers met after the last transport header are returned.
        layered = self.sign(transportable(b"route", self.sign(DOC, "alice")), "rob")
        env = self.original(layered, password=None, ReturnSigns="true")
        self.assert_opens(env)
        self.assertEqual([base64.b64decode(c.text) for c in env.data.find("Certs")], [pki.read("alice.cer")])

    def test_packed_texts(self):
        text = ('<?xml version="1.0" encoding="windows-1251"?><doc>%s</doc>' %
                "".join("<row n='%d'>Рядок %d</row>" % (i, i * 7) for i in range(2000))).encode("cp1251")
        cases = [
            ("zkpack, built-in key", zkpack(text)),
            ("zkpack, trailer", zkpack(text, "--trailer")),
            ("zkpack, x86 filter, trailer, end marker, no declared size", zkpack(text, "--x86", "--trailer",
                                                                                "--end-marker", "--no-size")),
            ("lzma_alone, built-in key", packed_block(scramble(lzma_alone(text)), len(text))),
            ("lzma_alone, trailer", packed_block(scramble(lzma_alone(text), 0x77), 0)),
            ("zkpack inside an envelope", self.encrypt(["bob"], data=zkpack(text, "--trailer"))),
        ]
        for name, block in cases:
            with self.subTest(name):
                env = self.original(block, DRFO=DRFO["bob"])
                self.assert_opens(env, text + b"\0")  # the unpacked text with its zero byte
                env = self.original(block, DRFO=DRFO["bob"], ToUTF8="true")
                self.assert_opens(env, text.decode("cp1251").encode("utf-8"))
        stream = lzma_alone(text)
        broken = bytearray(scramble(stream))
        for i in range(100, len(broken), 11):
            broken[i] ^= 0x3C
        lying = scramble(stream[:6] + struct.pack("<Q", len(text) * 4) + stream[14:])
        for name, block in (("damaged stream", packed_block(bytes(broken), 0)),
                            ("declared size differs", packed_block(scramble(stream), len(text) + 1)),
                            ("stated size larger than the data", packed_block(lying, 0)),
                            ("stated size beyond any bound", packed_block(
                                scramble(stream[:6] + struct.pack("<Q", 1 << 40) + stream[14:]), 0))):
            with self.subTest(name):
                self.assertEqual(self.original(block, password=None).code, 10)

    def test_text_forms_and_timestamped_data(self):
        signed = self.sign(DOC)
        rc, pem, _ = openssl_result("cms", "-cmsout", "-inform", "DER", "-outform", "PEM", data=signed)
        self.assertEqual(rc, 0)
        lines = base64.encodebytes(signed)
        cases = [
            ("PEM", pem, DOC),
            ("Base64 text with line breaks", lines, DOC),
            ("Base64 text of an envelope", base64.b64encode(self.encrypt(["bob"])), DOC),
            ("timestamped data", timestamped(DOC), DOC),
            ("timestamped signed data", timestamped(signed), DOC),
        ]
        for name, block, expected in cases:
            with self.subTest(name):
                self.assert_opens(self.original(block, DRFO=DRFO["bob"]), expected)
        self.assertIn("Before TimestampRead", self.svc.log_text())
        self.assertEqual(self.original(timestamped(DOC, stamped_over=b"another document"), password=None).code, 27)
        self.assertEqual(self.original(pem.replace(b"\n", b"\n*", 3), password=None).code, 10)

    # --- keys, damage, refusals

    def test_keys_are_needed_only_by_envelopes(self):
        signed = self.sign(DOC)
        for name, password in (("no password", None), ("a wrong password", "не той")):
            with self.subTest(name):
                self.assert_opens(self.original(signed, password=password, DRFO=DRFO["bob"]))
        block = self.encrypt(["bob"])
        env = self.original(block, password="не той", DRFO=DRFO["bob"])
        self.assertEqual((env.code, env.detailing), (8, "2"))
        self.assertEqual(self.original(block, password=None, DRFO="9999999999").code, 52)

    def test_damaged_input_gets_codes(self):
        alice = pki.read("alice.cer")
        block = self.encrypt(["bob"], data=DOC[:160])  # a whole number of cipher blocks
        _, _, envelope = frame(block)
        signed = self.sign(DOC)
        padding = bytearray(block)
        padding[-17] ^= 1  # the last plaintext byte, that is the padding, changes
        garbage_cms = der_tlv(0x30, der_tlv(0x06, bytes.fromhex("2A864886F70D010703")) + os.urandom(300))
        deep = signed
        for i in range(60):
            deep = transportable(b"hop", deep)
        deeper = signed
        for i in range(1000):
            deeper = transportable(b"", deeper)
        cases = [  # (name, block, code)
            ("truncated envelope", block[:len(block) // 2], 10),
            ("envelope cut inside the sender certificate header", block[:40], 10),
            ("sender certificate header with a negative length", b"CERTCRYPT\0" + le32(-4) + block[14:], 10),
            ("sender certificate header longer than the block", b"CERTCRYPT\0" + le32(1 << 30) + block[14:], 10),
            ("garbage as the sender's certificate", certcrypt(b"not a certificate", envelope), 3),
            ("transport header longer than the block", transportable(b"x", b"")[:-1], 10),
            ("changed padding", bytes(padding), 13),
            ("enveloped data that is garbage", certcrypt(alice, garbage_cms), 10),
            ("bare enveloped data that is garbage: UA1 wants the sender first", garbage_cms, 57),
            ("signed data cut short", signed[:-30], 10),
            ("sixty transport headers", deep, 0),
            ("a thousand transport headers: more layers than any document has", deeper, 10),
        ]
        for name, data, code in cases:
            with self.subTest(name):
                env = self.original(data, DRFO=DRFO["bob"])
                self.assertEqual((env.command, env.code), ("GET_ORIGINAL", code), env.text[:600])
                if code == 0:
                    self.assertEqual(base64.b64decode(env.data.text or ""), DOC if data is deep else b"")
        self.assertEqual(self.original(transportable(b"x", b"", b"ZPOSTTRANSPORTABLE")[:-3] + le32(7),
                                       password=None).code, 10)
        self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)

    def test_refusals_without_an_envelope(self):
        cert = b64(pki.read("bob.cer"))
        cases = [  # (command, params, data)
            ("ENCRYPT", "<DRFO>%s</DRFO><Pass>%s</Pass>" % (DRFO["alice"], b64(PASS)), b64(DOC)),
            ("ENCRYPT", "<DRFO>%s</DRFO><Cert>%s</Cert>" % (DRFO["alice"], cert), b64(DOC)),
            ("ENCRYPT", "<Pass>%s</Pass><Cert>%s</Cert>" % (b64(PASS), cert), b64(DOC)),
            ("ENCRYPT", "<DRFO>%s</DRFO><Pass>%s</Pass><Cert/>" % (DRFO["alice"], b64(PASS)), b64(DOC)),
            ("ENCRYPT", "<DRFO>%s</DRFO><Pass>%s</Pass><Cert>%s</Cert>" % (DRFO["alice"], b64(PASS), cert), None),
            ("GET_ORIGINAL", "<Pass>%s</Pass>" % b64(PASS), None),
            ("GET_ORIGINAL", None, b64(DOC)),
            ("GET_SIGNED", "<Pass>%s</Pass>" % b64(PASS), None),
        ]
        for command, params, data in cases:
            with self.subTest(command=command, params=params, data=data is not None):
                env = self.svc.post(command=command, params=params, data=data)
                self.assertEqual((env.command, env.code), (None, 56), env.text)
        env = self.svc.post(command="ENCRYPT", params="<DRFO>%s</DRFO><Pass>%s</Pass><Cert>%s</Cert><Cert>QUJD</Cert>" % (
            DRFO["alice"], b64(PASS), cert), data=b64(DOC))
        self.assertEqual((env.code, env.data.text), (3, None))

    def test_clean_forgets_kept_passwords(self):
        # Cleaning marks the certificate list for rebuilding, and a rebuilt list keeps no password.
        block = self.encrypt(["bob"])
        self.assert_opens(self.original(block, DRFO=DRFO["bob"], preserve="true"))
        self.assert_opens(self.original(block, password="", preserve="true", DRFO=DRFO["bob"]))
        self.assertEqual(self.svc.post(command="CLEAN", params="<DRFO> %s </DRFO>" % DRFO["bob"]).code, 0)
        self.assertEqual(self.original(block, password="", preserve="true", DRFO=DRFO["bob"]).code, 8)
        self.assert_opens(self.original(block, DRFO=DRFO["bob"], preserve="true"))
        env = self.svc.post(command="CLEAN")
        self.assertEqual((env.command, env.code), ("CLEAN", 0))
        self.assertEqual(self.original(block, password="", preserve="true", DRFO=DRFO["bob"]).code, 8)

    def test_to_utf8_and_the_log(self):
        text = "Лист для Боба".encode("cp1251")
        block = self.encrypt(["bob"], data=text + b"\0tail")
        env = self.original(block, DRFO=DRFO["bob"], ToUTF8="true")
        self.assert_opens(env, "Лист для Боба".encode("utf-8"))
        log = self.svc.log_text()
        self.assertNotIn(b64(text + b"\0tail"), log)
        self.assertNotIn(base64.b64encode("Лист для Боба".encode("utf-8")).decode(), log)
        self.assertRegex(log, r"<Command>GET_ORIGINAL</Command>.*<Data>\[\d+ bytes\]</Data>")


if __name__ == "__main__":
    unittest.main()


MIB = 1 << 20


class RequestBudget(unittest.TestCase):
    """What one request may unpack (MaxBody in all, however deep the layers),
    and the memory answers hold until their reader has them."""

    def open_packed(self, svc, block):
        return svc.post(command="GET_ORIGINAL", params="<Pass></Pass>", data=b64(block))

    def test_nested_packed_texts_share_one_budget(self):
        text = b"<doc>inner</doc>"
        with Service(settings={"MaxBody": 16 * MIB}) as svc:
            cases = [  # (layers, padding of each outer layer, code)
                (3, 6 * MIB, 0),     # 12 MiB unpacked in all
                (4, 6 * MIB, 10),    # 18 MiB: the fourth layer is never unpacked
                (12, 6 * MIB, 10),
                (1, 0, 0),
            ]
            for layers, padding, code in cases:
                with self.subTest(layers=layers):
                    env = self.open_packed(svc, nested_packed(text, layers, padding))
                    self.assertEqual(env.code, code, env.text[:300])
                    if code == 0:
                        self.assertEqual(base64.b64decode(env.data.text), text + b"\0")
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)

    def test_answers_left_unread_hold_memory_until_their_time_is_up(self):
        text = b"A" * (24 * MIB)  # its answer is far more than the connection's buffers take
        body = form_body(request_xml("GET_ORIGINAL", "<Pass></Pass>", b64(zkpack(text)))).encode()
        head = b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body)
        settings = {"MaxBody": 64 * MIB, "MaxBodiesInFlight": 64 * MIB, "AnswerTimeout": 2}
        with Service(settings=settings) as svc:
            def status(sock):
                sock.sendall(head + body)
                return int(sock.recv(12).split()[1])
            # Two unread answers fit in the budget; the third request finds no room.
            idle = [socket.create_connection(("127.0.0.1", svc.port), timeout=60) for _ in range(3)]
            try:
                self.assertEqual([status(s) for s in idle], [200, 200, 503])
                # Their readers take nothing: the connections go, with their answers' memory.
                deadline = time.monotonic() + 60
                while svc.log_text().count("An answer not taken by its reader") < 2 and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertEqual(svc.log_text().count("An answer not taken by its reader"), 2)
                for s in idle[:2]:
                    s.settimeout(10)  # closed by the service: the reads end before this
                    try:
                        while s.recv(1 << 20):
                            pass
                    except ConnectionResetError:
                        pass
            finally:
                for s in idle:
                    s.close()
            # A reader that takes its answer gets all of it.
            with socket.create_connection(("127.0.0.1", svc.port), timeout=60) as s:
                s.sendall(head + body)
                reply = b""
                while True:
                    chunk = s.recv(1 << 20)
                    if not chunk:
                        break
                    reply += chunk
                    if b"</Result>" in reply[-200:]:
                        break
            self.assertTrue(reply.startswith(b"HTTP/1.1 200"), reply[:100])
            data = re.search(rb"<Data>([^<]*)</Data>", reply).group(1)
            self.assertEqual(base64.b64decode(data), text + b"\0")
