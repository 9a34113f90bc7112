"""pytest plugin for runs under AddressSanitizer (loaded by scripts/sanitize).

Leak checking is exact for everything the module allocates; what is kept out of
it here is only what other code leaves behind on purpose when the process ends.
"""
import ctypes
import os

import pytest

SANITIZER = os.environ.get("KESTRIX_SANITIZED", "")

if "address" in SANITIZER:
    _runtime = ctypes.CDLL(None)
    # numpy's extension modules keep their import-time objects until the
    # process dies; those allocations are numpy's, never the module's.
    _runtime.__lsan_disable()
    try:
        import numpy  # noqa: F401
        import numpy.random  # noqa: F401
    finally:
        _runtime.__lsan_enable()


def pytest_collection_modifyitems(config, items):
    if not SANITIZER:
        return
    # The runtime is preloaded into every child; other interpreters than
    # /usr/bin/python3 leak their interned strings at exit by design.
    skip = pytest.mark.skip(reason="foreign interpreter under a sanitizer runtime")
    # Packaging and the README's shell sessions run the compiler, pip and the
    # shell, which would carry the preloaded runtime and be checked instead of
    # the module; the plain run of the suite covers them.
    toolchain = pytest.mark.skip(reason="runs the toolchain, not the module, under the runtime")
    for item in items:
        if item.path.name in ("test_packaging.py", "test_readme.py"):
            item.add_marker(toolchain)
            continue
        callspec = getattr(item, "callspec", None)
        python = callspec.params.get("python") if callspec else None
        if python is not None and os.path.realpath(python) != os.path.realpath("/usr/bin/python3"):
            item.add_marker(skip)
