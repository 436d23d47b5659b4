"""The README and the guides in docs/ as a reader meets them.

Every relative link leads to a file and, with #, to a heading of it; every
example runs: C and C++ blocks are compiled against this build's library and
run against a fresh quenta-sim, console blocks are transcripts whose commands
run in one shell and must print the lines shown, file= blocks are written
where they say, python blocks are files of python/examples/ (run by the Python
tests). Any other block says why it is not run, in an HTML comment
"<!-- not run: REASON -->" on the line before its fence. The blocks run side
by side, each in a scratch folder of its own, as most of their time is the
module's guard periods.

    docs_test.py SOURCE_DIR BUILD_DIR
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

SOURCE = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent
BUILD = Path(sys.argv[2]) if len(sys.argv) > 2 else SOURCE / "build" / "plain"
PAGES = [SOURCE / "README.md"] + sorted((SOURCE / "docs").glob("*.md"))

FENCE = re.compile(r"^```(\S*)(.*)$")
NOT_RUN = re.compile(r"^<!-- not run: \S.* -->$")
LINK = re.compile(r"\]\(([^)\s]+)\)")


class Block:
    def __init__(self, page, line, language, attributes, text):
        self.name = f"{page.relative_to(SOURCE)}:{line}"
        self.language, self.text = language, text
        self.attributes = dict(a.split("=", 1) for a in attributes.split() if "=" in a)


def blocks(page):
    """The page's blocks but those marked as not run."""
    lines = page.read_text().split("\n")
    found, at = [], 0
    while at < len(lines):
        match = FENCE.match(lines[at])
        if not match:
            at += 1
            continue
        end = lines.index("```", at + 1)
        if at == 0 or not NOT_RUN.match(lines[at - 1]):
            text = "\n".join(lines[at + 1 : end]) + "\n"
            found.append(Block(page, at + 1, match.group(1), match.group(2), text))
        at = end + 1
    return found


def anchors(page):
    """GitHub's anchors of the page's headings."""
    headings = re.findall(r"^#+ (.*)$", page.read_text(), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


class Scratch:
    """A folder that stands for /tmp in the examples, with the tools first on PATH."""

    def __init__(self):
        self.dir = Path(tempfile.mkdtemp(prefix="quenta-docs-"))
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("QUENTA_PORT_COM8", "QUENTA_LIBRARY")}
        self.env.update(PATH=f"{BUILD / 'tools'}:{os.environ['PATH']}",
                        QUENTA_STORAGE_ROOT=str(self.dir / "root"))

    def local(self, text):
        return text.replace("/tmp/", f"{self.dir}/").replace("build/plain/", f"{BUILD}/")


def transcript(text):
    """[(command, expected lines)] of a console block."""
    steps = []
    for line in text.rstrip("\n").split("\n"):
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    return steps


def matches(expected, actual):
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[at:]) for at in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


def run_transcript(steps, scratch):
    """The commands in one bash, in the scratch folder: each one's output (both
    streams) by its index. A simulator started in the background is waited for
    as a reader would: until its --link is there."""
    mark = "@@quenta-docs-step@@"
    lines = ["exec 2>&1", f"cd {scratch.dir}"]
    for at, (command, _) in enumerate(steps):
        lines.append(f"echo {mark}{at}")
        lines.append(scratch.local(command))
        for link in re.findall(r"--link (\S+)", command):
            path = scratch.local(link)
            lines.append(f"for _ in $(seq 200); do [ -e {path} ] && break; sleep 0.05; done")
    process = subprocess.Popen(["bash", "-c", "\n".join(lines)], stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, env=scratch.env, text=True,
                               start_new_session=True)
    try:
        out, _ = process.communicate(timeout=240)
    finally:
        # Whatever the transcript left running (a simulator not killed).
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()
    outputs, current = {}, None
    for line in out.split("\n")[:-1]:
        if line.startswith(mark):
            current = int(line[len(mark):])
            outputs[current] = []
        elif current is not None:
            outputs[current].append(line)
    return outputs


def compile_and_run(block, scratch):
    """Builds the C or C++ example against the build's library and runs it
    against a simulator in command mode: what went wrong, or None."""
    (scratch.dir / f"example.{block.language}").write_text(block.text)
    compiler = "cc -std=c11" if block.language == "c" else "c++ -std=c++17"
    # The tree's paths by variable: a checkout under /tmp must not be moved
    # into the scratch folder with the examples' own /tmp paths.
    scratch.env.update(DOCS_INCLUDE=str(SOURCE / "include"), DOCS_BUILD=str(BUILD))
    steps = [(f'{compiler} -Wall -Werror -I "$DOCS_INCLUDE" example.{block.language} -o example'
              ' -L "$DOCS_BUILD" -lquenta -Wl,-rpath,"$DOCS_BUILD" || echo failed', []),
             ("quenta-sim --link /tmp/com8 --mode command --baud 921600 --rtscts --scan-ms 300"
              " --quiet &", []),
             ('QUENTA_PORT_COM8=/tmp/com8 ./example; echo "exit $?"', []), ("kill %1", [])]
    outputs = run_transcript(steps, scratch)
    return None if outputs.get(2, [""])[-1:] == ["exit 0"] else str(outputs)


class LinksTest(unittest.TestCase):
    def test_every_relative_link_leads_somewhere(self):
        for page in PAGES:
            prose = re.sub(r"^```.*?^```$", "", page.read_text(), flags=re.S | re.M)
            for target in LINK.findall(prose):
                if re.match(r"^[a-z]+:", target):
                    continue
                with self.subTest(page=page.name, target=target):
                    path, _, anchor = target.partition("#")
                    resolved = (page.parent / path).resolve() if path else page
                    self.assertTrue(resolved.exists(), "no such file")
                    if anchor:
                        self.assertIn(anchor, anchors(resolved), "no such heading")
        # The README is the way in to every guide.
        readme = PAGES[0].read_text()
        for page in PAGES[1:]:
            self.assertIn(f"](docs/{page.name})", readme, page.name)


def check(block, files):
    """What is wrong with a block, or None."""
    if block.language == "python":
        examples = {path.read_text() for path in (SOURCE / "python" / "examples").glob("*.py")}
        return None if block.text in examples else "not a file of python/examples/"
    if block.language not in ("c", "cpp", "console"):
        return None if "file" in block.attributes else \
            f"a {block.language or 'plain'} block: run it or mark it"
    scratch = Scratch()  # a folder of its own: nothing left by another example
    try:
        if block.language != "console":
            return compile_and_run(block, scratch)
        for file in files:
            Path(scratch.local(file.attributes["file"])).write_text(file.text)
        steps = transcript(block.text)
        outputs = run_transcript(steps, scratch)
        for at, (command, expected) in enumerate(steps):
            expected, actual = [scratch.local(line) for line in expected], outputs.get(at, [])
            if not matches(expected, actual):
                return f"$ {command}\nexpected {expected}\ngot {actual}"
        return None
    finally:
        shutil.rmtree(scratch.dir, ignore_errors=True)


class ExamplesTest(unittest.TestCase):
    def test_every_block_runs_or_says_why_not(self):
        jobs = []
        for page in PAGES:
            page_blocks = blocks(page)
            files = [block for block in page_blocks if "file" in block.attributes]
            jobs += [(block, files) for block in page_blocks]
        with ThreadPoolExecutor(max_workers=4) as pool:
            problems = list(pool.map(lambda job: check(*job), jobs))
        for (block, _), problem in zip(jobs, problems):
            with self.subTest(block=block.name):
                self.assertIsNone(problem)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
