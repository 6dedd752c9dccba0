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


if __name__ == "__main__":
    unittest.main()
