# The two commands of the quick start, `make demo` and `make test`, and the
# one CI runs, `make check`.
BUILD  ?= build
# The interpreter that builds, tests and benchmarks: Debian's, for which
# scripts/install-deps installs the packages, unless PYTHON names another
# (any CPython from 3.8 on that has them). Exported, so that the scripts below
# run the same one.
PYTHON ?= /usr/bin/python3
export PYTHON
CMAKE_FLAGS ?=

.PHONY: deps build demo test check test-debug-python test-aarch64 bench wheel clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS) > /dev/null
	@cmake --build $(BUILD)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

# A contributor's command, a few minutes on a warm machine: the GoogleTest
# and Python suites (ctest), the static checks, and that the README's
# benchmark table is the one the latest recorded run gives.
test: build
	ctest --test-dir $(BUILD) --output-on-failure
	scripts/static-checks $(BUILD)
	$(PYTHON) bench/report.py --check

# What CI runs (.ci/run): `make test`, then the Python suite under the
# address and undefined-behaviour sanitizers and the GoogleTest programs
# under the thread sanitizer, valgrind, the Python suite under the debug
# interpreter, and on x86-64 the aarch64 build's suites under emulation.
check: test
	scripts/sanitize
	scripts/valgrind-check $(BUILD)
	scripts/test-debug-python $(BUILD)
	@if [ "$$(uname -m)" = x86_64 ]; then scripts/test-aarch64; fi

# The Python suite under Debian's debug interpreter, against the module in
# $(BUILD) (scripts/test-debug-python).
test-debug-python: build
	scripts/test-debug-python $(BUILD)

# The same suites on aarch64 Linux: a cross build run under qemu-aarch64,
# from an arm64 Debian root made in build-aarch64/root (scripts/test-aarch64).
test-aarch64:
	scripts/test-aarch64

wheel: build
	KESTRIX_BUILD_DIR=$(BUILD) $(PYTHON) -m build --no-isolation --outdir dist

# Google Benchmark for the core, then the side-by-side runs against numpy
# (products, interchange, pickling, Dask): each writes its run to a file of
# its own in bench/results/ (bench/record.py); then the README's benchmark
# table is written from the latest run (bench/report.py).
bench: build
	$(PYTHON) bench/record.py google-benchmark --build $(BUILD)
	$(PYTHON) bench/bench_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/interop_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/shapes_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/few_rows_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/products_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/large_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/shared_core.py --build $(BUILD)
	$(PYTHON) bench/oversubscription.py --build $(BUILD) --large
	$(PYTHON) bench/pickle_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/dask_vs_numpy.py --build $(BUILD)
	$(PYTHON) bench/report.py

clean:
	rm -rf $(BUILD) build-asan build-tsan build-aarch64 dist
