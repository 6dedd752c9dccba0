"""Writes the seed corpora of fuzz_ctx_envelopes and fuzz_key_stores with
openssl and the key store writer of the integration tests: envelopes for
throwaway certificates, a signed container, Java key stores with
trusted-certificate entries and a key entry whose protected key is random
bytes, and a PKCS#12 file of certificates alone. Certificates and envelopes
only: no private key lands in the corpus. Run from the repository:
    python3 tests/fuzz/corpus/make_envelope_seeds.py"""

import os
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "integration"))

from pkifixtures import cms_encrypt, der_tlv, openssl  # noqa: E402
import test_key_stores as ks  # noqa: E402

PASS = "fuzz"  # the password the fuzzer uses


def write(folder, name, data):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


def jks_body(certs, garbage_key=None):
    entries = [struct.pack(">I", 2) + ks.jks_utf("t%d" % i) + struct.pack(">Q", 1) + ks.jks_cert(c)
               for i, c in enumerate(certs)]
    if garbage_key is not None:
        protected = der_tlv(0x30, der_tlv(0x30, bytes.fromhex("060a2b060104012a021101010500")) +
                            der_tlv(0x04, garbage_key))
        entries.append(struct.pack(">I", 1) + ks.jks_utf("k") + struct.pack(">Q", 1) +
                       struct.pack(">I", len(protected)) + protected + struct.pack(">I", 1) + ks.jks_cert(certs[0]))
    return struct.pack(">III", 0xFEEDFEED, 2, len(entries)) + b"".join(entries)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        pems, ders = [], []
        for name, newkey in (("rsa", ["-newkey", "rsa:1024"]), ("ec", ["-newkey", "ec", "-pkeyopt",
                                                                       "ec_paramgen_curve:P-256"])):
            key, pem = os.path.join(tmp, name + ".key"), os.path.join(tmp, name + ".pem")
            openssl("req", "-x509", *newkey, "-nodes", "-keyout", key, "-out", pem, "-subj", "/CN=" + name,
                    "-days", "1")
            pems.append(pem)
            ders.append(openssl("x509", "-outform", "DER", "-in", pem))
        doc = b"seed document"
        write("ctx_envelopes", "ktri.der", cms_encrypt(doc, pems[:1]))
        write("ctx_envelopes", "kari.der", cms_encrypt(doc, pems[1:]))
        write("ctx_envelopes", "keyid-two.der", cms_encrypt(doc, pems, "-keyid"))
        write("ctx_envelopes", "signed.der", openssl("cms", "-sign", "-binary", "-nodetach", "-outform", "DER",
                                                     "-signer", pems[1], "-inkey", os.path.join(tmp, "ec.key"),
                                                     data=doc))
        body = jks_body(ders)
        write("key_stores", "jks-trusted-digested", b"\x01" + body)
        write("key_stores", "jks-trusted-only-user", b"\x03" + body)
        write("key_stores", "jks-garbage-key", b"\x01" + jks_body(ders[1:], os.urandom(80)))
        full = body + ks.hashlib.sha1(PASS.encode("utf-16-be") + b"Mighty Aphrodite" + body).digest()
        write("key_stores", "jks-whole", b"\x00" + full)
        p12 = openssl("pkcs12", "-export", "-nokeys", "-in", pems[0], "-passout", "pass:" + PASS)
        write("key_stores", "p12-certs", b"\x00" + p12)
        write("key_stores", "p12-plain", b"\x02" + openssl("pkcs12", "-export", "-nokeys", "-in", pems[1],
                                                           "-certpbe", "NONE", "-passout", "pass:" + PASS))


if __name__ == "__main__":
    main()
