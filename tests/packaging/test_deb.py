"""The Debian package: built by tools/build-deb.sh from the build's program
folder, inspected (control fields, file list, modes, lintian where installed),
then unpacked: its zelkorh-prepare fills a user's program folder from the
template, the service runs from that copy, and its user unit verifies."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from zkservice import BUILD_BIN, PROGRAM_FILES, Service  # noqa: E402

from unitcheck import verify_unit  # noqa: E402

CONTENTS = {
    "./usr/lib/zelkorh/ZelkorH": "-rwxr-xr-x",
    "./usr/lib/zelkorh/libZelkorD.so": "-rw-r--r--",
    "./usr/lib/zelkorh/ZelkorH.ini": "-rw-r--r--",
    "./usr/lib/zelkorh/digest.txt": "-rw-r--r--",
    "./usr/lib/zelkorh/zelkorh-prepare": "-rwxr-xr-x",
    "./usr/lib/systemd/user/zelkorh.service": "-rw-r--r--",
    "./usr/share/doc/zelkorh/copyright": "-rw-r--r--",
    "./usr/share/doc/zelkorh/changelog.gz": "-rw-r--r--",
}


def project_version():
    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        return re.search(r"project\(ZelkorH VERSION ([0-9.]+)", f.read()).group(1)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="zk-deb-")
        r = subprocess.run(["bash", os.path.join(REPO, "tools/build-deb.sh"), BUILD_BIN, cls.work],
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            raise AssertionError("build-deb.sh failed:\n" + r.stderr)
        cls.deb = r.stdout.strip().splitlines()[-1]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def dpkg_deb(self, *args):
        return subprocess.run(["dpkg-deb"] + list(args), capture_output=True, text=True, check=True).stdout

    def test_control_fields(self):
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        self.assertEqual(os.path.basename(self.deb), "zelkorh_%s_%s.deb" % (project_version(), arch))
        fields = dict(re.findall(r"^(\S+): (.*)$", self.dpkg_deb("-f", self.deb), re.M))
        self.assertEqual(fields["Package"], "zelkorh")
        self.assertEqual(fields["Version"], project_version())
        self.assertEqual(fields["Architecture"], arch)
        depends = [d.split()[0] for d in fields["Depends"].split(", ")]
        # What the programs link, found by dpkg-shlibdeps, and what they run or load.
        for package in ("libc6", "libssl3", "libsqlite3-0", "libtinyxml2-9", "libevent-core-2.1-7", "libnss3-tools",
                        "libcurl4"):
            self.assertIn(package, depends)

    def test_contents(self):
        listing = {}
        for line in self.dpkg_deb("-c", self.deb).splitlines():
            mode, owner, _size, _day, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", path)
            if not mode.startswith("d"):
                listing[path] = mode
        self.assertEqual(listing, CONTENTS)

    def test_lintian(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed: the package was not checked by it")
        r = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], capture_output=True, text=True,
                           timeout=300)
        report = "\n".join(line for line in (r.stdout + r.stderr).splitlines() if "root privileges" not in line)
        self.assertEqual((r.returncode, report), (0, ""))

    def test_shipped_files_only(self):
        # The parameter file as shipped, whatever the build's program folder holds.
        root = os.path.join(self.work, "shipped")
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
        with open(os.path.join(root, "usr/lib/zelkorh/ZelkorH.ini"), "rb") as a, \
                open(os.path.join(REPO, "zelkord/ZelkorH.ini"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_maintainer_scripts_leave_nothing_behind(self):
        # Run as dpkg runs them, on a root of their own (DPKG_ROOT).
        root = os.path.join(self.work, "scripts-root")
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
        control = os.path.join(self.work, "control")
        subprocess.run(["dpkg-deb", "-e", self.deb, control], check=True)
        env = dict(os.environ, DPKG_ROOT=root, DPKG_MAINTSCRIPT_PACKAGE="zelkorh")

        def script(name, *args):
            subprocess.run([os.path.join(control, name)] + list(args), env=dict(env, DPKG_MAINTSCRIPT_NAME=name),
                           check=True, capture_output=True)

        def links():
            found = []
            for top in ("etc", "var"):
                for folder, _, names in os.walk(os.path.join(root, top)):
                    found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
            return sorted(found)

        script("postinst", "configure")
        self.assertIn("etc/systemd/user/default.target.wants/zelkorh.service", links())
        script("prerm", "remove")
        os.remove(os.path.join(root, "usr/lib/systemd/user/zelkorh.service"))  # dpkg removes the files
        script("postrm", "remove")
        self.assertEqual(links(), [], "no enable link left dangling, no record")
        script("postrm", "purge")
        self.assertEqual(links(), [])

    def test_first_start_for_a_user(self):
        root = os.path.join(self.work, "root")
        home = os.path.join(self.work, "home")
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
        os.makedirs(home)
        template = os.path.join(root, "usr/lib/zelkorh")
        env = dict(os.environ, HOME=home)
        env.pop("ZELKORH_DIR", None)
        subprocess.run([os.path.join(template, "zelkorh-prepare"), template], env=env, check=True)
        dest = os.path.join(home, ".local/share/zelkorh")
        for name in PROGRAM_FILES:
            with open(os.path.join(template, name), "rb") as a, open(os.path.join(dest, name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)
        self.assertTrue(os.path.isdir(os.path.join(home, ".pki/nssdb")))

        # The packaged (stripped) programs run, and sign with the demo certificate.
        with Service(program=dest, demo=True) as svc:
            self.assertEqual(svc.post(command="GET_VERSION").code, 0)
            env = svc.post(command="SET_SIGN", params={"DRFO": "1234567890", "Pass": "ZGVtbzEyMzQ="}, data="SGVsbG8=")
            self.assertEqual(env.code, 0, env.message)

        # The unit as installed, with the package's folder where dpkg would have put it.
        with open(os.path.join(root, "usr/lib/systemd/user/zelkorh.service")) as f:
            unit = f.read()
        self.assertIn("ExecStartPre=+/usr/lib/zelkorh/zelkorh-prepare /usr/lib/zelkorh\n", unit)
        self.assertIn("ExecStart=%h/.local/share/zelkorh/ZelkorH\n", unit)
        placed = os.path.join(self.work, "zelkorh.service")
        with open(placed, "w") as f:
            f.write(unit.replace("/usr/lib/zelkorh", template))
        verify_unit(self, placed, home)


if __name__ == "__main__":
    unittest.main()
