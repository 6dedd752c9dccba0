"""The tray window: SELECT_KEY_FOLDER and the folder choice (a fake zenity
first in PATH that answers like it), headless behaviour, and, where a virtual desktop
can be had (Xvfb with a system tray), the real icon, its menu, the about box
and "Вихід", with screenshots in <build>/tests/artifacts/."""
import ctypes
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import screenshot
from pkifixtures import Pki
from zkservice import BUILD_BIN, Service

ARTIFACTS = os.path.join(os.path.dirname(os.path.abspath(BUILD_BIN)), "tests", "artifacts")
ICON_YELLOW = (255, 214, 0)  # the key in resources/tray-icon.png

FAKE_ZENITY = """#!/bin/sh
# Records its arguments, keeps the dialog "open" a moment, then answers like zenity.
printf '%s\\n' "$@" > "$ZK_FAKE_ZENITY_DIR/args"
sleep 2
printf '%s\\n' "$ZK_FAKE_ZENITY_CHOICE"
"""


def wait_for(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    return None


def read_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return None


def kept_folder(svc):
    path = svc.path("Params.ini")
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("UsrCertPath="):
                return line.strip().split("=", 1)[1]
    return None


class KeyFolderChoice(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zk-tray-")
        self.fake = os.path.join(self.tmp, "fakebin")
        os.makedirs(self.fake)
        with open(os.path.join(self.fake, "zenity"), "w") as f:
            f.write(FAKE_ZENITY)
        os.chmod(os.path.join(self.fake, "zenity"), 0o755)
        self.keys = os.path.join(self.tmp, "мої ключі")
        pki = Pki(os.path.join(self.tmp, "pki"))
        pki.ca("ca")
        self.serial = pki.user("olha", "ca", "--drfo", "9090909090")
        os.makedirs(self.keys)
        shutil.copy(pki.path("olha.cer"), self.keys)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def env(self, display):
        env = {"PATH": self.fake + ":" + os.environ["PATH"], "ZK_FAKE_ZENITY_DIR": self.tmp,
               "ZK_FAKE_ZENITY_CHOICE": self.keys}
        if display:
            # GTK is opened to try the display; sanitizer builds would count
            # its process-lifetime allocations as leaks at exit.
            env.update({"DISPLAY": display, "ASAN_OPTIONS": "detect_leaks=0"})
        return env

    def test_the_command_answers_at_once_and_the_choice_is_kept(self):
        # A display that cannot be opened: no tray icon, but dialogs are offered.
        with Service(env=self.env(":999")) as svc:
            self.assertTrue(svc.wait_for_log("No tray icon: "))
            self.assertEqual(svc.post(command="GET_CERT_FILES").data.findall("Cert"), [])
            started = time.monotonic()
            self.assertEqual(svc.post(command="SELECT_KEY_FOLDER").code, 0)
            self.assertLess(time.monotonic() - started, 2)  # before the chooser closed
            self.assertIsNone(kept_folder(svc))
            self.assertEqual(wait_for(lambda: kept_folder(svc)), self.keys)
            with open(os.path.join(self.tmp, "args")) as f:
                self.assertEqual(f.read().splitlines(),
                                 ["--file-selection", "--directory", "--title=Каталог з ключами"])
            # The list was invalidated: the folder's certificate is listed.
            serials = [c.get("Serial") for c in svc.post(command="GET_CERT_FILES").data.iter("Cert")]
            self.assertEqual(serials, [self.serial])
        # A start reads the folder back (blanks cut) and the chooser offers it first.
        os.remove(os.path.join(self.tmp, "args"))
        with Service(env=self.env(":999"), start=False) as svc3:
            with open(svc3.path("Params.ini"), "w", encoding="utf-8") as f:
                f.write("[common]\nUsrCertPath= %s \n" % self.keys)
            svc3.start()
            self.assertEqual([c.get("Serial") for c in svc3.post(command="GET_CERT_FILES").data.iter("Cert")],
                             [self.serial])
            self.assertEqual(svc3.post(command="SELECT_KEY_FOLDER").code, 0)
            args = wait_for(lambda: read_lines(os.path.join(self.tmp, "args")))
            self.assertEqual(args[-1], "--filename=" + self.keys + "/")

    def test_without_a_desktop_nothing_opens(self):
        with Service(env=self.env(None)) as svc:
            self.assertTrue(svc.wait_for_log("No tray icon: no desktop session"))
            self.assertEqual(svc.post(command="SELECT_KEY_FOLDER").code, 0)
            time.sleep(1)
            self.assertFalse(os.path.exists(os.path.join(self.tmp, "args")))
            self.assertIsNone(kept_folder(svc))


def indicator_missing():
    for tool in ("Xvfb", "trayer", "xdotool", "xwd"):
        if not shutil.which(tool):
            return tool + " is not installed"
    try:
        ctypes.CDLL("libayatana-appindicator3.so.1")
    except OSError:
        return "libayatana-appindicator3 is not installed"
    return None


@unittest.skipIf(indicator_missing(), indicator_missing())
class DesktopTray(unittest.TestCase):
    """A virtual screen with a system tray, the real icon clicked with xdotool."""

    def setUp(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "480x320x24", "-nolisten", "tcp"],
                                     pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        self.xenv = dict(os.environ, DISPLAY=self.display)
        self.trayer = subprocess.Popen(["trayer", "--edge", "top", "--align", "left", "--widthtype", "request",
                                        "--height", "32", "--transparent", "false", "--tint", "0xffffff"],
                                       env=self.xenv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.makedirs(ARTIFACTS, exist_ok=True)

    def tearDown(self):
        for p in (self.trayer, self.xvfb):
            p.terminate()
            p.wait(10)

    def xdotool(self, *args):
        subprocess.run(["xdotool"] + list(args), env=self.xenv, check=True, capture_output=True)

    def window(self, name):
        r = subprocess.run(["xdotool", "search", "--name", name], env=self.xenv, capture_output=True, text=True)
        return r.stdout.split()

    def shot(self, name):
        image = screenshot.grab(self.display)
        image.save_png(os.path.join(ARTIFACTS, name))
        return image

    def open_menu(self, icon):
        x, y = (icon[0] + icon[2]) // 2, (icon[1] + icon[3]) // 2
        before = self.shot("tray.png")
        self.xdotool("mousemove", str(x), str(y), "click", "3")
        # The menu is drawn below the icon: the screen changes there.
        return wait_for(lambda: self.shot("tray-menu.png").rows[icon[3] + 40] != before.rows[icon[3] + 40], 10)

    def test_icon_menu_about_and_exit(self):
        # ASan's leak report at exit would count GTK's process-lifetime allocations.
        env = {"DISPLAY": self.display, "ASAN_OPTIONS": "detect_leaks=0"}
        with Service(env=env, settings={"AutoUpdate": 0}) as svc:
            self.assertTrue(svc.wait_for_log("Tray icon shown"), svc.log_text()[-2000:])
            icon = wait_for(lambda: self.shot("tray.png").find(ICON_YELLOW), 15)
            self.assertIsNotNone(icon, "the icon is not on the screen")

            self.assertTrue(self.open_menu(icon), "the menu did not open")
            self.xdotool("key", "Down", "Return")  # the first item: "Про програму..."
            self.assertTrue(wait_for(lambda: self.window("Про програму"), 15), "no about box")
            self.shot("tray-about.png")

            self.assertTrue(self.open_menu(icon), "the menu did not open again")
            self.xdotool("key", "Up", "Return")  # the last item: "Вихід"
            self.assertEqual(svc.proc.wait(30), 0)
            self.assertTrue(svc.wait_for_log("Stopped"))
            self.assertFalse(self.window("Про програму"))  # the open about box went with it


if __name__ == "__main__":
    unittest.main()
