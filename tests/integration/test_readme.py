"""README's examples, run as written against a freshly started service: every
indented block after a "<!-- run -->" line, in order, in one shell (so what one
block defines, the next one uses), from a folder laid out like the source tree
after a build (build/bin: a fresh program folder with the demo set; build/tools
and build/tests: the build's). "<!-- run: service-start -->" and
"<!-- run: service-stop -->" stand for what the prose asks of the reader:
starting the service in another terminal (`bash tools/run.sh`), and ending it.
tools/run.sh itself builds before it runs; here a stand-in only runs the
program folder's service (the build is what this test is run from).

Every answer an example prints must carry code 0, and every command must
succeed, so an example that stops working fails the suite."""

import contextlib
import os
import re
import signal
import socket
import subprocess
import unittest

from zkservice import BUILD_BIN, REPO, Service

README = os.path.join(REPO, "README.md")
DEFAULT_PORTS = (19744, 20026)

PRELUDE = r"""set -euo pipefail
trap 'jobs -p | xargs -r kill 2>/dev/null || true' EXIT
zk_service_start() {
    bash tools/run.sh > service.out 2>&1 &
    ZK_SERVICE=$!
    for _ in $(seq 600); do
        curl -s -o /dev/null http://127.0.0.1:%(port)d/empty.html && return 0
        sleep 0.1
    done
    cat service.out
    return 1
}
zk_service_stop() { kill "$ZK_SERVICE"; wait "$ZK_SERVICE" || true; }
"""

STAND_IN_RUN = """#!/usr/bin/env bash
# The test's stand-in for tools/run.sh: the program folder is built already.
cd "$(dirname "$0")/.."
exec build/bin/ZelkorH "$@"
"""


def examples(text):
    """[(line number, kind, code)]: kind "block" with its code, or a directive."""
    lines = text.split("\n")
    out = []
    i = 0
    while i < len(lines):
        m = re.match(r"^<!-- run(?::\s*(\S+))?\s*-->$", lines[i].strip())
        i += 1
        if not m:
            continue
        if m.group(1):
            out.append((i, m.group(1), ""))
            continue
        while i < len(lines) and not lines[i].strip():
            i += 1
        start, block = i + 1, []
        while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
            block.append(lines[i][4:])
            i += 1
        out.append((start, "block", "\n".join(block).rstrip() + "\n"))
    return out


def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


class ReadmeExamples(unittest.TestCase):
    def test_every_marked_example_runs_as_written(self):
        with open(README, encoding="utf-8") as f:
            found = examples(f.read())
        self.assertGreaterEqual(sum(kind == "block" for _, kind, _ in found), 7, "the examples are marked")
        self.assertEqual({kind for _, kind, _ in found}, {"block", "service-start", "service-stop"})
        # The service's own ports as written, unless something here holds them.
        ports = DEFAULT_PORTS if all(port_free(p) for p in DEFAULT_PORTS) else (None, None)
        svc = Service(start=False, demo=True, port=ports[0], ports=ports[1], settings={"AutoUpdate": 0})
        try:
            tree = os.path.join(svc.work, "tree")
            os.makedirs(os.path.join(tree, "build"))
            os.makedirs(os.path.join(tree, "tools"))
            os.symlink(svc.folder, os.path.join(tree, "build", "bin"))
            build = os.path.dirname(os.path.abspath(BUILD_BIN))
            for name in ("tools", "tests"):
                os.symlink(os.path.join(build, name), os.path.join(tree, "build", name))
            with open(os.path.join(tree, "tools", "run.sh"), "w") as f:
                f.write(STAND_IN_RUN)
            script = [PRELUDE % {"port": svc.port}]
            for line, kind, code in found:
                if kind == "block":
                    if svc.port != DEFAULT_PORTS[0]:
                        code = code.replace("127.0.0.1:%d" % DEFAULT_PORTS[0], "127.0.0.1:%d" % svc.port)
                    script.append('echo "### README line %d" >&2\n%s' % (line, code))
                else:
                    script.append("zk_%s\n" % kind.replace("service-", "service_"))
            proc = subprocess.Popen(["bash", "-c", "".join(script)], cwd=tree, env=svc.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, start_new_session=True)
            try:
                stdout, stderr = proc.communicate(timeout=600)
            finally:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(proc.pid, signal.SIGKILL)  # whatever an example left running
            out, err = stdout.decode("utf-8", "replace"), stderr.decode("utf-8", "replace")
            self.assertEqual(proc.returncode, 0, "an example failed:\n%s\n%s" % (err[-4000:], out[-2000:]))
            codes = re.findall(r"<Code>(-?\d+)</Code>", out)
            self.assertTrue(codes)
            self.assertEqual(set(codes), {"0"}, out[-4000:])
        finally:
            svc.cleanup()
