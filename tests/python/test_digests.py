"""The seeded results of digests.py, against the digests an x86-64 build
made: every build, on every processor, must compute the same bits."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import MODULE_DIR, POOL_VARS, SLOWDOWN

HERE = Path(__file__).resolve().parent
EXPECTED = dict(line.split() for line in (HERE / "expected_digests.txt").read_text().splitlines())


@pytest.fixture(scope="module")
def computed():
    env = {k: v for k, v in os.environ.items() if k not in POOL_VARS}
    proc = subprocess.run([sys.executable, str(HERE / "digests.py"), "--build", str(MODULE_DIR)],
                          env=env, capture_output=True, text=True, timeout=600 * SLOWDOWN)
    assert proc.returncode == 0, proc.stderr
    return [tuple(line.split()) for line in proc.stdout.splitlines()]


def test_the_same_results_in_the_same_order(computed):
    assert [name for name, _ in computed] == list(EXPECTED)


@pytest.mark.parametrize("name", EXPECTED)
def test_digest(computed, name):
    assert dict(computed).get(name) == EXPECTED[name]
