"""Signed containers through the running service: CTX_CREATE_CONTAINER and
CTX_ADD_SIGNATURE for every library class and key type, the edits (remove,
merge, content off and on) keeping every other signature byte for byte,
inspection and verification of our containers and of containers made by
openssl cms -sign, the trust check against a profile's CACert, and bad input.
Every container the service makes is checked with openssl cms; the parts of
a container are read with a small DER walker of the tests' own."""

import base64
import hashlib
import os
import tempfile
import time
import unittest

from pkifixtures import b64, cms_verify, flip, openssl, signature_value, signer_infos, signer_parts, module_pki
from zkservice import service_with

PASS = "пароль 1"
DOC = "Акт №5: «погоджено обома сторонами»\n".encode("utf-8")
OTHER_DOC = b"another document"

# name: (CA, key type, DRFO). The CAs' serialNumber decides the crypto
# library of their certificates: QLB (UA-36865753), USC (UA-33406510), UA1
# (anything else). "rogue" is a second CA that also calls itself UA-36865753.
USERS = {
    "qlb-ec": ("qlb", "ec", "1000000001"),
    "qlb-p384": ("qlb", "p384", "1000000002"),
    "qlb-rsa": ("qlb", "rsa", "1000000003"),
    "usc-ec": ("usc", "ec", "1000000004"),
    "usc-rsa": ("usc", "rsa", "1000000005"),
    "ua1-p384": ("ua1", "p384", "1000000006"),
    "ua1-ec": ("ua1", "ec", "1000000007"),
    "rogue-ec": ("rogue", "ec", "1000000009"),
}
TRUSTED_CAS = ("qlb", "usc", "ua1")
OID_SHA384 = "2.16.840.1.101.3.4.2.2"
OID_SHA512 = "2.16.840.1.101.3.4.2.3"


def setUpModule():
    global pki, tmp, ca_bundle, tsa
    tmp, pki = module_pki("zk-ctx-", "qlb")
    pki.ca("usc", "--serial", "UA-33406510")
    pki.ca("ua1", "--serial", "UA-99999999", "--key", "rsa")
    pki.ca("rogue")
    for name, (ca, key, drfo) in USERS.items():
        pki.user(name, ca, "--drfo", drfo, "--key", key)
        pki.keyfile(pki.path(name + ".pfx"), PASS, name)
    # Valid from tomorrow for a month: good only for signatures that say they
    # were made then.
    day = 86400
    pki.user("later", "qlb", "--drfo", "1000000010", "--not-before", utc_text(time.time() + day), "--not-after",
             utc_text(time.time() + 30 * day))
    pki.keyfile(pki.path("later.pfx"), PASS, "later")
    ca_bundle = pki.path("trusted.pem")
    with open(ca_bundle, "wb") as f:
        for ca in TRUSTED_CAS:
            f.write(pki.read(ca + ".pem"))
    tsa = make_tsa(os.path.join(tmp, "tsa"))


def utc_text(seconds):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(seconds))


def make_tsa(folder):
    """A timestamp authority for openssl ts -reply (its certificate needs a
    critical timeStamping extended key usage)."""
    os.makedirs(folder)
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            os.path.join(folder, "tsa.key"), "-out", os.path.join(folder, "tsa.pem"), "-subj", "/CN=Test TSA",
            "-days", "30", "-addext", "extendedKeyUsage=critical,timeStamping")
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("01\n")
    with open(os.path.join(folder, "tsa.cnf"), "w") as f:
        f.write("[tsa]\ndefault_tsa = one\n[one]\ndir = %s\nserial = $dir/serial\ncrypto_device = builtin\n"
                "signer_cert = $dir/tsa.pem\nsigner_key = $dir/tsa.key\nsigner_digest = sha256\n"
                "default_policy = 1.2.3.4.1\ndigests = sha256\naccuracy = secs:1\ness_cert_id_alg = sha256\n"
                % folder)
    return folder


def timestamp_token(document):
    """An RFC 3161 token over document (DER)."""
    doc, query, token = (os.path.join(tsa, n) for n in ("doc.bin", "q.tsq", "token.der"))
    with open(doc, "wb") as f:
        f.write(document)
    openssl("ts", "-query", "-data", doc, "-sha256", "-cert", "-out", query)
    openssl("ts", "-reply", "-config", os.path.join(tsa, "tsa.cnf"), "-queryfile", query, "-token_out", "-out", token)
    with open(token, "rb") as f:
        return f.read()


def openssl_sign(signers, document=DOC, *options, detached=False):
    """A container made by openssl cms -sign with the users' keys (DER)."""
    with tempfile.TemporaryDirectory() as work:
        doc, out = os.path.join(work, "doc"), os.path.join(work, "out.der")
        with open(doc, "wb") as f:
            f.write(document)
        args = ["cms", "-sign", "-binary", "-outform", "DER", "-in", doc, "-out", out]
        if not detached:
            args.append("-nodetach")
        for name in signers:
            args += ["-signer", pki.path(name + ".pem"), "-inkey", pki.path(name + ".key.pem")]
        openssl(*(args + list(options)))
        with open(out, "rb") as f:
            return f.read()


