"""GET_VERSION (with the OCSP server registration), GET_UPDATE_INFO, DO_UPDATE,
ONLOAD and PARENT_XCHG against the real service."""

import base64
import configparser
import os
import re
import unittest

from zkservice import Envelope, Service, SharedServiceCase, form_body, request_xml


class ServiceCommands(SharedServiceCase):
    def ocsp_section(self):
        parser = configparser.ConfigParser(interpolation=None)
        parser.optionxform = str
        parser.read(self.svc.path("Params.ini"), encoding="cp1251")
        return dict(parser["ocspServers"]) if parser.has_section("ocspServers") else {}

    def test_fixed_answers(self):
        cases = [  # (request, command, code, check of Data)
            (request_xml("GET_VERSION"), "GET_VERSION", 0,
             lambda d: d.find("Version").get("IsDLL") == "false" and d.findtext("Version") == "1.0.0.1"),
            ('<?xml version="1.0"?><request><command>get_version</command></request>', "GET_VERSION", 0,
             lambda d: d.find("Version") is not None),
            (request_xml("GET_UPDATE_INFO"), "GET_UPDATE_INFO", 0, lambda d: d.find("Info").get("isNew") == "false"),
            (request_xml("DO_UPDATE"), "DO_UPDATE", 50, lambda d: len(d) == 0),
            (request_xml("ONLOAD"), "ONLOAD", 0, lambda d: len(d) == 0),
            (request_xml("PARENT_XCHG", data="QUJD"), "PARENT_XCHG", 50, lambda d: len(d) == 0 and not d.text),
        ]
        for xml, command, code, check in cases:
            with self.subTest(command=command, xml=xml):
                env = self.svc.post(xml=xml)
                self.assertEqual((env.command, env.code), (command, code))
                self.assertTrue(check(env.data), env.text)
                if code:
                    self.assertEqual(env.message, "Користувач відмовився від операції")
                    self.assertIsNotNone(env.csp_code)
                else:
                    self.assertIsNone(env.csp_code)

    def test_ocsp_servers_are_registered(self):
        params = (
            "<OCSPServers>"
            "<Address IssuerSN=\"UA-111\">http://first.example/ocsp</Address>"
            "<Address IssuerSN=\"UA-111\">http://second.example/ocsp</Address>"
            "<Address>http://no-issuer.example/ocsp</Address>"
            "<Address IssuerSN=\"UA-222\"></Address>"
            "</OCSPServers>"
            "<ocspservers><address issuersn=\"UA-333\">http://third.example/ocsp</address></ocspservers>"
        )
        env = self.svc.post(command="GET_VERSION", params=params)
        self.assertEqual(env.code, 0)
        self.assertEqual(env.data.findtext("Version"), "1.0.0.1")
        self.assertEqual(self.ocsp_section(), {"UA-111": "http://second.example/ocsp",
                                               "UA-333": "http://third.example/ocsp"})
        # A later request replaces the address of the same issuer and keeps the others.
        self.svc.post(command="GET_VERSION",
                      params='<OCSPServers><Address IssuerSN="UA-333">http://new.example</Address></OCSPServers>')
        self.assertEqual(self.ocsp_section()["UA-333"], "http://new.example")
        self.assertEqual(self.ocsp_section()["UA-111"], "http://second.example/ocsp")


