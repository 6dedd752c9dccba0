"""The per-user service: tools/install.sh and tools/uninstall.sh in a home of
their own, the systemd user unit they write (checked by systemd-analyze), and
zelkorh-prepare, which brings a user's program folder up to date from the
Debian package's template."""

import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import BUILD_BIN, PROGRAM_FILES, Service, template_folder  # noqa: E402

from unitcheck import verify_unit  # noqa: E402


def run(args, home, **kw):
    env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_") and k != "ZELKORH_DIR"}
    env.update(HOME=home, **kw)
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=120)


def same_file(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        return x.read() == y.read()


def nss_nicknames(db):
    out = subprocess.run(["certutil", "-L", "-d", db], capture_output=True, text=True).stdout
    return [line[:60].strip() for line in out.splitlines()[4:] if line.strip()]


class InstallScripts(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="zk-home-")
        self.dest = os.path.join(self.home, ".local/share/zelkorh")
        self.unit = os.path.join(self.home, ".config/systemd/user/zelkorh.service")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def install(self, *args):
        r = run(["bash", os.path.join(REPO, "tools/install.sh"), "--from", BUILD_BIN, "--no-start"] + list(args), self.home)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def test_install_runs_reinstall_keeps_data_uninstall_removes(self):
        self.install("--with-demo")
        for name in PROGRAM_FILES:
            self.assertTrue(same_file(os.path.join(BUILD_BIN, name), os.path.join(self.dest, name)), name)
        self.assertTrue(os.access(os.path.join(self.dest, "ZelkorH"), os.X_OK))
        self.assertTrue(os.path.exists(os.path.join(self.dest, "Cert/demo-user.pfx")))
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.dest, "Cert/demo-user.pfx")).st_mode), 0o600)
        self.assertTrue(os.path.isdir(os.path.join(self.home, ".pki/nssdb")))
        with open(self.unit) as f:
            unit = f.read()
        self.assertIn("ExecStart=%s/ZelkorH\n" % self.dest, unit)
        self.assertIn("ReadWritePaths=%s %%h/.pki/nssdb %%t\n" % self.dest, unit)
        self.assertNotIn("@", unit)

        # The installed copy is a complete program folder.
        with Service(program=self.dest) as svc:
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)

        # Installing again replaces the programs and keeps what the service and the user made.
        kept = {"ZelkorH.my": "[common]\nPort=1\n", "Data/UserData.dat": "data", "ca.pem": "ca"}
        for name, text in kept.items():
            os.makedirs(os.path.dirname(os.path.join(self.dest, name)), exist_ok=True)
            with open(os.path.join(self.dest, name), "w") as f:
                f.write(text)
        with open(os.path.join(self.dest, "ZelkorH"), "wb") as f:
            f.write(b"old")
        self.install()
        self.assertTrue(same_file(os.path.join(BUILD_BIN, "ZelkorH"), os.path.join(self.dest, "ZelkorH")))
        for name, text in kept.items():
            with open(os.path.join(self.dest, name)) as f:
                self.assertEqual(f.read(), text, name)

        r = run(["bash", os.path.join(REPO, "tools/uninstall.sh")], self.home)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(self.unit))
        self.assertEqual(sorted(os.listdir(self.dest)), ["Cert", "Data", "ZelkorH.my", "ca.pem"])

    def test_purge_removes_the_folder_and_only_its_own_ca(self):
        self.install()
        # The tests' shared local CA takes the place of the one the service makes at its first start.
        shutil.copy(os.path.join(template_folder(), "ca.pem"), os.path.join(self.dest, "ca.pem"))
        nssdb = os.path.join(self.home, ".pki/nssdb")
        profile = os.path.join(self.home, ".mozilla/firefox/p1.default")
        os.makedirs(profile)
        other = os.path.join(self.home, "other.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", os.path.join(self.home, "other.key"), "-out", other, "-subj", "/CN=other", "-days", "2"],
                       check=True, capture_output=True)
        for db, cert in (("sql:" + nssdb, os.path.join(self.dest, "ca.pem")), ("sql:" + profile, other)):
            subprocess.run(["certutil", "-N", "--empty-password", "-d", db], check=True, capture_output=True)
            subprocess.run(["certutil", "-A", "-n", "ca.pem", "-t", "C,,", "-i", cert, "-d", db], check=True,
                           capture_output=True)

        # The system store (a folder of the test's own) holds this installation's CA and another one's.
        system = os.path.join(self.home, "system-store")
        os.makedirs(system)
        with open(os.path.join(self.dest, "ca.pem"), "rb") as f:
            ours = "ZelkorH-local-ca-%s.crt" % hashlib.sha256(f.read()).hexdigest()[:16]
        for name in (ours, "ZelkorH-local-ca-0123456789abcdef.crt"):
            shutil.copy(os.path.join(self.dest, "ca.pem"), os.path.join(system, name))

        r = run(["bash", os.path.join(REPO, "tools/uninstall.sh"), "--purge"], self.home, ZELKORH_SYSTEM_CA_DIR=system)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(self.dest))
        self.assertEqual(nss_nicknames("sql:" + nssdb), [])
        self.assertEqual(nss_nicknames("sql:" + profile), ["ca.pem"], "another program's entry of that name stays")
        self.assertEqual(os.listdir(system), ["ZelkorH-local-ca-0123456789abcdef.crt"], "another installation's stays")

    def test_unsafe_program_folder_is_refused(self):
        r = run(["bash", os.path.join(REPO, "tools/install.sh"), "--from", BUILD_BIN, "--no-start"], self.home,
                ZELKORH_DIR=os.path.join(self.home, "a b"))
        self.assertNotEqual(r.returncode, 0)
        self.assertFalse(os.path.exists(self.unit))

    def test_unit_verifies(self):
        self.install()
        verify_unit(self, self.unit, self.home)


