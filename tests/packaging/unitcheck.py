"""systemd-analyze verify of a user unit, in a home and runtime folder of the
test's own. Skipped (with the reason) where systemd-analyze is not installed."""

import os
import shutil
import subprocess
import tempfile


def verify_unit(case, unit, home):
    tool = shutil.which("systemd-analyze")
    if not tool:
        case.skipTest("systemd-analyze is not installed (Debian package systemd): the unit was not verified")
    with tempfile.TemporaryDirectory() as runtime:
        os.chmod(runtime, 0o700)
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime)
        r = subprocess.run([tool, "--user", "verify", unit], env=env, capture_output=True, text=True, timeout=60)
    # Unknown or misspelt settings are only warned about: any message fails the check.
    case.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
