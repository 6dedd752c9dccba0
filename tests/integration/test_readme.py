"""The examples of README.md and docs/*.md, run as written against a freshly
started service: every indented block after a "<!-- run -->" line, README's
first and then those of docs/*.md in file name order (a reader takes the
README's tour before the documents, which build on it), in one shell (so what
one block defines, the next one uses), from a folder laid out like the source
tree after a build (build/bin: a fresh program folder with the demo set;
build/tools and build/tests: the build's). "<!-- run: service-start -->" and
"<!-- run: service-stop -->" mark what the prose asks of the reader: starting
the service in another terminal (`bash tools/run.sh`), and ending it.
tools/run.sh itself builds before it runs; here the tree's tools/run.sh only
runs the program folder's service (the build is what this test is run from).

Every answer an example prints must carry code 0, and every command must
succeed, so an example that stops working fails the suite.

The relative links of README.md and docs/*.md, and every mention of a
docs/*.md file in the sources, must name a file that exists, and a link's
"#anchor" a heading of that file."""

import contextlib
import glob
import os
import re
import signal
import socket
import subprocess
import tempfile
import unittest

from zkservice import BUILD_BIN, REPO, Service

README = os.path.join(REPO, "README.md")
DOCS = os.path.join(REPO, "docs")
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
# tools/run.sh of the test's tree: the program folder is built already.
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


def documents():
    """README.md, then docs/*.md in name order: the order their examples run in."""
    return [README] + sorted(glob.glob(os.path.join(DOCS, "*.md")))


LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^ {0,3}```.*?^ {0,3}```[^\n]*$", re.M | re.S)
CODE_SPAN = re.compile(r"`[^`\n]*`")
DOCS_MENTION = re.compile(r"(?<![\w./-])docs/[\w.-]+\.md\b")


def slug(heading):
    """The anchor a heading gets: lower case, punctuation dropped, blanks as "-"."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(text):
    """The anchors of a Markdown text's headings (a repeated one as "-1", "-2", ...)."""
    found, seen = set(), {}
    for line in FENCE.sub("", text).split("\n"):
        m = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        base = slug(m.group(1))
        n = seen.get(base, 0)
        seen[base] = n + 1
        found.add(base if n == 0 else "%s-%d" % (base, n))
    return found


def dangling_links(path):
    """The relative links of a Markdown file that name no file, or no heading of it."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    prose = CODE_SPAN.sub("", FENCE.sub("", text))
    bad = []
    for target in LINK.findall(prose):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
            continue  # https:, mailto: and the like
        name, _, anchor = target.partition("#")
        file = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if not os.path.exists(file):
            bad.append(target)
        elif anchor and file.endswith(".md"):
            with open(file, encoding="utf-8") as f:
                if anchor not in anchors(f.read()):
                    bad.append(target)
    return bad


def source_files():
    """The repository's own text files: no build folders, no installed packages."""
    for root, dirs, files in os.walk(REPO):
        dirs[:] = [d for d in dirs if not (d.startswith(".") or d.startswith("build") or d == "node_modules")]
        for name in files:
            if name.endswith((".md", ".cpp", ".h", ".py", ".sh", ".txt", ".mjs", ".js", ".ts", ".cmake", ".in")):
                yield os.path.join(root, name)


def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


class ReadmeExamples(unittest.TestCase):
    def test_every_marked_example_runs_as_written(self):
        found = []
        for path in documents():
            with open(path, encoding="utf-8") as f:
                found += [(os.path.relpath(path, REPO), line, kind, code) for line, kind, code in examples(f.read())]
        self.assertGreaterEqual(sum(kind == "block" for _, _, kind, _ in found), 9, "the examples are marked")
        self.assertEqual({kind for _, _, kind, _ in found}, {"block", "service-start", "service-stop"})
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
            for doc, line, kind, code in found:
                if kind == "block":
                    if svc.port != DEFAULT_PORTS[0]:
                        code = code.replace("127.0.0.1:%d" % DEFAULT_PORTS[0], "127.0.0.1:%d" % svc.port)
                    script.append('echo "### %s line %d" >&2\n%s' % (doc, line, code))
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


class Links(unittest.TestCase):
    def test_relative_links_name_files_and_headings_that_exist(self):
        for path in documents():
            with self.subTest(document=os.path.relpath(path, REPO)):
                self.assertEqual(dangling_links(path), [])

    def test_docs_mentioned_in_the_sources_exist(self):
        missing = set()
        for path in source_files():
            with open(path, encoding="utf-8", errors="replace") as f:
                for name in DOCS_MENTION.findall(f.read()):
                    if not os.path.exists(os.path.join(REPO, name)):
                        missing.add("%s: %s" % (os.path.relpath(path, REPO), name))
        self.assertEqual(sorted(missing), [])

    def test_the_check_finds_what_dangles(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "other.md"), "w", encoding="utf-8") as f:
                f.write("# Other\n\n## Host settings: `ZelkorH.my`\n\n## Twice\n\n## Twice\n")
            cases = [
                ("[a](other.md)", []),
                ("[a](other.md#host-settings-zelkorhmy)", []),
                ("[a](other.md#twice-1)", []),
                ("[a](#here)", []),
                ("[a](https://example.org/missing.md)", []),
                ("`[a](missing.md)` and\n```\n[a](missing.md)\n```", []),
                ("[a](missing.md)", ["missing.md"]),
                ("[a](other.md#gone)", ["other.md#gone"]),
                ("[a](#gone)", ["#gone"]),
                ("[a](sub/other.md)", ["sub/other.md"]),
            ]
            for text, expected in cases:
                with self.subTest(text=text):
                    path = os.path.join(folder, "this.md")
                    with open(path, "w", encoding="utf-8") as f:
                        f.write("# Here\n\n%s\n" % text)
                    self.assertEqual(dangling_links(path), expected)
