"""Every call of the shared table, many times over: memory and references stay put."""
import sys

import pytest

from calls import CALLS, SHARED
from conftest import EMULATOR, SANITIZED, assert_flat


def call(run):
    try:
        return run()
    except BaseException as e:  # the contained failure derives from BaseException
        return e


# A huge length hint reserves half a GiB, untouched. Natively that costs
# nothing; qemu-user keeps host memory for every such reservation (a thousand
# exhaust the host), and under the address sanitizer each takes about 100 ms
# (16 µs for a short hint), so the rounds here would take over an hour. Both
# still run these calls once, in the outcome checks.
HUGE_RESERVATIONS = {"length hint 2**40", "length hint 2**62"}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_call_keeps_memory_and_references_flat(name, capfd):
    if (EMULATOR or SANITIZED) and name in HUGE_RESERVATIONS:
        pytest.skip("a huge reservation is costly only under emulation or a sanitizer")
    run = CALLS[name].run
    # A leak of one 64-float buffer per call would be 2.5 MiB a round here.
    assert_flat(lambda: call(run), SHARED)
    capfd.readouterr()


@pytest.mark.parametrize("name", sorted(n for n, c in CALLS.items()
                                        if c.outcome[0] == "ok" and c.outcome[1] is not None))
def test_results_are_owned_by_the_caller_alone(name):
    result = CALLS[name].run()
    # One reference from `result` and one for the call's argument.
    assert sys.getrefcount(result) == 2
    if isinstance(result, (list, tuple)):
        assert all(sys.getrefcount(result[i]) == 2 for i in range(len(result))
                   if isinstance(result[i], float))
