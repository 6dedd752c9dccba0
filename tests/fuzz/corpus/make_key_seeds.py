"""Writes the key file seeds of fuzz_key_stores: key files under the fuzzer's
password ("fuzz") made by openssl for a throwaway key, with usual iteration
counts and with counts rewritten in their DER beyond the cap of 10^7 (so that
mutations start on both sides of it), PKCS#12 files of the legacy schemes
among them. Each seed begins with the target's flag byte (0: no JKS digest;
4: listed without a password as well). Run from the repository:
    python3 tests/fuzz/corpus/make_key_seeds.py"""

import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "integration"))

from pkifixtures import der_replace_integers, openssl  # noqa: E402

COUNT = 2049


def main():
    with tempfile.TemporaryDirectory() as tmp:
        key, cert = os.path.join(tmp, "key.pem"), os.path.join(tmp, "cert.pem")
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=seed",
                "-days", "1", "-keyout", key, "-out", cert)
        p12 = openssl("pkcs12", "-export", "-inkey", key, "-in", cert, "-passout", "pass:fuzz", "-iter", COUNT)
        p8 = openssl("pkcs8", "-topk8", "-in", key, "-passout", "pass:fuzz", "-outform", "DER", "-v2", "aes-256-cbc",
                     "-iter", COUNT)
        scrypt = openssl("pkcs8", "-topk8", "-in", key, "-passout", "pass:fuzz", "-outform", "DER", "-scrypt",
                         "-scrypt_N", 1024, "-scrypt_r", 8, "-scrypt_p", 3)
        pem = openssl("pkcs8", "-topk8", "-in", key, "-passout", "pass:fuzz", "-v2", "aes-128-cbc", "-iter", COUNT)
        # The schemes of older tools: RC2-40 certificates and a 3DES key, and an RC4 key.
        legacy = openssl("pkcs12", "-export", "-legacy", "-inkey", key, "-in", cert, "-passout", "pass:fuzz", "-iter",
                         COUNT)
        rc4 = openssl("pkcs12", "-export", "-legacy", "-inkey", key, "-in", cert, "-passout", "pass:fuzz", "-iter",
                      COUNT, "-keypbe", "PBE-SHA1-RC4-128", "-certpbe", "PBE-SHA1-RC2-128")
        seeds = {
            "p12-counts": p12,
            "p12-counts-beyond": der_replace_integers(p12, COUNT, 2 ** 31 - 1)[0],
            "p8-pbkdf2": p8,
            "p8-pbkdf2-beyond": der_replace_integers(p8, COUNT, 10_000_001)[0],
            "p8-scrypt": scrypt,
            "p8-scrypt-beyond": der_replace_integers(scrypt, 3, 2000)[0],
            "p8-pem": pem,
            "p12-legacy": legacy,
            "p12-legacy-beyond": der_replace_integers(legacy, COUNT, 2 ** 31 - 1)[0],
            "p12-rc4": rc4,
        }
        listed_unchecked = {"p12-legacy", "p12-rc4"}  # flag 4: also listed without a password
        for name, data in seeds.items():
            with open(os.path.join(HERE, "key_stores", name), "wb") as f:
                f.write((b"\x04" if name in listed_unchecked else b"\x00") + data)


if __name__ == "__main__":
    main()