def printed(container):
    return openssl("cms", "-cmsout", "-print", "-inform", "DER", data=container).decode()


class ContainerCase(unittest.TestCase):
    """One service per class; Cert/ holds every user's certificate and key file."""

    ini = None  # ZelkorH.ini to use instead of the build's

    @classmethod
    def setUpClass(cls):
        cls.svc = service_with([pki.path(n + ext) for n in list(USERS) + ["later"] for ext in (".cer", ".pfx")],
                               cls.ini)

    @classmethod
    def tearDownClass(cls):
        cls.svc.__exit__(None, None, None)

    # --- requests
    def signing(self, command, signer, data, extra="", password=PASS):
        drfo = {"later": "1000000010"}.get(signer) or USERS.get(signer, ("", "", signer))[2]
        params = "<DRFO>%s</DRFO><Pass>%s</Pass>%s" % (drfo, b64(password), extra)
        return self.svc.post(command=command, params=params, data=b64(data))

    def create(self, signer, document=DOC, extra=""):
        return self.signing("CTX_CREATE_CONTAINER", signer, document, extra)

    def ok(self, env):
        self.assertEqual(env.code, 0, env.text[:2000])
        return base64.b64decode(env.data.text or "")

    def made(self, signer, document=DOC, extra=""):
        return self.ok(self.create(signer, document, extra))

    def add(self, container, signer, extra=""):
        return self.signing("CTX_ADD_SIGNATURE", signer, container, extra)

    def verify(self, container, content=None):
        """(code, [result of each signature])."""
        if content is None:
            env = self.svc.post(command="CTX_VERIFY_SIGNS", data=b64(container))
        else:
            env = self.svc.post(command="CTX_VERIFY_EXTERNAL_SIGNS", params="<Content>%s</Content>" % b64(content),
                                data=b64(container))
        results = [] if env.data is None else env.data.findall("Results/Result")
        self.assertEqual([r.get("Num") for r in results], [str(i) for i in range(len(results))])
        return env.code, [int(r.text) for r in results]

    def info(self, container, index, skip=False):
        params = "<SignIndex>%d</SignIndex>%s" % (index, "<SkipContent>true</SkipContent>" if skip else "")
        return self.svc.post(command="CTX_GET_CONTAINER_INFO", params=params, data=b64(container))

    def piece(self, env, name):
        return base64.b64decode(env.data.findtext(name) or "")

    def assert_openssl_verifies(self, container, content=None, expect_content=DOC):
        v = cms_verify(container, ca_bundle, content)
        self.assertTrue(v.ok, v.stderr)
        self.assertEqual(v.content, expect_content)
        return v


