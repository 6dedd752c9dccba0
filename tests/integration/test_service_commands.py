"""GET_VERSION (with the OCSP server registration), GET_UPDATE_INFO, DO_UPDATE,
ONLOAD and PARENT_XCHG against the real service."""

import configparser
import os
import unittest

from zkservice import Service, SharedServiceCase, request_xml


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