class Prepare(unittest.TestCase):
    """zelkorh-prepare with a template: copies missing or older program files, nothing else."""

    def test_template_copied_when_missing_or_older(self):
        with tempfile.TemporaryDirectory() as home:
            tpl = os.path.join(home, "template")
            dest = os.path.join(home, ".local/share/zelkorh")
            os.makedirs(tpl)
            for name in PROGRAM_FILES:
                shutil.copy2(os.path.join(BUILD_BIN, name), tpl)
            prepare = [os.path.join(REPO, "packaging/zelkorh-prepare"), tpl]

            self.assertEqual(run(prepare, home).returncode, 0)
            for name in PROGRAM_FILES:
                self.assertTrue(same_file(os.path.join(tpl, name), os.path.join(dest, name)), name)
            self.assertTrue(os.path.isdir(os.path.join(home, ".pki/nssdb")))

            # A file the service updated itself is newer than the template's: it stays.
            updated = os.path.join(dest, "ZelkorH.ini")
            with open(updated, "w") as f:
                f.write("; updated\n")
            with open(os.path.join(dest, "ZelkorH.my"), "w") as f:
                f.write("[common]\n")
            # A newer package brings a newer file: it replaces the user's copy.
            newer = os.path.join(tpl, "libZelkorD.so")
            future = time.time() + 100
            os.utime(newer, (future, future))
            with open(os.path.join(dest, "libZelkorD.so"), "wb") as f:
                f.write(b"old")

            self.assertEqual(run(prepare, home).returncode, 0)
            with open(updated) as f:
                self.assertEqual(f.read(), "; updated\n")
            self.assertTrue(same_file(newer, os.path.join(dest, "libZelkorD.so")))
            self.assertTrue(os.path.exists(os.path.join(dest, "ZelkorH.my")))
            self.assertEqual(sorted(n for n in os.listdir(dest) if n.startswith(".")), [])


if __name__ == "__main__":
    unittest.main()