class Create(ContainerCase):
    def test_every_library_class_and_key_type_attached_and_detached(self):
        for name, (ca, key, _) in USERS.items():
            if ca == "rogue":
                continue
            for store in ("", "<StoreContent>false</StoreContent>"):
                with self.subTest(signer=name, detached=bool(store)):
                    env = self.create(name, extra=store)
                    container = self.ok(env)
                    self.assertEqual(env.detailing, "0")  # the key came from the key files
                    if store:
                        self.assertFalse(cms_verify(container, ca_bundle).ok, "no content inside")
                        v = self.assert_openssl_verifies(container, DOC)
                        self.assertEqual(self.verify(container, DOC), (0, [0]))
                        self.assertEqual(self.verify(container, OTHER_DOC), (0, [13]))
                    else:
                        v = self.assert_openssl_verifies(container)
                        self.assertEqual(self.verify(container), (0, [0]))
                    self.assertEqual(openssl("x509", "-outform", "DER", data=v.signer), pki.read(name + ".cer"))
                    digest = "sha384" if key == "p384" else "sha256"
                    self.assertIn("algorithm: %s" % digest, v.printed)
                    for attribute in ("contentType", "messageDigest", "signingTime", "signingCertificateV2"):
                        self.assertIn(attribute, v.printed, attribute)
                    self.assertNotIn("id-smime-aa-ets-sigPolicyId", v.printed)

    def test_large_content_goes_into_the_answer_where_it_lies(self):
        # From 64 KiB on the container is signed without its content and the
        # answer frames the request's own document: the same container for a
        # reader, at and around the size where that starts, and DER that
        # openssl re-encodes to the very same bytes.
        for size in (64 * 1024 - 1, 64 * 1024, 300 * 1024 + 1):
            with self.subTest(size=size):
                document = os.urandom(size)
                container = self.made("qlb-rsa", document)
                self.assert_openssl_verifies(container, expect_content=document)
                self.assertEqual(openssl("cms", "-cmsout", "-inform", "DER", "-outform", "DER", data=container),
                                 container)
                self.assertEqual(self.verify(container), (0, [0]))

    def test_the_document_is_the_requests_own_data_whatever_else_looks_like_one(self):
        # A large Data text that is not the request's own (inside Params here,
        # ahead of it) is decoded as the request arrives like any other; the
        # command still reads the request's Data, whichever of the two is larger.
        container = self.made("qlb-ec", os.urandom(300 * 1024))
        for decoy in (100 * 1024, 600 * 1024):
            with self.subTest(decoy=decoy):
                env = self.svc.post(command="CTX_VERIFY_SIGNS", params="<Data>%s</Data>" % b64(os.urandom(decoy)),
                                    data=b64(container))
                self.assertEqual((env.code, [r.text for r in env.data.findall("Results/Result")]), (0, ["0"]))

    def test_store_content_reads_true_in_any_case_and_anything_else_as_false(self):
        for text, attached in (("TRUE", True), ("true", True), ("no", False), ("1", False)):
            with self.subTest(text):
                container = self.made("qlb-ec", extra="<StoreContent>%s</StoreContent>" % text)
                self.assertEqual(cms_verify(container, ca_bundle).ok, attached)
                self.assertEqual(bool(self.piece(self.info(container, 0), "Content")), attached)

    def test_signing_time_texts(self):
        local = lambda *t: int(time.mktime(t + (0, 0, -1)))
        cases = [  # (text, expected seconds since 1970, or None: the moment of signing)
            ("01/02/2020", local(2020, 2, 1, 0, 0, 0)),
            ("01.02.2020 10:11", local(2020, 2, 1, 10, 11, 0)),
            ("01\\02\\2020 10:11:12", local(2020, 2, 1, 10, 11, 12)),
            ("2020-02-01", None),
            ("31.02.2020", None),
            ("01.13.2020 10:00", None),
            ("yesterday", None),
        ]
        for text, expected in cases:
            with self.subTest(text):
                before = time.time()
                container = self.made("qlb-ec", extra="<Additional><SigningTime>%s</SigningTime></Additional>" % text)
                self.assert_openssl_verifies(container)
                shown = self.info(container, 0).data.findtext("SigningTime")
                seconds = time.mktime(time.strptime(shown, "%d.%m.%Y %H:%M:%S"))
                if expected is None:
                    self.assertLess(abs(seconds - before), 120, shown)
                else:
                    self.assertEqual(seconds, expected, shown)
                    # As signed: the UTCTime in the signed attributes.
                    utc = time.strftime("%y%m%d%H%M%SZ", time.gmtime(expected)).encode()
                    self.assertIn(utc, signer_parts(signer_infos(container)[0])["signedAttrs"])

    def test_policy_and_content_timestamp_are_signed_and_read_back(self):
        token = timestamp_token(DOC)
        notice = "Політика підпису №1"
        additional = ("<Additional><SigPolicy>%s</SigPolicy><SigPolicyURI>%s</SigPolicyURI>"
                      "<SigPolicyMessage>%s</SigPolicyMessage><ContentTimestamp>%s</ContentTimestamp></Additional>"
                      % (b64("1.2.804.2.1.1.1.2.1"), b64("http://pki.example/policy"), b64(notice), b64(token)))
        for store in ("", "<StoreContent>false</StoreContent>"):
            with self.subTest(detached=bool(store)):
                container = self.made("usc-rsa", extra=additional + store)
                v = self.assert_openssl_verifies(container, DOC if store else None)
                self.assertIn("id-smime-aa-ets-sigPolicyId", v.printed)
                self.assertIn("id-smime-aa-ets-contentTimestamp", v.printed)
                self.assertIn(token, signer_parts(signer_infos(container)[0])["signedAttrs"], "embedded unchanged")
                env = self.info(container, 0)
                self.assertEqual(self.piece(env, "SigPolicy"), b"1.2.804.2.1.1.1.2.1")
                self.assertEqual(self.piece(env, "SigPolicyURI"), b"http://pki.example/policy")
                self.assertEqual(self.piece(env, "SigPolicyMessage").decode(), notice)
                self.assertEqual(self.piece(env, "ContentTimestamp"), token)
        # The policy may also be given as the DER of its identifier.
        der_oid = openssl("asn1parse", "-genstr", "OID:1.2.3.4.5", "-noout", "-out", "/dev/stdout")
        env = self.info(self.made("qlb-ec", extra="<Additional><SigPolicy>%s</SigPolicy></Additional>" % b64(der_oid)), 0)
        self.assertEqual(self.piece(env, "SigPolicy"), b"1.2.3.4.5")

    def test_empty_additional_leaves_every_attribute_out(self):
        extra = ("<Additional><SigningTime/><SigPolicy/><SigPolicyURI></SigPolicyURI><SigPolicyMessage/>"
                 "<ContentTimestamp/></Additional>")
        v = self.assert_openssl_verifies(self.made("qlb-ec", extra=extra))
        self.assertNotIn("sigPolicyId", v.printed)
        self.assertNotIn("contentTimestamp", v.printed)

    def test_attribute_and_signer_failures_answer_their_codes(self):
        cases = [  # (name, signer, Additional children, password, code, detailing)
            ("policy that is no identifier", "qlb-ec", "<SigPolicy>%s</SigPolicy>" % b64("policy one"), PASS, 56, "0"),
            ("policy URI without the policy", "qlb-ec", "<SigPolicyURI>%s</SigPolicyURI>" % b64("http://x"), PASS,
             56, "0"),
            ("notice that is not UTF-8", "qlb-ec",
             "<SigPolicy>%s</SigPolicy><SigPolicyMessage>%s</SigPolicyMessage>" % (b64("1.2.3"), b64(b"\xff\xfe")),
             PASS, 56, "0"),
            ("content timestamp that is no token", "qlb-ec", "<ContentTimestamp>%s</ContentTimestamp>" % b64(b"0\x03\x02\x01\x01"),
             PASS, 56, "0"),
            ("content timestamp over another document", "qlb-ec",
             "<ContentTimestamp>%s</ContentTimestamp>" % b64(timestamp_token(OTHER_DOC)), PASS, 27, "0"),
            ("wrong password", "qlb-ec", "", "невірний", 8, "2"),
            ("no certificate with that DRFO", "999", "", PASS, 52, None),
        ]
        for name, signer, additional, password, code, detailing in cases:
            with self.subTest(name):
                env = self.signing("CTX_CREATE_CONTAINER", signer, DOC, "<Additional>%s</Additional>" % additional,
                                   password)
                self.assertEqual((env.command, env.code, env.detailing), ("CTX_CREATE_CONTAINER", code, detailing),
                                 env.text)
                self.assertFalse(env.data.text)

    def test_key_sent_by_the_page(self):
        params = "<SenderCert>%s</SenderCert><SenderSK>%s</SenderSK><Pass>%s</Pass>" % (
            b64(pki.read("ua1-p384.cer")), b64(pki.read("ua1-p384.pfx")), b64(PASS))
        env = self.svc.post(command="CTX_CREATE_CONTAINER", params=params, data=b64(DOC))
        self.assertIsNone(env.detailing)
        v = self.assert_openssl_verifies(self.ok(env))
        self.assertIn("algorithm: sha384", v.printed)


