"""Certificates and key files made at test time with zkpki, and the check of
signatures with the openssl command line (an implementation independent of
the service's)."""

import base64
import os
import shutil
import subprocess
import tempfile
import unittest

from zkservice import BUILD_BIN

ZKPKI = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tools", "zkpki")


def b64(value):
    """Base64 text of bytes, or of the UTF-8 bytes of a text."""
    return base64.b64encode(value if isinstance(value, bytes) else value.encode("utf-8")).decode()


class Pki:
    """zkpki in one folder; every call raises when the tool fails."""

    def __init__(self, folder):
        self.dir = folder
        os.makedirs(folder, exist_ok=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run(self, *args):
        p = subprocess.run([ZKPKI] + [str(a) for a in args], capture_output=True, text=True)
        if p.returncode != 0:
            raise RuntimeError("zkpki %s: %s" % (" ".join(map(str, args)), p.stderr))
        return p.stdout.strip()

    def ca(self, name, *options):
        self.run("ca", "--out", self.dir, "--name", name, *options)

    def user(self, name, ca="ca", *options):
        """Makes NAME.cer/.pem/.key.pem; returns the key identifier (the Serial)."""
        return self.run("user", "--out", self.dir, "--name", name, "--ca", self.path(ca), *options)

    def keyfile(self, out, password, user, fmt="p12", user2=None):
        args = ["keyfile", "--out", out, "--format", fmt, "--pass", password, "--key", self.path(user + ".key.pem")]
        if fmt == "p12":
            args += ["--cert", self.path(user + ".pem")]
        if user2:
            args += ["--key2", self.path(user2 + ".key.pem"), "--cert2", self.path(user2 + ".pem")]
        self.run(*args)

    def two_key_file(self, out, password, drfo):
        """Two users with one DRFO, a signing (0xC0) and a key-agreement (0x08)
        certificate, whose keys share one PKCS#12 file; returns their identifiers."""
        ids = {"sign2": self.user("sign2", "ca", "--drfo", drfo, "--ku", "0xC0"),
               "enc2": self.user("enc2", "ca", "--drfo", drfo, "--ku", "0x08")}
        self.keyfile(out, password, "sign2", user2="enc2")
        return ids

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


def module_folder(prefix):
    """A temporary folder for one test module, removed when its tests end."""
    folder = tempfile.mkdtemp(prefix=prefix)
    unittest.addModuleCleanup(shutil.rmtree, folder, ignore_errors=True)
    return folder


def module_pki(prefix, *cas):
    """A module's temporary folder and a Pki in its pki/ subfolder with the
    named CAs made; returns (folder, pki)."""
    folder = module_folder(prefix)
    pki = Pki(os.path.join(folder, "pki"))
    for name in cas:
        pki.ca(name)
    return folder, pki


class Verified:
    """The outcome of openssl cms -verify: ok, the content, the signer's certificate (PEM), the structure."""

    def __init__(self, ok, content, signer, printed, stderr):
        self.ok, self.content, self.signer, self.printed, self.stderr = ok, content, signer, printed, stderr


def cms_verify(signature, ca_pem, content=None):
    """Verifies DER SignedData with the CA, CAdES signing certificate check
    included; content is given for a detached signature."""
    with tempfile.TemporaryDirectory() as tmp:
        sig, out, signer, data = (os.path.join(tmp, n) for n in ("sig.der", "out.bin", "signer.pem", "data.bin"))
        with open(sig, "wb") as f:
            f.write(signature)
        args = ["openssl", "cms", "-verify", "-cades", "-binary", "-inform", "DER", "-in", sig, "-CAfile", ca_pem,
                "-out", out, "-signer", signer]
        if content is not None:
            with open(data, "wb") as f:
                f.write(content)
            args += ["-content", data]
        p = subprocess.run(args, capture_output=True)
        printed = subprocess.run(["openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", sig],
                                 capture_output=True, text=True).stdout
        return Verified(p.returncode == 0, read(out), read(signer), printed, p.stderr.decode(errors="replace"))


def flip(data, offset):
    """data with one bit changed at offset."""
    changed = bytearray(data)
    changed[offset] ^= 0x01
    return bytes(changed)


def read(path):
    if not os.path.exists(path):
        return b""
    with open(path, "rb") as f:
        return f.read()


def der_to_pem(der, label):
    """DER bytes in PEM armour under label, 64 Base64 characters a line."""
    text = base64.b64encode(der).decode()
    lines = "".join(text[i:i + 64] + "\n" for i in range(0, len(text), 64))
    return ("-----BEGIN %s-----\n%s-----END %s-----\n" % (label, lines, label)).encode()


def pem_to_der(pem):
    p = subprocess.run(["openssl", "x509", "-outform", "DER"], input=pem, capture_output=True, check=True)
    return p.stdout


# --- reading DER (a signed container's parts) without any code of the service

def der_element(data, pos):
    """The element at pos: (tag, content start, end). Definite lengths only."""
    tag = data[pos]
    at = pos + 1
    if tag & 0x1F == 0x1F:
        while data[at] & 0x80:
            at += 1
        at += 1
    first = data[at]
    at += 1
    if first < 0x80:
        length = first
    else:
        n = first & 0x7F
        length = int.from_bytes(data[at:at + n], "big")
        at += n
    return tag, at, at + length


def der_children(data, start, end):
    """Each element between start and end: (tag, element start, content start, end)."""
    out = []
    pos = start
    while pos < end:
        tag, content, stop = der_element(data, pos)
        out.append((tag, pos, content, stop))
        pos = stop
    return out


def signed_data_fields(container):
    """The SignedData fields of a ContentInfo: list of (tag, start, content, end)."""
    _, start, end = der_element(container, 0)
    _, explicit = der_children(container, start, end)[:2]
    _, sd_start, sd_end = der_element(container, explicit[2])
    return der_children(container, sd_start, sd_end)


def signer_infos(container):
    """The DER of each SignerInfo, in the order the container writes them."""
    fields = signed_data_fields(container)
    _, _, start, end = fields[-1]
    return [container[s:e] for _, s, _, e in der_children(container, start, end)]


def signer_parts(signer_info):
    """A SignerInfo's fields: version, sid, digestAlgorithm, signatureAlgorithm,
    signature (the DER of each) and signedAttrs ([0], or None)."""
    _, start, end = der_element(signer_info, 0)
    parts = {"signedAttrs": None}
    plain = []
    for tag, s, _, e in der_children(signer_info, start, end):
        if tag == 0xA0:
            parts["signedAttrs"] = signer_info[s:e]
        elif tag != 0xA1:
            plain.append(signer_info[s:e])
    for name, value in zip(("version", "sid", "digestAlgorithm", "signatureAlgorithm", "signature"), plain):
        parts[name] = value
    return parts


def signature_value(signer_info):
    """The octets of the signature value."""
    sig = signer_parts(signer_info)["signature"]
    _, start, end = der_element(sig, 0)
    return sig[start:end]


def openssl(*args, data=None):
    """Runs the openssl command line; raises with its message when it fails."""
    p = subprocess.run(["openssl"] + [str(a) for a in args], input=data, capture_output=True)
    if p.returncode != 0:
        raise RuntimeError("openssl %s: %s" % (" ".join(map(str, args)), p.stderr.decode(errors="replace")))
    return p.stdout


def openssl_result(*args, data=None):
    """Runs the openssl command line; returns (exit code, stdout bytes, stderr text)."""
    p = subprocess.run(["openssl"] + [str(a) for a in args], input=data, capture_output=True)
    return p.returncode, p.stdout, p.stderr.decode(errors="replace")


def cms_decrypt(envelope, cert_pem, key_pem):
    """Opens DER EnvelopedData with openssl cms -decrypt for one recipient; None when it does not open."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "env.der")
        with open(path, "wb") as f:
            f.write(envelope)
        rc, out, _ = openssl_result("cms", "-decrypt", "-binary", "-inform", "DER", "-in", path, "-recip", cert_pem,
                             "-inkey", key_pem)
        return out if rc == 0 else None


def cms_encrypt(content, recipient_pems, *options):
    """DER EnvelopedData made by openssl cms -encrypt (AES-256; RSA recipients with OAEP)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "in.bin")
        with open(path, "wb") as f:
            f.write(content)
        args = ["cms", "-encrypt", "-binary", "-aes256", "-outform", "DER", "-in", path] + list(options)
        for pem in recipient_pems:
            args += ["-recip", pem]
            if _is_rsa(pem):
                args += ["-keyopt", "rsa_padding_mode:oaep"]
        rc, out, err = openssl_result(*args)
        if rc != 0:
            raise RuntimeError("openssl cms -encrypt: " + err)
        return out


