"""Start-up, single instance, -setup, start-up failures and shutdown of the real service."""

import os
import shutil
import signal
import socket
import stat
import subprocess
import unittest

from zkservice import Service, form_body, free_port, request_xml, wait_for_port


class StartupFailures(unittest.TestCase):
    """Each case ends the process with exit code -1 and its message on stderr."""

    def run_failing(self, prepare, expected):
        svc = Service(start=False)
        try:
            prepare(svc)
            code, err = svc.run()
            self.assertEqual(code, 255, err)  # -1
            for text in expected:
                self.assertIn(text, err)
            self.assertFalse(os.path.exists(svc.path("ZelkorH.log")) and "Started" in svc.log_text())
            return svc, err
        finally:
            svc.cleanup()

    def test_missing_parameters_file(self):
        self.run_failing(lambda s: os.remove(s.path("ZelkorH.ini")),
                         ["Відсутній файл параметрів", "/ZelkorH.ini"])

    def test_both_ports_zero(self):
        self.run_failing(lambda s: s.write_my({"Port": 0, "PortS": 0}), ["Не визначено порти HTTP або HTTPS"])

    def test_port_taken_prints_2740(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        taken = holder.getsockname()[1]
        try:
            _, err = self.run_failing(lambda s: s.write_my({"Port": taken, "PortS": 0, "SystemTrust": 0}),
                                      ["Неможливо запустити HTTP-сервер (3)", "Port: %d, SSL Port: 0" % taken,
                                       "Помилка: 2740", "Порт вже зайнятий"])
        finally:
            holder.close()

    def test_tls_port_equal_to_plain_port(self):
        port = free_port()
        _, err = self.run_failing(lambda s: s.write_my({"Port": port, "PortS": port, "SystemTrust": 0}),
                                  ["Неможливо запустити HTTP-сервер (3)"])
        self.assertNotIn("Порт вже зайнятий", err)

    def test_unresolvable_host(self):
        self.run_failing(lambda s: s.write_my({"Host": "no-such-host.invalid", "Port": free_port(), "PortS": 0}),
                         ["Неможливо запустити HTTP-сервер (2)", "(Host: no-such-host.invalid)",
                          "Помилка gethostbyname:"])


class SingleInstanceAndSetup(unittest.TestCase):
    def test_second_instance_ends_at_once_and_setup_still_runs(self):
        with Service() as first:
            second = Service(start=False)
            second.env["XDG_RUNTIME_DIR"] = first.runtime  # the same user session
            try:
                code, err = second.run()
                self.assertEqual(code, 255)
                # It says why, in one line, and opens no dialog.
                self.assertEqual(err.strip(), "ZelkorH вже працює для цього користувача (блокування в %s): "
                                              "цей екземпляр завершується" % first.runtime)
                # -setup takes no lock: it runs beside the running instance.
                code, _ = second.run(["-setup"])
                self.assertEqual(code, 0)
            finally:
                second.cleanup()
            # Instances of other sessions run side by side.
            with Service() as other:
                self.assertEqual(other.post(command="GET_VERSION").code, 0)

    def test_one_line_says_where_it_listens(self):
        svc = Service(start=False)
        try:
            proc = subprocess.Popen([svc.exe], cwd=svc.work, env=svc.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            try:
                line = proc.stdout.readline().decode("utf-8").rstrip("\n")
            finally:
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(timeout=60), 0)
            self.assertRegex(line, r"^ZelkorH \d+\.\d+\.\d+\.\d+ слухає ")
            self.assertTrue(line.endswith(" слухає http://127.0.0.1:%d і https://127.0.0.1:%d; тека програми %s"
                                          % (svc.port, svc.port_s, os.path.realpath(svc.folder))), line)
            self.assertEqual(proc.stdout.read(), b"", "one line only")
        finally:
            svc.cleanup()

    def test_update_copy_waits_for_the_running_instance(self):
        with Service() as first:
            copy = first.path("ZelkorH.~new")
            shutil.copy2(first.exe, copy)
            waiting = subprocess.Popen([copy], cwd=first.work, env=first.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.assertEqual(first.post(command="GET_VERSION").code, 0)
                self.assertIsNone(waiting.poll())  # did not end with -1
                self.assertEqual(first.stop(), 0)
                self.assertTrue(wait_for_port(first.port, waiting))  # took over once the first had ended
                waiting.send_signal(signal.SIGTERM)
                self.assertEqual(waiting.wait(timeout=60), 0)
            finally:
                if waiting.poll() is None:
                    waiting.kill()
                    waiting.wait()

    def test_setup_prepares_folders_and_opens_nothing(self):
        svc = Service(start=False)
        try:
            port = svc.port
            os.makedirs(svc.path("View", "old"))
            with open(svc.path("View", "old", "f.txt"), "w") as f:
                f.write("x")
            with open(svc.path("ROOT.CER"), "wb") as f:
                f.write(b"certificate bytes")
            code, err = svc.run(["-setup"])
            self.assertEqual(code, 0, err)
            for folder in ("View", "Cert", "CertStorage"):
                self.assertTrue(os.path.isdir(svc.path(folder)), folder)
            self.assertEqual(os.listdir(svc.path("View")), [])
            self.assertEqual(os.listdir(svc.path("CertStorage")), ["root.cer"])
            self.assertFalse(wait_for_port(port, timeout=0.2))
            self.assertFalse(os.path.exists(svc.path("ZelkorH.log")))
        finally:
            svc.cleanup()

    def test_setup_without_parameters_file_still_ends_with_0(self):
        svc = Service(start=False)
        try:
            os.remove(svc.path("ZelkorH.ini"))
            code, err = svc.run(["x-setup-y"])  # anywhere on the command line
            self.assertEqual(code, 0)
            self.assertIn("Відсутній файл параметрів", err)
        finally:
            svc.cleanup()


class Settings(unittest.TestCase):
    def test_defaults_apply(self):
        # Defaults: 127.0.0.1:19744 and :20026, no log. Only when those ports are free here.
        # The .my file names SystemTrust=0 alone, so that the test never writes the system store.
        for port in (19744, 20026):
            with socket.socket() as s:
                try:
                    s.bind(("127.0.0.1", port))
                except OSError:
                    self.skipTest("default port %d is in use on this machine" % port)
        svc = Service(start=False, port=19744, ports=20026)
        try:
            svc.write_my({"SystemTrust": 0})
            svc.start()
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)
            self.assertEqual(svc.post(command="GET_VERSION", tls=True).code, 0)
            self.assertEqual(svc.stop(), 0)
            self.assertFalse(os.path.exists(svc.path("ZelkorH.log")))
        finally:
            svc.cleanup()

    def test_host_with_blanks_and_single_listeners(self):
        cases = [  # (settings, plain listens, tls listens)
            ({"Host": " \t127.0.0.1  "}, True, True),
            ({"PortS": 0}, True, False),
            ({"Port": 0}, False, True),
            ({"Host": "localhost", "PortS": 0}, True, False),
            ({"Host": "*", "Port": 0}, False, True),
        ]
        for settings, plain, tls in cases:
            with self.subTest(settings=settings):
                svc = Service(start=False)
                try:
                    merged = dict(svc.settings)
                    merged.update(settings)
                    svc.write_my(merged)
                    svc.port = svc.port if plain else 0
                    svc.port_s = svc.port_s if tls else 0
                    svc.start()
                    if plain:
                        self.assertEqual(svc.post(command="GET_VERSION").code, 0)
                    else:
                        self.assertFalse(wait_for_port(merged["Port"] or 1, timeout=0.2))
                    if tls:
                        self.assertEqual(svc.post(command="GET_VERSION", tls=True).code, 0)
                    self.assertEqual(svc.stop(), 0)
                finally:
                    svc.cleanup()

    def test_plain_only_does_not_make_tls_material(self):
        svc = Service(start=False, template=False, ports=0)
        try:
            svc.start()
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)
            self.assertEqual(svc.stop(), 0)
            self.assertFalse(os.path.exists(svc.path("server.pem")))
            self.assertFalse(os.path.exists(svc.path("ca.pem")))
        finally:
            svc.cleanup()