class Edit(ContainerCase):
    def test_add_appends_and_keeps_every_earlier_signature(self):
        first = self.made("qlb-ec")
        second = self.ok(self.add(first, "qlb-p384"))
        third = self.ok(self.add(second, "usc-rsa"))
        self.assertEqual(signer_infos(second)[:1], signer_infos(first))
        self.assertEqual(signer_infos(third)[:2], signer_infos(second))
        v = self.assert_openssl_verifies(third)
        self.assertIn("algorithm: sha384", v.printed)  # the new digest algorithm is listed
        self.assertEqual(self.verify(third), (0, [0, 0, 0]))
        for index, name in enumerate(("qlb-ec", "qlb-p384", "usc-rsa")):
            env = self.svc.post(command="CTX_GET_SIGNER_CERT", params="<CertIndex>%d</CertIndex>" % index,
                                data=b64(third))
            self.assertEqual(self.ok(env), pki.read(name + ".cer"), name)
            self.assertEqual(self.piece(self.info(third, index), "Signature"), signature_value(signer_infos(third)[index]))

    def test_add_to_a_container_without_content(self):
        detached = self.made("qlb-ec", extra="<StoreContent>false</StoreContent>")
        self.assertEqual(self.add(detached, "usc-ec").code, 1, "the document is needed")
        env = self.add(detached, "usc-ec", "<Content>%s</Content>" % b64(OTHER_DOC))
        self.assertEqual(env.code, 13, "not the document the first signature was made over")
        both = self.ok(self.add(detached, "usc-ec", "<Content>%s</Content>" % b64(DOC)))
        self.assertEqual(signer_infos(both)[0], signer_infos(detached)[0])
        self.assertFalse(cms_verify(both, ca_bundle).ok, "still without content")
        self.assert_openssl_verifies(both, DOC)
        # An attached container takes the same content, never another one.
        attached = self.made("qlb-ec")
        self.assertEqual(self.add(attached, "usc-ec", "<Content>%s</Content>" % b64(OTHER_DOC)).code, 13)
        self.assert_openssl_verifies(self.ok(self.add(attached, "usc-ec", "<Content>%s</Content>" % b64(DOC))))

    def test_remove_signature_keeps_the_others(self):
        three = openssl_sign(["qlb-ec", "usc-rsa", "ua1-p384"], DOC, "-cades")
        before = signer_infos(three)
        for index in range(3):
            with self.subTest(index=index):
                env = self.svc.post(command="CTX_REMOVE_SIGNATURE", params="<SignIndex>%d</SignIndex>" % index,
                                    data=b64(three))
                two = self.ok(env)
                self.assertEqual(signer_infos(two), before[:index] + before[index + 1:])
                self.assert_openssl_verifies(two)
        one = self.made("qlb-ec")
        none = self.ok(self.svc.post(command="CTX_REMOVE_SIGNATURE", params="<SignIndex>0</SignIndex>", data=b64(one)))
        self.assertEqual(signer_infos(none), [])
        self.assertEqual(self.verify(none), (11, []), "no signature is no success")
        again = self.ok(self.add(none, "usc-ec"))
        self.assertEqual(len(signer_infos(again)), 1)
        self.assert_openssl_verifies(again)

    def test_content_off_and_on_round_trip(self):
        two = self.ok(self.add(self.made("qlb-ec"), "ua1-ec"))
        detached = self.ok(self.svc.post(command="CTX_REMOVE_CONTENT", data=b64(two)))
        self.assertEqual(signer_infos(detached), signer_infos(two))
        self.assertFalse(cms_verify(detached, ca_bundle).ok)
        self.assert_openssl_verifies(detached, DOC)
        self.assertEqual(self.verify(detached)[0], 1, "verification needs the content")
        add_content = lambda content: self.svc.post(command="CTX_ADD_CONTENT",
                                                    params="<Content>%s</Content>" % b64(content), data=b64(detached))
        self.assertEqual(add_content(OTHER_DOC).code, 13)
        self.assertEqual(self.ok(add_content(DOC)), two, "the original container, byte for byte")
        self.assertEqual(self.ok(self.svc.post(command="CTX_REMOVE_CONTENT", data=b64(detached))), detached)

    def merge(self, containers, check_hash=None):
        params = "<Containers>%s</Containers>" % "".join("<Container>%s</Container>" % b64(c) for c in containers)
        if check_hash is not None:
            params += "<CheckHash>%s</CheckHash>" % check_hash
        return self.svc.post(command="CTX_MERGE_CONTAINER", params=params)

    def test_merge_appends_in_order_once_each(self):
        a = self.made("qlb-ec")
        b = self.made("qlb-p384", extra="<StoreContent>false</StoreContent>")
        c = self.made("usc-rsa")
        for check in (None, "true"):
            with self.subTest(check_hash=check):
                merged = self.ok(self.merge([b, a, c, a], check))
                self.assertEqual(signer_infos(merged), signer_infos(b) + signer_infos(a) + signer_infos(c))
                self.assert_openssl_verifies(merged)  # the content came with a
                self.assertEqual(self.verify(merged), (0, [0, 0, 0]))
        # Detached containers over one document compare by their signed digests.
        b2 = self.made("qlb-ec", extra="<StoreContent>false</StoreContent>")
        merged = self.ok(self.merge([b, self.made("ua1-p384", extra="<StoreContent>false</StoreContent>")], "TRUE"))
        self.assertEqual(self.verify(merged, DOC), (0, [0, 0]))
        self.assertEqual(self.merge([b, b2], "true").code, 13, "sha384 and sha256 digests cannot be compared")

    def test_merge_of_different_documents(self):
        a = self.made("qlb-ec")
        other = self.made("usc-ec", OTHER_DOC)
        self.assertEqual(self.merge([a, other], "true").code, 13)
        detached_other = self.made("usc-ec", OTHER_DOC, "<StoreContent>false</StoreContent>")
        self.assertEqual(self.merge([a, detached_other], "true").code, 13)
        # Without the check the page gets what it asked for, and verification says so.
        merged = self.ok(self.merge([a, detached_other]))
        self.assertEqual(self.verify(merged), (0, [0, 13]))

    def test_merge_limits(self):
        a = self.made("qlb-ec")
        env = self.merge([a] * 100)
        self.assertEqual(signer_infos(self.ok(env)), signer_infos(a))
        self.assertEqual((self.merge([a] * 101).command, self.merge([a] * 101).code), (None, 56))
        self.assertEqual(self.svc.post(command="CTX_MERGE_CONTAINER", params="<Containers/>").code, 56)
        damaged = self.merge([a, a[:len(a) // 2], a])
        self.assertEqual((damaged.command, damaged.code), ("CTX_MERGE_CONTAINER", 10))
        self.assertIn("container 1", damaged.csp_message)


class Inspect(ContainerCase):
    def test_tampering_fails_the_signer_it_touches(self):
        two = self.ok(self.add(self.made("qlb-ec"), "usc-rsa"))
        infos = signer_infos(two)
        content_at = two.index(DOC)
        sig0 = two.index(signature_value(infos[0]))
        attrs1 = signer_parts(infos[1])["signedAttrs"]
        time1 = two.index(attrs1) + attrs1.index(b"\x17\x0d") + 2 + 11  # the last digit of the seconds
        cases = [  # (name, container, results)
            ("signature value", flip(two, sig0 + 10), [11, 0]),
            ("content", flip(two, content_at), [13, 13]),
            ("signed signing time", flip(two, time1), [0, 11]),
        ]
        for name, container, results in cases:
            with self.subTest(name):
                self.assertEqual(self.verify(container), (0, results))
                self.assertFalse(cms_verify(container, ca_bundle).ok, "openssl agrees")

    def test_containers_made_by_openssl(self):
        cases = [  # (name, signers, options, detached)
            ("plain", ["qlb-ec"], [], False),
            ("CAdES", ["usc-rsa"], ["-cades"], False),
            ("three signers", ["qlb-ec", "usc-rsa", "ua1-p384"], ["-cades"], False),
            ("no signed attributes", ["qlb-rsa", "qlb-ec"], ["-noattr"], False),
            ("SHA-384", ["usc-ec"], ["-md", "sha384"], False),
            ("RSA-PSS", ["qlb-rsa"], ["-keyopt", "rsa_padding_mode:pss"], False),
            ("detached", ["ua1-ec", "qlb-p384"], [], True),
        ]
        for name, signers, options, detached in cases:
            with self.subTest(name):
                container = openssl_sign(signers, DOC, *options, detached=detached)
                content = DOC if detached else None
                self.assertEqual(self.verify(container, content), (0, [0] * len(signers)))
                self.assertEqual(self.verify(container, OTHER_DOC)[1], [11 if "-noattr" in options else 13] * len(signers))
                infos = signer_infos(container)
                for index in range(len(signers)):
                    env = self.info(container, index)
                    self.assertEqual(self.piece(env, "Signature"), signature_value(infos[index]))
                    cert = self.piece(env, "Cert")
                    self.assertIn(cert, [pki.read(s + ".cer") for s in signers])
                    self.assertEqual(self.ok(self.svc.post(command="CTX_GET_SIGNER_CERT",
                                                           params="<CertIndex>%d</CertIndex>" % index,
                                                           data=b64(container))), cert)
                    self.assertEqual(self.piece(env, "Content"), b"" if detached else DOC)
                    self.assertEqual(len(env.data.findall("Certs/Cert")), len(signers))
                    self.assertEqual(bool(env.data.findtext("SigningTime")), "-noattr" not in options)
                if not detached:
                    flipped = flip(container, container.index(DOC) + 3)
                    self.assertNotIn(0, self.verify(flipped)[1])

    def test_container_info_layout(self):
        container = self.made("qlb-ec", extra="<Additional><SigningTime>05.06.2021 07:08:09</SigningTime></Additional>")
        full, skipped = self.info(container, 0), self.info(container, 0, skip=True)
        names = lambda env: [e.tag for e in env.data]
        self.assertEqual(names(full), ["Content", "ContentTimestamp", "SigningTime", "SigPolicy", "SigPolicyURI",
                                       "SigPolicyMessage", "Cert", "Signature", "Timestamp", "Certs"])
        self.assertEqual(names(skipped), names(full)[2:])
        self.assertEqual(full.data.findtext("SigningTime"), "05.06.2021 07:08:09")
        self.assertEqual(self.piece(full, "Content"), DOC)
        self.assertEqual(self.piece(full, "Cert"), pki.read("qlb-ec.cer"))
        self.assertEqual([base64.b64decode(c.text) for c in full.data.findall("Certs/Cert")], [pki.read("qlb-ec.cer")])
        no_time = self.info(openssl_sign(["qlb-ec"], DOC, "-noattr"), 0)
        self.assertEqual(no_time.code, 0)
        self.assertIsNotNone(no_time.data.find("SigningTime"))
        self.assertFalse(no_time.data.findtext("SigningTime"))
        # At most 20 carried certificates are listed.
        many = openssl_sign(["qlb-ec"], DOC, "-certfile", self.many_certs(25))
        self.assertEqual(len(self.info(many, 0).data.findall("Certs/Cert")), 20)

    def many_certs(self, count):
        path = pki.path("many.pem")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                for i in range(count):
                    pki.user("extra%d" % i, "qlb")
                    f.write(pki.read("extra%d.pem" % i))
        return path

    def test_certificate_checks(self):
        cert = pki.read("qlb-ec.cer")
        cases = [  # (name, certificate, issuer, code)
            ("issued by it", cert, pki.read("qlb.cer"), 0),
            ("issuer as PEM", cert, pki.read("qlb.pem"), 0),
            ("another issuer of the same name", cert, pki.read("rogue.cer"), 15),
            ("another issuer", cert, pki.read("usc.cer"), 15),
            ("no issuer given and no CACert configured", cert, b"", 15),
            ("not a certificate", b"garbage", pki.read("qlb.cer"), 3),
            ("issuer not a certificate", cert, b"garbage", 3),
        ]
        for name, certificate, issuer, code in cases:
            with self.subTest(name):
                params = "<IssuerCert>%s</IssuerCert>" % b64(issuer) if issuer else "<Other/>"
                env = self.svc.post(command="CTX_VERIFY_CERT_SIGN", params=params, data=b64(certificate))
                self.assertEqual((env.command, env.code), ("CTX_VERIFY_CERT_SIGN", code), env.text)
                self.assertEqual(list(env.data), [])

    def test_hash(self):
        p384 = pki.read("qlb-p384.cer")
        cases = [  # (name, params, expected digest or code)
            ("default", "<Other/>", hashlib.sha256(DOC).digest()),
            ("named algorithm", "<HashAlgOID>%s</HashAlgOID>" % OID_SHA384, hashlib.sha384(DOC).digest()),
            ("the certificate's", "<SenderCert>%s</SenderCert>" % b64(p384), hashlib.sha384(DOC).digest()),
            ("the certificate found by DRFO", "<DRFO>1000000002</DRFO>", hashlib.sha384(DOC).digest()),
            ("an RSA certificate by DRFO", "<DRFO>1000000003</DRFO>", hashlib.sha256(DOC).digest()),
            ("the named algorithm wins", "<HashAlgOID>%s</HashAlgOID><SenderCert>%s</SenderCert>" % (OID_SHA512, b64(p384)),
             hashlib.sha512(DOC).digest()),
            ("unknown algorithm", "<HashAlgOID>1.2.3.4</HashAlgOID>", 21),
            ("no such certificate", "<DRFO>999</DRFO>", 52),
            ("certificate that is garbage", "<SenderCert>%s</SenderCert>" % b64(b"garbage"), 3),
        ]
        for name, params, expected in cases:
            with self.subTest(name):
                env = self.svc.post(command="CTX_GET_HASH", params=params, data=b64(DOC))
                if isinstance(expected, int):
                    self.assertEqual((env.code, env.data.text), (expected, None), env.text)
                else:
                    self.assertEqual(self.ok(env), expected)

    def test_log_keeps_documents_and_containers_out(self):
        marker = b"SECRET-DOCUMENT-" + os.urandom(8).hex().encode()
        container = self.made("qlb-ec", marker * 20)
        self.verify(container)
        self.svc.post(command="CTX_ADD_CONTENT", params="<Content>%s</Content>" % b64(marker * 20), data=b64(container))
        log = self.svc.log_text()
        self.assertNotIn(b64(marker * 20)[:40], log)
        self.assertNotIn(b64(container)[:60], log)
        self.assertIn("<Data>[%d bytes]</Data>" % len(b64(container)), log)


class Trust(ContainerCase):
    """QLB's profile names its certification centre; USC's does not."""

    ini = None

    @classmethod
    def setUpClass(cls):
        cls.ini = ("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n[USC]\nTitle=USC\n[QLB]\nTitle=QLB\nCACert=%s\n"
                   "[UA1]\nTitle=UA1\nSenderCertHeader=1\n" % pki.path("qlb.cer"))
        super().setUpClass()

    def test_signers_of_a_library_with_cacert_must_chain_to_it(self):
        good = self.made("qlb-ec")
        rogue = openssl_sign(["rogue-ec"], DOC, "-cades")  # issuer calls itself UA-36865753: a QLB certificate
        usc = self.made("usc-ec")
        self.assertEqual(self.verify(good), (0, [0]))
        self.assertEqual(self.verify(rogue), (0, [15]))
        self.assertEqual(self.verify(usc), (0, [0]), "USC judges signatures only")
        merged = self.ok(self.svc.post(command="CTX_MERGE_CONTAINER", params="<Containers>%s</Containers>" % "".join(
            "<Container>%s</Container>" % b64(c) for c in (good, rogue, usc))))
        self.assertEqual(self.verify(merged), (0, [0, 15, 0]))
        self.assertEqual(self.verify(flip(rogue, rogue.index(DOC))), (0, [13]), "a bad content shows first")

    def test_certificate_validity_is_judged_at_the_signing_time(self):
        in_time = time.strftime("%d.%m.%Y %H:%M", time.localtime(time.time() + 2 * 86400))
        signed_then = self.made("later", extra="<Additional><SigningTime>%s</SigningTime></Additional>" % in_time)
        self.assertEqual(self.verify(signed_then), (0, [0]))
        signed_now = self.made("later")
        self.assertEqual(self.verify(signed_now), (0, [15]))
        self.assertIn("signature 0: the certificate does not chain to the certification centre of QLB: certificate "
                      "is not yet valid", self.svc.log_text())

    def test_root_check_without_issuer(self):
        for name, code in (("qlb-ec", 0), ("rogue-ec", 15), ("usc-ec", 15), ("qlb.cer", 0)):
            with self.subTest(name):
                cert = pki.read(name if name.endswith(".cer") else name + ".cer")
                env = self.svc.post(command="CTX_VERIFY_CERT_SIGN", params="<Other/>", data=b64(cert))
                self.assertEqual(env.code, code, env.text)


class BadInput(ContainerCase):
    def test_foreign_and_damaged_containers(self):
        good = self.made("qlb-ec")
        envelope = openssl("cms", "-encrypt", "-binary", "-outform", "DER", "-aes256", pki.path("usc-rsa.pem"),
                           data=DOC)
        inputs = [  # (name, bytes, code)
            ("garbage", b"\x00\x01garbage" * 10, 10),
            ("truncated container", good[:len(good) - 40], 10),
            ("container with bytes after it", good + b"\x00", 10),
            ("an envelope", envelope, 9),
            ("a certificate", pki.read("qlb-ec.cer"), 9),
        ]
        commands = [  # (command, params)
            ("CTX_VERIFY_SIGNS", None),
            ("CTX_VERIFY_EXTERNAL_SIGNS", "<Content>%s</Content>" % b64(DOC)),
            ("CTX_GET_CONTAINER_INFO", "<SignIndex>0</SignIndex>"),
            ("CTX_GET_SIGNER_CERT", "<CertIndex>0</CertIndex>"),
            ("CTX_REMOVE_SIGNATURE", "<SignIndex>0</SignIndex>"),
            ("CTX_REMOVE_CONTENT", None),
            ("CTX_ADD_CONTENT", "<Content>%s</Content>" % b64(DOC)),
            ("CTX_ADD_SIGNATURE", "<DRFO>1000000001</DRFO><Pass>%s</Pass>" % b64(PASS)),
        ]
        for name, data, code in inputs:
            for command, params in commands:
                with self.subTest(input=name, command=command):
                    env = self.svc.post(command=command, params=params, data=b64(data))
                    self.assertEqual((env.command, env.code), (command, code), env.text)
                    self.assertEqual((env.data.text, list(env.data)), (None, []))
        self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)

    def test_indices_and_missing_inputs(self):
        good = self.made("qlb-ec")
        full = [  # answered with a code of their own
            ("CTX_GET_CONTAINER_INFO", "<SignIndex>1</SignIndex>", 56),
            ("CTX_GET_SIGNER_CERT", "<CertIndex>7</CertIndex>", 56),
            ("CTX_REMOVE_SIGNATURE", "<SignIndex>2147483647</SignIndex>", 56),
        ]
        for command, params, code in full:
            with self.subTest(command=command, params=params):
                env = self.svc.post(command=command, params=params, data=b64(good))
                self.assertEqual((env.command, env.code, env.data.text), (command, code, None))
        refused = [  # no answer of their own: the bare envelope with 56
            ("CTX_GET_CONTAINER_INFO", "<SignIndex>-1</SignIndex>", b64(good)),
            ("CTX_GET_CONTAINER_INFO", "<SignIndex>first</SignIndex>", b64(good)),
            ("CTX_GET_CONTAINER_INFO", "<SkipContent>true</SkipContent>", b64(good)),
            ("CTX_GET_SIGNER_CERT", "<CertIndex>1x</CertIndex>", b64(good)),
            ("CTX_REMOVE_SIGNATURE", "<SignIndex>2147483648</SignIndex>", b64(good)),
            ("CTX_REMOVE_SIGNATURE", "<Options>0</Options>", b64(good)),
            ("CTX_REMOVE_SIGNATURE", "<SignIndex>0</SignIndex><Options>all</Options>", b64(good)),
            ("CTX_ADD_CONTENT", "<Content></Content>", b64(good)),
            ("CTX_VERIFY_EXTERNAL_SIGNS", "<Content/>", b64(good)),
            ("CTX_VERIFY_SIGNS", None, ""),
            ("CTX_REMOVE_CONTENT", None, None),
            ("CTX_CREATE_CONTAINER", "<DRFO>1000000001</DRFO>", ""),
            ("CTX_CREATE_CONTAINER", "<DongleProviderName>x</DongleProviderName><Pass>%s</Pass>" % b64(PASS), b64(DOC)),
            ("CTX_ADD_SIGNATURE", "<Pass>%s</Pass>" % b64(PASS), b64(good)),
            ("CTX_GET_HASH", None, b64(DOC)),
        ]
        for command, params, data in refused:
            with self.subTest(command=command, params=params):
                env = self.svc.post(command=command, params=params, data=data)
                self.assertEqual((env.command, env.code), (None, 56), env.text)
        self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)


if __name__ == "__main__":
    unittest.main()
