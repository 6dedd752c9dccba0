"""Routing and transport encodings of the real service over real HTTP."""

import base64
import socket
import threading
import unittest
import urllib.parse

from zkservice import Envelope, Service, SharedServiceCase, form_body, request_xml

VERSION = request_xml("GET_VERSION")
HEAD = b"<html><head><script type=\"text/javascript\">window.name='{data:\""
TAIL = b"\"}';</script></head><body></body></html>"


def raw_exchange(port, data, shut_write=False, timeout=30):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        if shut_write:
            s.shutdown(socket.SHUT_WR)
        out = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return out
            out += chunk


class Routing(SharedServiceCase):
    service_args = {"log": True}

    def post_raw(self, body, headers=None):
        status, reason, hdrs, data = self.svc.request("POST", "/", body, headers)
        self.assertEqual((status, reason), (200, "HTTP_OK"))
        self.assertEqual(hdrs["content-type"], "text/html; charset=utf-8")
        return hdrs, data

    def test_answer_forms(self):
        b64 = urllib.parse.quote(base64.b64encode(VERSION.encode()).decode(), safe="")
        pct_xml = urllib.parse.quote_plus(VERSION)
        cases = [  # (body, form of the answer)
            ("data=%s&nativedata=1" % b64, "base64"),
            ("data=%s&nativedata=1&encodeOutput=0" % b64, "plain"),
            ("data=%s&nativedata=1&encodeOutput=7" % b64, "base64"),
            ("data=%s" % b64, "page"),
            ("data=%s&nativedata=0&encodeOutput=0" % b64, "page"),
            ("data=%s&nativedata=x" % b64, "page"),
            (VERSION, "page"),
            ("junk before " + VERSION, "page"),
            (pct_xml, "page"),
            (VERSION + "&nativedata=1&encodeOutput=0", "plain"),
        ]
        for body, form in cases:
            with self.subTest(body=body[:60], form=form):
                _, data = self.post_raw(body)
                if form == "plain":
                    text = data
                elif form == "base64":
                    text = base64.b64decode(data, validate=True)
                else:
                    self.assertTrue(data.startswith(HEAD) and data.endswith(TAIL))
                    inner = data[len(HEAD):-len(TAIL)]
                    self.assertEqual(len(data), len(inner) + 103)
                    text = base64.b64decode(inner, validate=True)
                env = Envelope(text.decode("utf-8"))
                self.assertEqual((env.command, env.code, env.message), ("GET_VERSION", 0, "Успішно"))
                self.assertIn("Успішно".encode("utf-8"), text)

    def test_frame_bodies_with_trailing_form_data(self):
        # The frame posts data=<Base64>&nativedata=1: the whole rest is Base64-decoded, so
        # bytes follow the document (zero bytes after padding, junk without).
        for pad in range(3):
            xml = request_xml("GET_VERSION") + " " * pad
            with self.subTest(length_mod_3=len(xml) % 3):
                b64 = urllib.parse.quote(base64.b64encode(xml.encode()).decode(), safe="")
                _, data = self.post_raw("data=%s&nativedata=1&encodeOutput=0" % b64)
                self.assertEqual(Envelope(data.decode()).code, 0)

    def test_bad_xml_is_55_and_not_logged(self):
        marker = "NOT-XML-7731"
        for body in (marker, "data=" + base64.b64encode(marker.encode()).decode() + "&nativedata=1&encodeOutput=0",
                     "<?xml version=\"1.0\"?><Request><Command>" + marker):
            with self.subTest(body=body):
                _, data = self.post_raw(body + "&nativedata=1&encodeOutput=0")
                env = Envelope(data.decode())
                self.assertEqual((env.code, env.message, env.command), (55, "Некоректний XML запиту", None))
                self.assertIsNone(env.root.find("Return/CSPCode"))
        self.assertNotIn(marker, self.svc.log_text())

    def test_refused_requests_are_56(self):
        cases = [
            request_xml("NO_SUCH_COMMAND"),
            '<?xml version="1.0"?><Other><Command>GET_VERSION</Command></Other>',
            request_xml("PARENT_XCHG", data=""),
        ]
        for xml in cases:
            with self.subTest(xml=xml):
                env = self.svc.post(xml=xml)
                self.assertEqual((env.code, env.message, env.command), (56, "Некоректні параметри запиту", None))
                self.assertEqual(len(env.data), 0)

    def test_cors_header(self):
        for headers, expected in [({}, "*"), ({"Origin": "https://app.example"}, "https://app.example"),
                                  ({"oRiGiN": "null"}, "null")]:
            with self.subTest(headers=headers):
                hdrs, _ = self.post_raw(form_body(VERSION), headers)
                self.assertEqual(hdrs["access-control-allow-origin"], expected)

    def test_fixed_documents(self):
        origin = {"Origin": "https://o.example"}
        cases = [  # (path, content type, Access-Control-Allow-Origin, body check)
            ("/empty.html", "text/plain; charset=utf-8", "https://o.example", lambda b: b == b""),
            ("/EMPTY.HTML", "text/plain; charset=utf-8", "https://o.example", lambda b: b == b""),
            ("/%65mpty.html", "text/plain; charset=utf-8", "https://o.example", lambda b: b == b""),
            ("/clientaccesspolicy.xml", "text/plain; charset=utf-8", None,
             lambda b: b.startswith(b"\xef\xbb\xbf<?xml") and b'<domain uri="*"/>' in b
             and b'include-subpaths="true"' in b),
            ("/crossdomain.xml", "text/plain; charset=utf-8", None,
             lambda b: b.startswith(b"\xef\xbb\xbf<?xml") and b'<allow-access-from domain="*"/>' in b
             and b"<!DOCTYPE cross-domain-policy" in b),
            ("/xchgframe.html", "text/html; charset=utf-8", "*",
             lambda b: b"jQuery v3.7.1" in b and b'var baseUrl = "http://127.0.0.1:%d";' % self.svc.port in b),
        ]
        for path, ctype, allow, check in cases:
            with self.subTest(path=path):
                status, reason, hdrs, body = self.svc.request("GET", path, headers=origin)
                self.assertEqual((status, reason), (200, "HTTP_OK"))
                self.assertEqual(hdrs["content-type"], ctype)
                self.assertEqual(hdrs.get("access-control-allow-origin"), allow)
                self.assertTrue(check(body), body[:200])

    def test_frame_base_url(self):
        cases = [  # (Host header, base URL; None: refused, never written into the script)
            ("localhost:%d" % self.svc.port, "http://localhost:%d" % self.svc.port),
            ("evil\"+alert(1)+\"", None),
        ]
        for host, url in cases:
            with self.subTest(host=host):
                status, _, _, body = self.svc.request("GET", "/xchgframe.html", headers={"Host": host})
                if url is None:
                    self.assertEqual((status, body), (403, b""))
                else:
                    self.assertIn(b'var baseUrl = "%s";' % url.encode(), body)
                self.assertNotIn(b"alert(1)", body)
        # Without a Host header (HTTP/1.0): the configured host and port.
        reply = raw_exchange(self.svc.port, b"GET /xchgframe.html HTTP/1.0\r\n\r\n")
        self.assertIn(b'var baseUrl = "http://127.0.0.1:%d";' % self.svc.port, reply)

    def test_bad_requests(self):
        cases = [  # (method, path, text)
            ("GET", "/empty.html?x=1", "Bad request. Invalid parameters."),
            ("GET", "/", "Bad request. Invalid parameters."),
            ("GET", "/index.html", "Bad request. Invalid parameters."),
            ("PUT", "/", "Bad request. Server accepts POST and GET messages only."),
            ("DELETE", "/empty.html", "Bad request. Server accepts POST and GET messages only."),
            ("OPTIONS", "/", "Bad request. Server accepts POST and GET messages only."),
        ]
        for method, path, text in cases:
            with self.subTest(method=method, path=path):
                status, reason, hdrs, body = self.svc.request(method, path)
                self.assertEqual((status, reason, body), (400, text, text.encode()))
                self.assertEqual(hdrs["content-type"], "text/plain; charset=utf-8")

    def test_keep_alive(self):
        conn = self.svc.connection()
        try:
            self.svc.request("GET", "/empty.html", conn=conn)
            sock = conn.sock
            for _ in range(3):
                self.assertEqual(self.svc.post(command="ONLOAD", conn=conn).code, 0)
                self.assertEqual(self.svc.request("GET", "/crossdomain.xml", conn=conn)[0], 200)
            self.assertIs(conn.sock, sock)  # one connection served them all
        finally:
            conn.close()

    def test_slow_client_does_not_hold_others(self):
        body = form_body(VERSION).encode()
        with socket.create_connection(("127.0.0.1", self.svc.port), timeout=30) as slow:
            slow.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body[:10])
            # While that body is incomplete, other connections are served.
            self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)
            self.assertEqual(self.svc.request("GET", "/empty.html")[0], 200)
            slow.sendall(body[10:])
            reply = b""
            while b"</Result>" not in reply:
                chunk = slow.recv(65536)
                self.assertTrue(chunk)
                reply += chunk
            self.assertIn(b"<Code>0</Code>", reply)

    def test_secrets_are_redacted_in_the_log(self):
        xml = request_xml("GET_VERSION", params="<Pass>pw-SECRET-1</Pass><PIN>4321-SECRET</PIN><Name>visible-42</Name>")
        self.assertEqual(self.svc.post(xml=xml).code, 0)
        log = self.svc.log_text()
        self.assertIn("visible-42", log)
        self.assertNotIn("SECRET", log)
        self.assertIn("(Native)Input text:\r\n'", log)
        self.assertIn("(Native)Output text:\r\n'", log)


