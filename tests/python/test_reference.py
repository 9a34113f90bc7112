"""The models in reference.py that restate a rule of the core are checked
against the core's own statement of it."""
import ast
import subprocess

import pytest

from conftest import EMULATOR, MODULE_DIR
from reference import fixed_tree

DUMP = MODULE_DIR / "tests" / "split_tree_dump"


@pytest.mark.skipif(not DUMP.is_file(), reason="the C++ test tools are not built here")
@pytest.mark.parametrize("workers", [1, 2, 3, 4, 8, 9])
def test_the_split_model_is_the_cores_split_rule(workers):
    lines = subprocess.run([*EMULATOR, str(DUMP), "300", str(workers)], capture_output=True,
                           text=True,
                           check=True).stdout.splitlines()
    assert len(lines) == 301
    for n, line in enumerate(lines):
        assert fixed_tree(n, workers) == ast.literal_eval(line), n

