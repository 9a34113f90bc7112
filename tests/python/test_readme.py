"""Every code block of README.md runs, and what it shows is what it prints.

pycon blocks are Python sessions, checked by doctest in one child process in
README order (later blocks use names from earlier ones). console blocks are
shell sessions: each "$ " line runs in a copy of the source tree and must
print exactly the lines shown under it (when any are shown); they run in
order, so the environments they create serve the blocks after them. sh
blocks are commands without output; `make` targets are only dry-run, since
`make test` is the run that executes this file.
"""
import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import EMULATOR, MODULE_DIR, ROOT, SLOWDOWN

README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
KNOWN = {"pycon", "console", "sh"}


def blocks(language=None):
    """(language, text, line) of every fenced block, in order."""
    text = README.read_text()
    found = [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1)
             for m in FENCE.finditer(text)]
    return [b for b in found if language is None or b[0] == language]


def commands(block_text):
    """(command, expected output lines) of a console block."""
    steps = []
    for line in block_text.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            assert steps, f"output before the first command: {line!r}"
            steps[-1][1].append(line)
    return steps


def test_every_block_has_a_checked_language():
    assert blocks(), "README.md has no code blocks"
    assert [(lang, line) for lang, _, line in blocks() if lang not in KNOWN] == []


# Runs every pycon block as one doctest each, sharing their names.
DOCTEST_CHILD = r"""
import __main__, doctest, sys
# As at an interactive prompt, the session has no file: spawned workers (a
# process pool's, a Dask cluster's) must not try to run it again.
del __main__.__file__
parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
names = {}
for line, text in BLOCKS:
    test = parser.get_doctest(text, names, f"README.md:{line}", "README.md", line)
    runner.run(test, clear_globs=False)
    names = test.globs
result = runner.summarize(verbose=False)
print("attempted", result.attempted, "failed", result.failed)
"""


@pytest.mark.parametrize("workers", ["1", "3"])
def test_python_sessions_print_what_they_show(run_child, workers):
    # The shown values hold for any worker count, so two different counts
    # must agree with them.
    sessions = [(line, text) for _, text, line in blocks("pycon")]
    if EMULATOR:
        # The emulated root has no Dask, torch, joblib or scikit-learn, and
        # qemu-user cannot start threads in a forked child of a threaded process.
        sessions = [(line, text) for line, text in sessions
                    if not any(word in text for word in ("dask", "client", "fork", "torch",
                                                         "joblib", "sklearn"))]
    code = f"BLOCKS = {sessions!r}\n" + DOCTEST_CHILD
    out = run_child(code, env={"RAYON_NUM_THREADS": workers}).stdout
    examples = sum(text.count("\n>>> ") + text.startswith(">>> ") for _, text in sessions)
    assert out.splitlines()[-1] == f"attempted {examples} failed 0", out


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """A copy of the source tree and a shell environment like a fresh machine's:
    Debian's python3 first on PATH, no pool variables, nothing on PYTHONPATH."""
    tree = tmp_path_factory.mktemp("readme") / "kestrix"
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(
        ".git", "build*", "dist", "*.egg-info", "__pycache__", ".mypy_cache", ".venv"))
    bin_dir = tree.parent / "bin"
    bin_dir.mkdir()
    (bin_dir / "python3").symlink_to(sys.executable)
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("RAYON_", "KESTRIX_", "PYTHON", "VIRTUAL_ENV"))}
    env["PATH"] = f"{bin_dir}:/usr/bin:/bin"
    if (MODULE_DIR / "CMakeCache.txt").is_file():
        env["KESTRIX_BUILD_DIR"] = str(MODULE_DIR)  # reuse the build under test
    return tree, env


def run_shell(command, cwd, env):
    proc = subprocess.run(["sh", "-c", command], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300 * SLOWDOWN)
    assert proc.returncode == 0, f"{command}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


SHELL_BLOCKS = [b for b in blocks() if b[0] in ("console", "sh")]


@pytest.mark.parametrize("language, text, line", SHELL_BLOCKS,
                         ids=[f"line{b[2]}" for b in SHELL_BLOCKS])
def test_shell_sessions_run_and_print_what_they_show(scratch, language, text, line):
    tree, env = scratch
    if language == "sh":
        steps = [(re.sub(r"\s+#.*", "", cmd).strip(), []) for cmd in text.splitlines()]
    else:
        steps = commands(text)
    # The sessions show an x86-64 machine; a wheel built here carries its own.
    here = f"linux_{platform.machine()}"
    for command, shown in steps:
        command, shown = command.replace("linux_x86_64", here), [
            s.replace("linux_x86_64", here) for s in shown]
        if EMULATOR and "/proc/self/task" in command:
            continue  # the emulator's own threads are listed as the process's too
        if command.startswith("make "):
            run_shell(f"make -n {command[5:]}", ROOT, env)
            continue
        out = run_shell(command, tree, env)
        if shown:
            assert out.splitlines() == shown, f"README.md:{line}: {command}"
