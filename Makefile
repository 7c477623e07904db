# Development entry points. `make test` and `make demo` provision whatever is
# missing (CPython 3.13 with headers, pytest, hypothesis) on first use.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# The interpreter chosen (or provisioned) for this checkout; see scripts/.
PYTHON_FILE := $(BUILD_DIR)/python-path
PY = $$(cat $(PYTHON_FILE))

.PHONY: all build test test-core test-python demo bench clean python

all: build

python:
	@mkdir -p $(BUILD_DIR)
	@scripts/ensure-build-tools.sh
	@scripts/provision-python.sh | tail -n 1 > $(PYTHON_FILE).new
	@mv $(PYTHON_FILE).new $(PYTHON_FILE)

build: python
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	    -DPython_EXECUTABLE=$(PY) $(CMAKE_ARGS) > $(BUILD_DIR)/configure.log \
	    || { cat $(BUILD_DIR)/configure.log; exit 1; }
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test-core: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) -m pytest tests/python

test: test-core test-python

# Builds a wheel, installs it into a fresh venv and runs the pytest suite there.
.PHONY: test-wheel
test: test-wheel
test-wheel: python
	JOBS=$(JOBS) scripts/test-wheel.sh $(PY)

demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) examples/demo.py

# Benchmarks: a Release build of their own, timed side by side in one run.
BENCH_DIR := $(BUILD_DIR)-bench
bench: python
	@mkdir -p $(BENCH_DIR)
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DVELMORQUIST_BENCH=ON \
	    -DVELMORQUIST_TESTS=OFF -DVELMORQUIST_COPY_TO_CHECKOUT=OFF \
	    -DPython_EXECUTABLE=$(PY) > $(BENCH_DIR)/configure.log \
	    || { cat $(BENCH_DIR)/configure.log; exit 1; }
	@cmake --build $(BENCH_DIR) -j $(JOBS)
	$(BENCH_DIR)/bench/core_bench --benchmark_min_time=0.2 \
	    --benchmark_out=$(BUILD_DIR)/bench-core.json --benchmark_out_format=json
	PYTHONPATH=$(CURDIR)/$(BENCH_DIR)/python $(PY) bench/bench_calls.py \
	    --floor-dir $(BENCH_DIR)/bench --core-json $(BUILD_DIR)/bench-core.json \
	    --json $(BUILD_DIR)/bench.json

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR) $(BENCH_DIR).log python/velmorquist_proxy/_native*.so
