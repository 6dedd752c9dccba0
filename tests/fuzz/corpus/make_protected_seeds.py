"""Writes the seed corpora of fuzz_transport_headers, fuzz_protected_layers and fuzz_packed_xml:
real blocks made by the running service, openssl, zkpack and lzma_alone
(small documents, so the files stay small). Certificates and envelopes only:
no private key lands in the corpus. Run from the repository after a build:
    python3 tests/fuzz/corpus/make_protected_seeds.py"""

import base64
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "integration"))

import test_protected as t  # noqa: E402
from pkifixtures import cms_encrypt, openssl  # noqa: E402


def write(folder, name, data):
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


def main():
    t.setUpModule()
    case = t.Protected("test_to_utf8_and_the_log")
    t.Protected.setUpClass()
    try:
        doc = b"<doc>seed</doc>"
        signed = case.sign(doc)
        alice = t.pki.read("alice.cer")
        seeds = {
            "signed.der": signed,
            "signed.b64": base64.encodebytes(signed),
            "signed.pem": openssl("cms", "-cmsout", "-inform", "DER", "-outform", "PEM", data=signed)[1],
            "transportable.bin": t.transportable(b"route", signed),
            "zpost.bin": t.transportable(b"post", t.transportable(b"route", signed), b"ZPOSTTRANSPORTABLE"),
            "ua1.bin": case.encrypt(["bob"], lib="UA1", data=doc),
            "usc.bin": case.encrypt(["rob"], lib="USC", data=doc),
            "qlb.bin": case.encrypt(["bob", "rob"], lib="QLB", data=doc),
            "usc_qlb.bin": b"USC_CRYPT\0" + case.encrypt(["bob"], lib="QLB", data=doc),
            "openssl_ber.bin": t.certcrypt(alice, cms_encrypt(doc, [t.pki.path("bob.pem")], "-stream")),
            "timestamped.der": t.timestamped(doc),
        }
        for name, data in seeds.items():
            write("transport_headers", name, data)
        text = b'<?xml version="1.0"?><doc>' + b"<row>packed seed</row>" * 40 + b"</doc>"
        packed = {
            "key.bin": t.zkpack(text),
            "trailer.bin": t.zkpack(text, "--trailer"),
            "x86_marker.bin": t.zkpack(text, "--x86", "--trailer", "--end-marker", "--no-size"),
            "lzma_alone.bin": t.packed_block(t.scramble(t.lzma_alone(text)), len(text)),
            "tiny.bin": t.zkpack(b"<a/>"),
        }
        for name, data in packed.items():
            write("packed_xml", name, data)
        write("transport_headers", "packed.bin", packed["trailer.bin"])
        # The layered opening starts from the same blocks, plus packed texts inside packed texts.
        for name, data in list(seeds.items()) + [("packed.bin", packed["trailer.bin"])]:
            write("protected_layers", name, data)
        write("protected_layers", "nested_packed.bin", t.nested_packed(doc, 3, 2000))
    finally:
        t.Protected.tearDownClass()
        t.tearDownModule()


if __name__ == "__main__":
    main()