class Shutdown(unittest.TestCase):
    def test_signals_end_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                with Service() as svc:
                    with open(svc.path("View", "left.txt"), "w") as f:
                        f.write("x")
                    self.assertEqual(svc.post(command="GET_VERSION").code, 0)
                    self.assertEqual(svc.stop(sig), 0)
                    self.assertFalse(os.path.exists(svc.path("View")))
                    self.assertTrue(svc.log_text().rstrip().endswith("Stopped"))
                    # The lock went with the process: a new start in the same session works.
                    again = Service(start=False)
                    again.env["XDG_RUNTIME_DIR"] = svc.runtime
                    try:
                        again.start()
                        self.assertEqual(again.stop(), 0)
                    finally:
                        again.cleanup()

    def test_stop_while_a_command_runs(self):
        with Service(env={"ZELKORH_TEST_COMMAND_DELAY_MS": "600000"}) as svc:
            body = form_body(request_xml("GET_VERSION")).encode()
            with socket.create_connection(("127.0.0.1", svc.port), timeout=60) as client:
                client.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
                self.assertTrue(svc.wait_for_log("Command held"))
                self.assertEqual(svc.stop(), 0)  # the held command is let go, not waited for
                self.assertEqual(client.recv(100), b"")  # no answer: the connection just ends
            self.assertTrue(svc.log_text().rstrip().endswith("Stopped"))

    def test_view_emptied_at_start_and_storage_rebuilt(self):
        svc = Service(start=False)
        try:
            os.makedirs(svc.path("View", "sub"))
            with open(svc.path("View", "sub", "old.txt"), "w") as f:
                f.write("x")
            os.makedirs(svc.path("CertStorage"))
            left = svc.path("CertStorage", "stale.cer")
            with open(left, "w") as f:
                f.write("x")
            os.chmod(left, stat.S_IRUSR)
            for name in ("ROOT.CER", "Issuer.Crt", "chain.p7b", "notes.txt"):
                with open(svc.path(name), "w") as f:
                    f.write(name)
            os.makedirs(svc.path("sub.cer"))  # a folder is not copied
            svc.start()
            self.assertEqual(os.listdir(svc.path("View")), [])
            self.assertEqual(sorted(os.listdir(svc.path("CertStorage"))), ["chain.p7b", "issuer.crt", "root.cer"])
            with open(svc.path("CertStorage", "root.cer")) as f:
                self.assertEqual(f.read(), "ROOT.CER")
            self.assertEqual(svc.stop(), 0)
        finally:
            svc.cleanup()


if __name__ == "__main__":
    unittest.main()