class VersionAskedAgain(SharedServiceCase):
    """With the log closed, a GET_VERSION whose body repeats the last one's
    bytes is answered without a parse. Every other body still runs: the
    answer must follow the request's form and Params must still register."""

    service_args = {"log": False, "settings": {"AutoUpdate": 0}}

    def test_every_form_and_every_other_request_gets_its_own_answer(self):
        page = re.compile(r"window.name='\{data:\"(.*)\"\}'", re.S)
        forms = [  # (name, form body of GET_VERSION, answer to envelope text)
            ("plain", form_body(request_xml("GET_VERSION")), lambda a: a),
            ("Base64", form_body(request_xml("GET_VERSION"), encode_output=True), lambda a: base64.b64decode(a).decode()),
            ("window-name page", form_body(request_xml("GET_VERSION"), native=False),
             lambda a: base64.b64decode(page.search(a).group(1)).decode()),
            ("any case", form_body('<?xml version="1.0"?><request><command>get_version</command></request>'),
             lambda a: a),
        ]
        conn = self.svc.connection()
        try:
            for _ in range(3):  # interleaved: each answer follows its own body
                for name, body, unwrap in forms:
                    with self.subTest(form=name):
                        status, _, headers, answer = self.svc.request(
                            "POST", "/", body, {"Content-Type": "application/x-www-form-urlencoded"}, conn=conn)
                        self.assertEqual(status, 200)
                        env = Envelope(unwrap(answer.decode()))
                        self.assertEqual((env.command, env.code, env.data.findtext("Version")),
                                         ("GET_VERSION", 0, "1.0.0.1"))
                # Other bodies in between: a command that changes, and Params that register.
                self.assertEqual(self.svc.post(command="GET_UPDATE_INFO", conn=conn).command, "GET_UPDATE_INFO")
            env = self.svc.post(command="GET_VERSION", conn=conn,
                                params='<OCSPServers><Address IssuerSN="UA-9">http://again.example</Address></OCSPServers>')
            self.assertEqual(env.code, 0)
            with open(self.svc.path("Params.ini"), encoding="cp1251") as f:
                self.assertIn("UA-9=http://again.example", f.read())
        finally:
            conn.close()

    def test_with_the_log_open_every_request_is_logged(self):
        with Service() as svc:
            for _ in range(3):
                self.assertEqual(svc.post(command="GET_VERSION").code, 0)
            self.assertEqual(svc.log_text().count("<Command>GET_VERSION</Command></Request>"), 3)


def servers(entries):
    return "<OCSPServers>%s</OCSPServers>" % "".join(
        '<Address IssuerSN="%s">%s</Address>' % entry for entry in entries)


class RegistrationBounds(unittest.TestCase):
    """Params.ini holds at most 1,024 registrations of at most 1,023
    characters, 1 MiB in all; a request beyond that answers 56 and changes
    nothing. Before: ten requests grew it to 200 MiB, rewritten whole each
    time, and the next start took 220 MiB."""

    def test_beyond_the_bounds_nothing_changes(self):
        longest = "http://ocsp.example/" + "x" * (1023 - 20)
        with Service(settings={"AutoUpdate": 0}) as svc:  # the update thread writes the file too
            def params_ini():
                with open(svc.path("Params.ini"), "rb") as f:
                    return f.read()

            def register(entries, headers=None):
                return svc.post(command="GET_VERSION", params=servers(entries), headers=headers).code

            self.assertEqual(register([("UA-0", "http://first.example/")]), 0)
            full = [("UA-%d" % i, "http://o.example/%d" % i) for i in range(1024)]
            cases = [  # (what, entries, code); each refusal leaves the file as it was
                ("the longest value", [("UA-0", longest)], 0),
                ("a value one character longer", [("UA-0", longest + "x")], 56),
                ("1,024 registrations", full, 0),
                ("one more", [("UA-new", "http://o.example/")], 56),
                ("a batch that ends beyond the bound", [("UA-1", "http://changed.example/"),
                                                        ("UA-new", "http://o.example/")], 56),
                ("registrations replaced", [("UA-1", "http://changed.example/")], 0),
                ("every value at its longest: 1 MiB passed", [(k, longest) for k, _ in full], 56),
            ]
            for what, entries, code in cases:
                with self.subTest(what):
                    before = params_ini()
                    self.assertEqual(register(entries), code)
                    if code:
                        self.assertEqual(params_ini(), before)
                    self.assertLessEqual(len(params_ini()), 1 << 20)
            # A page's registrations never touch the file, and are bounded alike.
            before = params_ini()
            page = {"Origin": "https://page.example"}
            self.assertEqual(register(full[:10], page), 0)
            self.assertEqual(register(full + [("UA-new", "x")], page), 56)
            self.assertEqual(register([("UA-x", longest + "x")], page), 56)
            self.assertEqual(params_ini(), before)
            # The file still reads after a restart.
            self.assertEqual(svc.stop(), 0)
            svc.start()
            self.assertEqual(register([("UA-2", "http://after.example/")]), 0)
            self.assertIn(b"UA-1=http://changed.example/", params_ini())


if __name__ == "__main__":
    unittest.main()
