"""Hostile input to the front end, the log and the process, through the real
service: each case sends what an attacker would and checks the sound answer,
then that the service still serves."""

import base64
import hashlib
import os
import re
import resource
import signal
import socket
import ssl
import stat
import threading
import time
import unittest

from zkservice import Envelope, Service, SharedServiceCase, form_body, request_xml

VERSION = request_xml("GET_VERSION")


def b64(text):
    return base64.b64encode(text if isinstance(text, bytes) else text.encode("utf-8")).decode()


def exchange(port, data, timeout=30, tls_context=None):
    """Sends raw bytes on a fresh connection; returns everything until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as raw:
        s = tls_context.wrap_socket(raw, server_hostname="localhost") if tls_context else raw
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server answered and closed before taking everything: read what it said
        out = b""
        while True:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, ssl.SSLError):
                return out
            if not chunk:
                return out
            out += chunk


def post_head(length, extra=b""):
    return b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n%s\r\n" % (length, extra)


def read_reply(sock):
    """One reply with a Content-Length body from an open socket."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"(?i)content-length: *(\d+)", head)
    want = int(m.group(1)) if m else 0
    while len(body) < want:
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def read_replies(sock, count):
    """count replies with a Content-Length body, one after another on an open socket."""
    data, replies = b"", []
    while len(replies) < count:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            m = re.search(rb"(?i)content-length: *(\d+)", data[:head_end])
            end = head_end + 4 + (int(m.group(1)) if m else 0)
            if len(data) >= end:
                replies.append(data[:end])
                data = data[end:]
                continue
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return replies


class Shutdown(unittest.TestCase):
    def test_runaway_command_does_not_hold_the_shutdown(self):
        env = {"ZELKORH_TEST_COMMAND_DELAY_MS": "3600000", "ZELKORH_TEST_COMMAND_STUCK": "1"}
        with Service(env=env) as svc:
            body = form_body(VERSION).encode()
            with socket.create_connection(("127.0.0.1", svc.port), timeout=60) as client:
                client.sendall(post_head(len(body)) + body)
                self.assertTrue(svc.wait_for_log("Command held"))
                # The grace period is 10 s; the process must end soon after it.
                self.assertEqual(svc.stop(timeout=40), 0)
            log = svc.log_text()
            self.assertIn("Commands still running at shutdown", log)
            self.assertTrue(log.rstrip().endswith("Stopped"))
            self.assertFalse(os.path.exists(svc.path("View")))


