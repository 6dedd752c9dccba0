"""The automatic update against a local HTTPS update server (its own CA, named
by UpdateCA): a new version is found, checked, staged and installed, and the
service restarts into it on the same ports; every kind of failure leaves the
installation untouched and is recorded as a failed run; AutoUpdate=0
transfers nothing."""
import hashlib
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from httppeer import Peer, make_ca, make_cert
from zkservice import BUILD_BIN, PROGRAM_FILES, Service

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_UPDATE = os.path.join(HERE, "..", "..", "tools", "update", "make-update.sh")


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def wait_for(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class UpdateServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="zk-upd-")
        w = cls.work
        make_ca(w, "ca")
        make_ca(w, "stranger-ca")
        cls.cert = make_cert(w, "server", "ca", "DNS:localhost,IP:127.0.0.1")
        cls.wrong_name = make_cert(w, "elsewhere", "ca", "DNS:elsewhere.test")
        make_ca(w, "signer")  # the publisher's signing certificate and key
        make_ca(w, "impostor")
        # The new version: the executable with a marker appended (it still
        # runs), a changed parameter file and a file the old one lacks.
        cls.new = os.path.join(w, "new")
        os.makedirs(cls.new)
        for name in PROGRAM_FILES:
            shutil.copy2(os.path.join(BUILD_BIN, name), os.path.join(cls.new, name))
        with open(os.path.join(cls.new, "ZelkorH"), "ab") as f:
            f.write(b"\0update-test-marker\0")
        with open(os.path.join(cls.new, "ZelkorH.ini"), "a") as f:
            f.write("\n; updated\n")
        with open(os.path.join(cls.new, "readme-update.txt"), "w") as f:
            f.write("new in this version\n")
        cls.files = ["ZelkorH", "libZelkorD.so", "ZelkorH.ini", "readme-update.txt"]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def publish(self, name, signer=None, edit=None):
        """An update server folder made by the publishing script; edit(folder) may spoil it."""
        folder = os.path.join(self.work, name, "upd")
        args = ["bash", MAKE_UPDATE, self.new, folder]
        if signer:
            args += ["--signer", os.path.join(self.work, signer + ".pem"), "--key", os.path.join(self.work, signer + ".key")]
        subprocess.run(args + self.files, check=True)
        if edit:
            edit(folder)
        return os.path.dirname(folder)

    def peer(self, root, cert=None, host="localhost"):
        cert = cert or self.cert
        return Peer(root=root, cert=cert[0], key=cert[1], log=os.path.join(root, "requests.log"), tls_host=host)

    def snapshot(self, svc):
        """The program files as installed, and any staging left in the folder."""
        names = sorted(os.listdir(svc.folder))
        files = {n: md5(svc.path(n)) for n in names if n in PROGRAM_FILES}
        staging = [n for n in names if ".~" in n or n.lower().endswith(".bak") or n in ("Updates", "readme-update.txt")]
        return files, staging

    def settings(self, url, ca="ca", **extra):
        s = {"UpdateUrl": url, "UpdateCA": os.path.join(self.work, ca + ".pem")}
        s.update(extra)
        return s

    def test_new_version_is_installed_and_the_service_restarts_into_it(self):
        root = self.publish("good", signer="signer")
        with self.peer(root) as server, \
                Service(settings=self.settings(server.url("/upd"), UpdateSigner=os.path.join(self.work, "signer.pem")),
                        start=False) as svc:
            svc.start()
            pid = svc.proc.pid
            self.assertTrue(svc.wait_for_log("AutoUpdate Restart through", timeout=60), svc.log_text()[-3000:])
            # The restarted service checks again at once and finds itself up to date.
            self.assertTrue(svc.wait_for_log("AutoUpdate No files to update", timeout=60), svc.log_text()[-3000:])
            self.assertEqual(svc.proc.poll(), None)
            self.assertEqual(svc.proc.pid, pid)  # the same process: a service manager sees no end
            self.assertEqual(svc.log_text().count("Started, version"), 2)

            for name in self.files + ["digest.txt"]:
                self.assertEqual(md5(svc.path(name)), md5(os.path.join(root, "upd", name)), name)
            self.assertTrue(os.access(svc.path("ZelkorH"), os.X_OK))
            _, staging = self.snapshot(svc)
            self.assertEqual(staging, ["readme-update.txt"])  # no staged file, copy or download folder left
            # The list with its signature, then each file that differs, once
            # (the list is staged as checked, not fetched again); then the
            # restarted service's check.
            check = ["GET /upd/digest.txt", "GET /upd/digest.txt.sig"]
            self.assertEqual(server.requests(), check + ["GET /upd/ZelkorH", "GET /upd/ZelkorH.ini",
                                                         "GET /upd/readme-update.txt"] + check)

            # The same ports answer, plain and TLS.
            for tls in (False, True):
                env = svc.post(command="GET_VERSION", tls=tls)
                self.assertEqual(env.code, 0)
            info = svc.post(command="GET_UPDATE_INFO").data.find("Info")
            self.assertEqual(info.get("isNew"), "false")
            self.assertEqual(info.get("lastRunOk"), "true")
            self.assertEqual(svc.post(command="DO_UPDATE").code, 50)

    def run_failing(self, url, expect, ca="ca", **extra):
        """Starts a service against url, waits for the log line expect and checks
        that nothing changed and the run counts as failed; returns the service's log."""
        with Service(settings=self.settings(url, ca, **extra)) as svc:
            before = self.snapshot(svc)
            started = time.time()
            self.assertTrue(svc.wait_for_log(expect, timeout=60), "%s\n%s" % (expect, svc.log_text()[-3000:]))
            self.assertTrue(svc.wait_for_log("AutoUpdate !_", timeout=60))
            info = lambda: svc.post(command="GET_UPDATE_INFO").data.find("Info")
            self.assertTrue(wait_for(lambda: info().get("lastRun")))
            self.assertEqual(info().get("lastRunOk"), "false")
            self.assertTrue(wait_for(lambda: "PrevUpd=" in read_text(svc.path("Params.ini"))))
            self.assertEqual(self.snapshot(svc), before)
            self.assertFalse(os.path.exists(os.path.join(svc.work, "escape.txt")))
            # Recorded as failed: the next run is due an hour from now, not four.
            prev = int([l.split("=", 1)[1] for l in read_text(svc.path("Params.ini")).splitlines()
                        if l.startswith("PrevUpd=")][0])
            self.assertLess(abs(prev - (started - 3 * 3600)), 120)
            return svc.log_text()

    def test_without_a_local_digest_list_nothing_is_transferred(self):
        root = self.publish("no-local-list")
        with self.peer(root) as server, Service(settings=self.settings(server.url("/upd")), start=False) as svc:
            os.remove(svc.path("digest.txt"))
            svc.start()
            self.assertTrue(svc.wait_for_log("AutoUpdate !_GetLstFl( '%s' )" % svc.path("digest.txt"), timeout=60),
                            svc.log_text()[-3000:])
            info = lambda: svc.post(command="GET_UPDATE_INFO").data.find("Info")
            self.assertTrue(wait_for(lambda: info().get("lastRun")))
            self.assertEqual(info().get("lastRunOk"), "false")
            self.assertEqual(server.requests(), [])
            self.assertFalse(os.path.exists(svc.path("readme-update.txt")))

    def test_failures_leave_the_installation_untouched(self):
        def replace(name, data):
            def edit(folder):
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
            return edit

        def remove(name):
            return lambda folder: os.remove(os.path.join(folder, name))

        def add_entry(line):
            def edit(folder):
                with open(os.path.join(folder, "digest.txt"), "ab") as f:
                    f.write(line)
            return edit

        md5_a = b"0cc175b9c0f1b6a831c399e269772661"
        cases = [
            ("md5", replace("ZelkorH.ini", b"[CryptoLibs]\n; not what the list says\n"),
             "AutoUpdate File 'ZelkorH.ini', md5 loaded:"),
            ("absent", remove("readme-update.txt"), "AutoUpdate File 'readme-update.txt' is absent"),
            ("garbage", replace("digest.txt", b"this is not a digest list\r\n"), "AutoUpdate !_BuildLstFl"),
            ("binary", replace("digest.txt", bytes(range(256)) * 64), "AutoUpdate !_BuildLstFl"),
            ("parent", add_entry(md5_a + b" ../escape.txt\r\n"), "a name outside the program folder"),
            ("control", add_entry(md5_a + b" bell\x07.txt\r\n"), "control character in a name"),
            ("huge", replace("digest.txt", b"0" * (2 << 20)), "Response larger than"),
        ]
        for name, edit, expect in cases:
            with self.subTest(name):
                root = self.publish(name, edit=edit)
                with self.peer(root) as server:
                    self.run_failing(server.url("/upd"), expect)
                    if name == "parent":
                        self.assertNotIn("GET /upd/..%2fescape.txt", server.requests())

    def test_transport_failures_leave_the_installation_untouched(self):
        root = self.publish("transport")
        with self.subTest("server down"):
            self.run_failing("https://127.0.0.1:%d/upd" % closed_port(), "CURL Error: 7, ")
        for name, cert, ca, host in (("untrusted CA", None, "stranger-ca", "localhost"),
                                     ("wrong host name", self.wrong_name, "ca", "127.0.0.1")):
            with self.subTest(name), self.peer(root, cert=cert, host=host) as server:
                log = self.run_failing(server.url("/upd"), "CURL Error: 60, ", ca=ca)
                self.assertEqual(server.requests(), [])  # nothing was asked of an unproven server
                self.assertEqual(log.count("CURL Error: 60"), 1)  # and no second try
        with self.subTest("plain http refused"):
            with Service(settings={"UpdateUrl": "http://127.0.0.1:%d/upd" % closed_port()}) as svc:
                self.assertTrue(svc.wait_for_log("refused: not an https address"))

    def test_signed_list_is_required_when_a_signer_is_set(self):
        signer = os.path.join(self.work, "signer.pem")
        for name, by in (("unsigned", None), ("impostor", "impostor")):
            with self.subTest(name):
                root = self.publish("sig-" + name, signer=by)
                with self.peer(root) as server:
                    self.run_failing(server.url("/upd"), "AutoUpdate !VerifyDetachedSignature( 'digest.txt' )",
                                     UpdateSigner=signer)
                    self.assertNotIn("GET /upd/ZelkorH", server.requests())

    def test_autoupdate_off_transfers_nothing(self):
        root = self.publish("off")
        with self.peer(root) as server, \
                Service(settings=self.settings(server.url("/upd"), AutoUpdate=0)) as svc:
            self.assertTrue(svc.wait_for_log("Start. AutoUpdate disabled"))
            # The thread still runs: each run ends at once and is recorded.
            self.assertTrue(wait_for(lambda: "PrevUpd=" in read_text(svc.path("Params.ini"))))
            time.sleep(1)
            self.assertEqual(server.requests(), [])
            self.assertNotIn("AutoUpdate Run at", svc.log_text())
            info = svc.post(command="GET_UPDATE_INFO").data.find("Info")
            self.assertEqual(info.get("autoUpdate"), "false")
            self.assertEqual(info.get("isNew"), "false")


if __name__ == "__main__":
    unittest.main()