class Limits(unittest.TestCase):
    def test_body_over_max_body_is_refused_unread(self):
        with Service(settings={"MaxBody": 4000}) as svc:
            small = form_body(request_xml("GET_VERSION", params="<X>%s</X>" % ("a" * 100)))
            self.assertEqual(svc.request("POST", "/", small)[0], 200)
            marker = "OVERSIZE-MARK"
            cases = [
                # Declared too long: answered before the body is sent.
                b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300000000\r\n\r\n" + marker.encode(),
                # Chunked past the limit.
                b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                (b"1000\r\n" + marker.encode() + b"b" * (4096 - len(marker)) + b"\r\n") * 2,
            ]
            for request in cases:
                with self.subTest(request=request[:60]):
                    reply = raw_exchange(svc.port, request)
                    self.assertTrue(reply.startswith(b"HTTP/1.1 413"), reply[:100])
            self.assertNotIn(marker, svc.log_text())
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)


class SlowCommands(SharedServiceCase):
    """Commands held by the service's test setting ZELKORH_TEST_COMMAND_DELAY_MS."""

    service_args = {"env": {"ZELKORH_TEST_COMMAND_DELAY_MS": "3000"}}

    def test_two_slow_commands_run_at_once(self):
        results = []
        threads = [threading.Thread(target=lambda: results.append(self.svc.post(command="ONLOAD").code))
                   for _ in range(2)]
        before = len(self.svc.log_text())
        # The second is sent once the first is seen held, so it is in flight
        # while the first still runs however slowly the machine goes.
        threads[0].start()
        self.assertTrue(self.svc.wait_for_log("Command held", since=before))
        threads[1].start()
        for t in threads:
            t.join()
        self.assertEqual(results, [0, 0])
        log = self.svc.log_text()[before:]
        held = [i for i in range(len(log)) if log.startswith("Command held", i)]
        first_exit = log.find("Exit. Command: 'ONLOAD'")
        self.assertEqual(len(held), 2)
        self.assertLess(held[1], first_exit)  # the second began before the first ended

    def test_client_gone_mid_command(self):
        body = form_body(request_xml("GET_VERSION")).encode()
        with socket.create_connection(("127.0.0.1", self.svc.port)) as s:
            s.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            self.assertTrue(self.svc.wait_for_log("Command held"))
        self.assertTrue(self.svc.wait_for_log("Client closed the connection while its command ran"))
        self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)
        self.assertIsNone(self.svc.proc.poll())


if __name__ == "__main__":
    unittest.main()