class Descriptors(unittest.TestCase):
    def test_soft_limit_is_raised_to_the_hard_one(self):
        def limits():
            resource.setrlimit(resource.RLIMIT_NOFILE, (256, 4096))
        with Service(preexec=limits) as svc:
            with open("/proc/%d/limits" % svc.proc.pid) as f:
                line = next(l for l in f if l.startswith("Max open files"))
            self.assertEqual(line.split()[3:5], ["4096", "4096"])

    def test_out_of_descriptors_rests_logs_once_and_keeps_serving(self):
        def limits():
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        with Service(preexec=limits, settings={"MaxConnections": 1000}, start=False) as svc:
            # No update check during the flood: with every descriptor taken,
            # the sanitizer builds' own type checks (they need a pipe) fail
            # wherever a thread happens to be running.
            with open(svc.path("Params.ini"), "w") as f:
                f.write("[common]\nPrevUpd=%d\n" % int(time.time()))
            svc.start()
            idle = []
            try:
                for _ in range(120):
                    idle.append(socket.create_connection(("127.0.0.1", svc.port), timeout=10))
                time.sleep(1.5)
                # The longest-idle connections make room: a new client is served.
                self.assertEqual(svc.post(command="GET_VERSION").code, 0)
            finally:
                for s in idle:
                    s.close()
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)
            log = svc.log_text()
            failures = log.count("accept(): Too many open files")
            self.assertGreaterEqual(failures, 1)
            self.assertLessEqual(failures, 3)  # one line per episode, not a flood
            self.assertLess(len(svc.stderr_text()), 10000)

    def test_connection_cap_closes_the_oldest_idle(self):
        with Service(settings={"MaxConnections": 4}) as svc:
            idle = [socket.create_connection(("127.0.0.1", svc.port), timeout=10) for _ in range(4)]
            try:
                time.sleep(0.3)
                self.assertEqual(svc.post(command="GET_VERSION").code, 0)  # the fifth
                self.assertEqual(idle[0].recv(10), b"")  # the oldest was closed for it
                idle[3].sendall(b"GET /empty.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                self.assertIn(b"200 HTTP_OK", read_reply(idle[3]))
            finally:
                for s in idle:
                    s.close()


class XmlLimits(SharedServiceCase):
    def test_costly_documents_are_refused_before_parsing(self):
        many = " ".join('a%d="1"' % i for i in range(60000))
        cases = [  # (document, code)
            '<?xml version="1.0"?><Request><Command>GET_VERSION</Command><Params %s/></Request>' % many, 55,
            '<?xml version="1.0"?><Request><Command>GET_VERSION</Command><Params>%s</Params></Request>'
            % ("<a/>" * 20000), 55,
            '<?xml version="1.0"?><Request><Command>GET_VERSION</Command><Params %s/></Request>'
            % " ".join('a%d="x>y"' % i for i in range(64)), 0,
        ]
        before = len(self.svc.log_text())
        for doc, code in zip(cases[::2], cases[1::2]):
            with self.subTest(size=len(doc), code=code):
                self.assertEqual(self.svc.post(xml=doc).code, code)
        # Refused documents never reach the log.
        self.assertEqual(self.svc.log_text()[before:].count("Input text"), 1)


class WhoIsServed(SharedServiceCase):
    def test_only_the_service_own_host_names(self):
        port = self.svc.port
        cases = [  # (Host header or None, status)
            ("evil.example", 403), ("evil.example:%d" % port, 403), ("127.0.0.1.evil.example", 403),
            ("localhost:1:2", 403), ("", 403),
            ("127.0.0.1:%d" % port, 200), ("LOCALHOST", 200), ("localhost:%d" % port, 200), ("[::1]:%d" % port, 200),
            (None, 200),
        ]
        for host, status in cases:
            for tls in (False, True):
                with self.subTest(host=host, tls=tls):
                    head = b"GET /empty.html HTTP/1.0\r\n" + (b"Host: %s\r\n" % host.encode() if host is not None else b"")
                    reply = exchange(self.svc.port_s if tls else port, head + b"\r\n",
                                     tls_context=self.svc.tls_context() if tls else None)
                    self.assertTrue(reply.startswith(b"HTTP/1.0 %d" % status) or
                                    reply.startswith(b"HTTP/1.1 %d" % status), reply[:80])
                    if status == 403:
                        self.assertTrue(reply.endswith(b"\r\n\r\n"), reply)  # empty body
        # A command from a rebound name is not run either.
        status, _, _, body = self.svc.request("POST", "/", form_body(VERSION), {"Host": "evil.example"})
        self.assertEqual((status, body), (403, b""))

    def test_cors_preflight(self):
        # Browsers ask first for a public page reaching the private network, and
        # for any page that watches its upload (the request is then not "simple").
        cases = [  # (name, extra headers, private network allowed)
            ("private network", {"Access-Control-Request-Headers": "content-type",
                                 "Access-Control-Request-Private-Network": "true"}, True),
            ("upload progress", {}, False),
        ]
        for name, extra, private in cases:
            with self.subTest(name):
                headers = dict({"Origin": "https://public.example", "Access-Control-Request-Method": "POST"}, **extra)
                status, _, hdrs, body = self.svc.request("OPTIONS", "/", headers=headers)
                self.assertEqual((status, body), (204, b""))
                self.assertEqual(hdrs.get("access-control-allow-private-network"), "true" if private else None)
                self.assertEqual(hdrs["access-control-allow-origin"], "https://public.example")
                self.assertIn("POST", hdrs["access-control-allow-methods"])
                self.assertEqual(hdrs["access-control-allow-headers"],
                                 extra.get("Access-Control-Request-Headers", "Content-Type"))
        # Any other OPTIONS keeps its answer, a preflight for another method too.
        for headers in ({"Origin": "https://public.example"},
                        {"Origin": "https://public.example", "Access-Control-Request-Method": "PUT"}):
            with self.subTest(headers=headers):
                status, reason, _, _ = self.svc.request("OPTIONS", "/", headers=headers)
                self.assertEqual((status, reason), (400, "Bad request. Server accepts POST and GET messages only."))

    def test_another_user_on_the_machine_is_refused(self):
        body = form_body(VERSION).encode()
        request = post_head(len(body)) + body
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the other user's process
            os.close(read)
            try:
                os.setgid(65534)
                os.setuid(65534)
                reply = exchange(self.svc.port, request, timeout=10)
            except Exception as e:  # noqa: BLE001 - reported to the parent
                reply = repr(e).encode()
            os.write(write, reply[:200] or b"<nothing>")
            os._exit(0)
        os.close(write)
        got = b""
        while True:
            chunk = os.read(read, 4096)
            if not chunk:
                break
            got += chunk
        os.close(read)
        os.waitpid(pid, 0)
        self.assertEqual(got, b"<nothing>")
        own = post_head(len(body), b"Connection: close\r\n") + body
        self.assertIn(b"<Code>0</Code>", exchange(self.svc.port, own))  # this user is served
        self.assertIn("Connection from another user's process refused", self.svc.log_text())

    def test_allowed_origins(self):
        with Service(settings={"AllowedOrigins": "https://a.example, https://b.example"}) as svc:
            for origin, status in [("https://a.example", 200), ("https://b.example", 200), (None, 200),
                                   ("https://c.example", 403), ("https://a.example.evil", 403), ("null", 403)]:
                with self.subTest(origin=origin):
                    headers = {"Origin": origin} if origin else {}
                    self.assertEqual(svc.request("POST", "/", form_body(VERSION), headers)[0], status)
            # Through the frame (the service's own origin) the forwarded page origin is judged.
            own = "http://127.0.0.1:%d" % svc.port
            for page, status in [("https://a.example", 200), ("https://c.example", 403), (None, 403)]:
                with self.subTest(frame_page=page):
                    headers = {"Origin": own, **({"X-ZelkorH-Page-Origin": page} if page else {})}
                    self.assertEqual(svc.request("POST", "/", form_body(VERSION), headers)[0], status)

    def test_frame_requests_are_keyed_by_the_page_they_serve(self):
        own = {"Origin": "https://localhost:%d" % self.svc.port_s}
        page_a = dict(own, **{"X-ZelkorH-Page-Origin": "https://a.example"})
        page_b = dict(own, **{"X-ZelkorH-Page-Origin": "https://b.example"})
        save = request_xml("SAVE_PASSWORD", {"Pass": b64("secret of A")})
        self.assertEqual(self.svc.post(xml=save, tls=True, headers=page_a).code, 0)
        retrieve = request_xml("RETRIEVE_PASSWORD")
        cases = [  # (headers, code): the frame and the page directly are one origin; others are not
            (page_a, 0), ({"Origin": "https://a.example"}, 0),
            (page_b, 1), ({"Origin": "https://b.example"}, 1), ({}, 1),
            # A page cannot name another: the forwarded origin counts only from the service's own.
            ({"Origin": "https://b.example", "X-ZelkorH-Page-Origin": "https://a.example"}, 1),
        ]
        for headers, code in cases:
            with self.subTest(headers=headers):
                self.assertEqual(self.svc.post(xml=retrieve, headers=headers).code, code)
        # The frame without the page it serves is refused.
        self.assertEqual(self.svc.request("POST", "/", form_body(retrieve), own)[0], 403)
        self.assertEqual(self.svc.post(command="CLEAN_PASSWORD", headers=page_a).code, 0)


class Log(unittest.TestCase):
    def test_data_secrets_and_forged_lines_stay_out(self):
        with Service(settings={"LogMaxSize": 200000}) as svc:
            blob = "BLOB-MARK-" + "z" * 100
            self.assertEqual(svc.post(command="SAVE_DATA", data=blob).code, 0)
            self.assertEqual(svc.post(command="LOAD_DATA").data.text, blob)
            env = svc.post(command="SYMMETRIC", params={"DIR": "1", "KEY": b64("ключ")},
                           data=b64("SYMMETRIC-PLAIN-MARK"))
            self.assertEqual(env.code, 0, env.text)
            # A protected database; its key written with a ">" inside.
            params = '<Base TYPE="PROT" KEY="%s>KEYTAIL-MARK">%s</Base><Query>%s</Query>' % (
                b64("ключ"), b64("vault"),
                b64("CREATE TABLE IF NOT EXISTS t(v); INSERT INTO t VALUES('ROW-MARK-1'); SELECT v FROM t"))
            svc.post(command="DB_COMMAND", params=params)
            forged = "GET_VERSION\r\n01-01-25 00:00:00 Forged, Line, 1\t- FORGED-MARK"
            self.assertEqual(svc.post(xml=request_xml(forged)).code, 56)
            log = svc.log_text()
            for secret in ("BLOB-MARK", b64("SYMMETRIC-PLAIN-MARK"), "ROW-MARK", "KEYTAIL-MARK", b64("ключ")):
                self.assertNotIn(secret, log)
            self.assertIn("<Data>[%d bytes]</Data>" % len(blob), log)
            self.assertIn('KEY="***"', log)
            self.assertNotIn("\n01-01-25 00:00:00 Forged", log)
            self.assertIn("\\n01-01-25 00:00:00 Forged", log)  # the parser made the CR LF one LF
            self.assertEqual(stat.S_IMODE(os.stat(svc.path("ZelkorH.log")).st_mode), 0o600)
            # Large data grows the log by its cut text only.
            before = os.path.getsize(svc.path("ZelkorH.log"))
            big = "Q" * (4 << 20)
            self.assertEqual(svc.post(command="GET_VERSION", params={"Note": big}).code, 0)
            grown = os.path.getsize(svc.path("ZelkorH.log")) - before
            self.assertLess(grown, 64 << 10)
            self.assertIn("bytes in all]", svc.log_text())
            # Past LogMaxSize the file starts anew, keeping one old file.
            for _ in range(100):
                svc.post(command="GET_VERSION", params={"Note": "n" * 8000})
            self.assertTrue(os.path.exists(svc.path("ZelkorH.log.1")))
            self.assertFalse(os.path.exists(svc.path("ZelkorH.log.2")))
            for name in ("ZelkorH.log", "ZelkorH.log.1"):
                self.assertLess(os.path.getsize(svc.path(name)), 200000 + 20000)
                self.assertEqual(stat.S_IMODE(os.stat(svc.path(name)).st_mode), 0o600)


class ProcessHygiene(unittest.TestCase):
    def test_files_are_private_and_no_core_dump(self):
        old = os.umask(0o022)
        try:
            with Service() as svc:
                self.assertEqual(svc.post(command="SAVE_DATA", data="x").code, 0)
                svc.post(command="DB_COMMAND", params="<Base>%s</Base><Query>%s</Query>" % (
                    b64("plain"), b64("CREATE TABLE t(a)")))
                for path, mode in [("Data", 0o700), ("Data/UserData.dat", 0o600), ("Data/plain.db", 0o600),
                                   ("ZelkorH.log", 0o600)]:
                    with self.subTest(path=path):
                        self.assertEqual(stat.S_IMODE(os.stat(svc.path(path)).st_mode), mode)
                with open("/proc/%d/limits" % svc.proc.pid) as f:
                    core = next(l for l in f if l.startswith("Max core file size"))
                self.assertEqual(core.split()[4:6], ["0", "0"])
        finally:
            os.umask(old)


class BodyBudget(unittest.TestCase):
    def test_bodies_over_the_budget_are_refused_unread(self):
        env = {"ZELKORH_TEST_COMMAND_DELAY_MS": "4000"}
        with Service(settings={"MaxBodiesInFlight": 1000000}, env=env) as svc:
            # Declared beyond the budget: 503 before a byte of the body is sent.
            reply = exchange(svc.port, post_head(2000000))
            self.assertTrue(reply.startswith(b"HTTP/1.1 503"), reply[:100])
            self.assertIn(b"Connection: close", reply)
            # One body in flight holds its share until its command ends.
            held = form_body(request_xml("GET_VERSION", params={"Pad": "p" * 600000})).encode()
            first = socket.create_connection(("127.0.0.1", svc.port), timeout=60)
            try:
                first.sendall(post_head(len(held)) + held)
                self.assertTrue(svc.wait_for_log("Command held"))
                reply = exchange(svc.port, post_head(len(held)))
                self.assertTrue(reply.startswith(b"HTTP/1.1 503"), reply[:100])
                # Chunked bodies take budget chunk by chunk and are cut off past it.
                chunk = b"%x\r\n%s\r\n" % (500000, b"c" * 500000)
                reply = exchange(svc.port, b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 + chunk * 2)
                self.assertTrue(reply.startswith(b"HTTP/1.1 413"), reply[:100])
                self.assertIn(b"<Code>0</Code>", read_reply(first))
            finally:
                first.close()
            # Given back: the same body fits again.
            self.assertIn(b"<Code>0</Code>", exchange(svc.port, post_head(len(held), b"Connection: close\r\n") + held))


class LargeBodies(SharedServiceCase):
    """A large body is taken in while it arrives: however the client cuts it,
    whatever follows it on the connection, the command gets the very bytes."""

    # Large enough that the landing gives raw pages back while it unwraps.
    DOC = os.urandom(6 * 1024 * 1024 + 3)

    def hash_body(self):
        return form_body(request_xml("CTX_GET_HASH", "<Other/>", b64(self.DOC))).encode()

    def assert_hashed(self, reply):
        head, _, body = reply.partition(b"\r\n\r\n")
        self.assertIn(b" 200 ", head.split(b"\r\n")[0])
        env = Envelope(body.decode())
        self.assertEqual((env.code, base64.b64decode(env.data.text)), (0, hashlib.sha256(self.DOC).digest()))

    @staticmethod
    def send_in_pieces(sock, data, first, sizes):
        sock.sendall(data[:first])
        at, i = first, 0
        while at < len(data):
            n = sizes[i % len(sizes)]
            sock.sendall(data[at:at + n])
            at, i = at + n, i + 1
            if i % 32 == 0:
                time.sleep(0.002)  # lets the service read what came so far

    def test_cut_anywhere(self):
        body = self.hash_body()
        head = post_head(len(body))
        version = form_body(VERSION).encode()
        cases = [  # (name, first piece, then pieces of these sizes in turn, what follows on the connection)
            ("one write", len(head + body), [1], b""),
            ("the head with the body's start, then odd pieces", len(head) + 1001, [65537, 7, 4093], b""),
            ("the head alone, then small pieces", len(head), [16381], b""),
            ("another request in the same write", len(head + body) + 100, [1 << 20], post_head(len(version)) + version),
            ("a second large body on the same connection", len(head) + 5, [100003], head + body),
        ]
        for name, first, sizes, more in cases:
            with self.subTest(name):
                with socket.create_connection(("127.0.0.1", self.svc.port), timeout=60) as s:
                    self.send_in_pieces(s, head + body + more, first, sizes)
                    replies = read_replies(s, 2 if more else 1)
                    self.assert_hashed(replies[0])
                    if more.startswith(head):
                        self.assert_hashed(replies[1])
                    elif more:
                        self.assertIn(b"<Code>0</Code>", replies[1])

    def test_tls_chunked_and_a_client_gone_mid_body(self):
        body = self.hash_body()
        status, _, _, answer = self.svc.request("POST", "/", body, tls=True)
        self.assertEqual(status, 200)
        self.assert_hashed(b"HTTP/1.1 200 OK\r\n\r\n" + answer)
        chunks = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 100000]), body[i:i + 100000])
                          for i in range(0, len(body), 100000))
        chunked = b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks + b"0\r\n\r\n"
        with socket.create_connection(("127.0.0.1", self.svc.port), timeout=60) as s:
            s.sendall(chunked)
            self.assert_hashed(read_reply(s))
        for _ in range(3):
            with socket.create_connection(("127.0.0.1", self.svc.port), timeout=60) as s:
                s.sendall(post_head(len(body)) + body[:len(body) // 2])
                time.sleep(0.05)
        with socket.create_connection(("127.0.0.1", self.svc.port), timeout=60) as s:
            s.sendall(post_head(len(body)) + body)
            self.assert_hashed(read_reply(s))


class Framing(SharedServiceCase):
    def test_ambiguous_framing_is_refused(self):
        body = form_body(VERSION).encode()
        n = len(body)
        cases = [  # (request, status)
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\nContent-Length: %d\r\n\r\n" % (n, n + 5) + body,
             400),
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\nContent-Length: %d\r\n\r\n" % (n, n) + body,
             200),
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Note: a\x00b\r\nContent-Length: %d\r\n\r\n" % n + body, 400),
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\x00.evil\r\nContent-Length: %d\r\n\r\n" % n + body, 400),
            (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n 5\r\n\r\n" % n + body, 400),
            (b"GET /empty.html\x00 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400),
        ]
        for request, status in cases:
            with self.subTest(request=request[:90]):
                # Sent in two parts, so that the head is read in pieces.
                with socket.create_connection(("127.0.0.1", self.svc.port), timeout=30) as s:
                    s.sendall(request[:40])
                    time.sleep(0.05)
                    s.sendall(request[40:])
                    reply = read_reply(s)
                self.assertTrue(reply.startswith(b"HTTP/1.1 %d" % status), reply[:100])
                self.assertEqual(self.svc.post(command="GET_VERSION").code, 0)


if __name__ == "__main__":
    unittest.main()
