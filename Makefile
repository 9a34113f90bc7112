# The two commands of the quick start: `make demo` and `make test`.
BUILD  ?= build
PYTHON ?= /usr/bin/python3
CMAKE_FLAGS ?=

.PHONY: deps build demo test bench clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(PYTHON) $(CMAKE_FLAGS) > /dev/null
	@cmake --build $(BUILD)

demo: build
	PYTHONPATH=$(BUILD) $(PYTHON) examples/demo.py

test: build
	ctest --test-dir $(BUILD) --output-on-failure

clean:
	rm -rf $(BUILD)