def _is_rsa(pem):
    rc, out, _ = openssl_result("x509", "-noout", "-text", "-in", pem)
    return b"rsaEncryption" in out


def cms_sign(content, cert_pem, key_pem, *options):
    """DER SignedData with the content attached, made by openssl cms -sign."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "in.bin")
        with open(path, "wb") as f:
            f.write(content)
        rc, out, err = openssl_result("cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-in", path, "-signer",
                               cert_pem, "-inkey", key_pem, *options)
        if rc != 0:
            raise RuntimeError("openssl cms -sign: " + err)
        return out


def der_tlv(tag, content):
    """One DER element."""
    n = len(content)
    if n < 0x80:
        head = bytes([tag, n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([tag, 0x80 | len(size)]) + size
    return head + content


def der_elements(der):
    """The elements of a DER SEQUENCE (or SET) as their whole encodings."""
    def header(at):
        n = der[at + 1]
        if n < 0x80:
            return 2, n
        k = n & 0x7F
        return 2 + k, int.from_bytes(der[at + 2:at + 2 + k], "big")
    hl, length = header(0)
    out, at = [], hl
    while at < hl + length:
        h, n = header(at)
        out.append(der[at:at + h + n])
        at += h + n
    return out


def der_replace_integers(der, old, new, first=None):
    """der with every INTEGER whose value is old (or the first `first` of them,
    in document order) made new, wherever it lies:
    inside constructed elements and inside OCTET STRINGs that hold DER (a
    PKCS#12 authSafe and its SafeContents); the lengths around each change are
    written anew, everything else is kept byte for byte. Returns (bytes, count
    of INTEGERs changed)."""
    def encoded(value):
        size = max(1, (value.bit_length() + 8) // 8)
        return der_tlv(0x02, value.to_bytes(size, "big", signed=True))

    def elements(start, end):
        out, pos = [], start
        while pos < end:
            tag, content, stop = der_element(der, pos)
            if tag & 0x1F == 0x1F or stop > end or content > stop:
                raise ValueError("not DER")
            out.append((tag, pos, content, stop))
            pos = stop
        return out

    def rewrite(start, end):
        parts, changed = [], 0
        for tag, pos, content, stop in elements(start, end):
            inner, n = None, 0
            if (tag == 0x02 and int.from_bytes(der[content:stop], "big", signed=True) == old
                    and (first is None or done[0] < first)):
                parts.append(encoded(new))
                changed += 1
                done[0] += 1
                continue
            if tag & 0x20:
                inner, n = rewrite(content, stop)
            elif tag == 0x04:
                try:
                    inner, n = rewrite(content, stop)
                except (ValueError, IndexError):
                    n = 0  # bytes that only look like DER in part
            parts.append(der_tlv(tag, inner) if n else der[pos:stop])
            changed += n
        return b"".join(parts), changed

    done = [0]
    return rewrite(0, len(der))
