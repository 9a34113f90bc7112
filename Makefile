# The two commands of the quick start: `make demo` and `make test`.
BUILD  ?= build
PYTHON ?= /usr/bin/python3
CMAKE_FLAGS ?=

.PHONY: deps build demo test test-aarch64 bench wheel clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS) > /dev/null
	@cmake --build $(BUILD)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

# Everything: the unit and Python suites, the static checks, the same suites
# again under the address, undefined-behaviour and thread sanitizers, and on
# x86-64 the aarch64 build's suites under emulation with the digests of both
# builds compared (test-aarch64).
test: build
	ctest --test-dir $(BUILD) --output-on-failure
	scripts/static-checks $(BUILD)
	scripts/sanitize
	scripts/valgrind-check $(BUILD)
	@if [ "$$(uname -m)" = x86_64 ]; then scripts/test-aarch64; fi

# The same suites on aarch64 Linux: a cross build run under qemu-aarch64,
# from an arm64 Debian root made in build-aarch64/root (scripts/test-aarch64).
test-aarch64:
	scripts/test-aarch64

wheel: build
	KESTRIX_BUILD_DIR=$(BUILD) $(PYTHON) -m build --no-isolation --outdir dist

# Google Benchmark for the core, then the side-by-side runs against numpy
# (products, interchange, pickling, Dask); results land in bench/results/.
bench: build
	@mkdir -p bench/results
	@for b in $(BUILD)/bench/*_bench; do \
		echo "== $$(basename $$b)"; \
		$$b --benchmark_min_time=0.1 --benchmark_out_format=json \
			--benchmark_out=bench/results/$$(basename $$b).json || exit 1; \
	done
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

clean:
	rm -rf $(BUILD) build-asan build-tsan build-aarch64 dist
