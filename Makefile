# Development entry points. `make test` and `make demo` provision whatever is
# missing (CPython 3.13 with headers, pytest, hypothesis, redis-py, redis-server)
# on first use.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# The interpreter chosen (or provisioned) for this checkout; see scripts/.
PYTHON_FILE := $(BUILD_DIR)/python-path
PY = $$(cat $(PYTHON_FILE))

.PHONY: all build test test-core test-python test-wheel demo bench clean python

all: build

# Every suite: the core and Python tests, the installed wheel, the sanitizer
# and reference-leak runs, and a short fuzzing pass.
test: test-core test-python test-wheel test-asan test-refleak test-fuzz

python:
	@mkdir -p $(BUILD_DIR)
	@scripts/ensure-build-tools.sh build
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
	@scripts/ensure-redis.sh
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) -m pytest tests/python

# Builds a wheel, installs it into a fresh venv and runs the pytest suite there.
test-wheel: python
	@scripts/ensure-redis.sh
	JOBS=$(JOBS) scripts/test-wheel.sh $(PY)

# The proxy server over fake upstreams, then the host-shared state demo.
demo: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) examples/demo_server.py
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) examples/demo_host.py

# The gateway alone, behind a hand-written proxy, over five simulated providers.
.PHONY: demo-gateway
demo-gateway: build
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) examples/demo.py

# The demo as 3 hosts x 2 workers sharing limits through a redis-server of its own.
.PHONY: demo-fleet
demo-fleet: build
	@scripts/ensure-redis.sh
	PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/python $(PY) examples/demo_fleet.py

# Benchmarks: a Release build of their own, timed side by side in one run.
BENCH_DIR := $(BUILD_DIR)-bench
bench: python
	@scripts/ensure-build-tools.sh bench
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
	PYTHONPATH=$(CURDIR)/$(BENCH_DIR)/python $(PY) bench/bench_gateway.py \
	    --json $(BUILD_DIR)/bench.json
	PYTHONPATH=$(CURDIR)/$(BENCH_DIR)/python $(PY) bench/bench_host_state.py
	PYTHONPATH=$(CURDIR)/$(BENCH_DIR)/python $(PY) bench/bench_stream.py --json $(BUILD_DIR)/bench.json
	@scripts/ensure-redis.sh
	PYTHONPATH=$(CURDIR)/$(BENCH_DIR)/python $(PY) bench/bench_fleet.py --json $(BUILD_DIR)/bench.json
	PYTHONPATH=$(CURDIR)/$(BENCH_DIR)/python $(PY) bench/bench_server.py --json $(BUILD_DIR)/bench.json

# ---- Reliability: sanitizers, reference leaks, fuzzing -------------------------
# One ASan + UBSan build against a debug CPython 3.13 (built once into the cache)
# serves two suites: every test under the sanitizers with leak checking, and
# the reference-leak suite, which needs the debug interpreter's counters. The
# fuzz targets are a clang build of their own; `make test` runs each for a
# short fixed number of inputs, `make fuzz` for longer.
ASAN_DIR := $(BUILD_DIR)-asan
FUZZ_DIR := $(BUILD_DIR)-fuzz
DEBUG_PYTHON_FILE := $(ASAN_DIR)/python-path
DEBUG_PY = $$(cat $(DEBUG_PYTHON_FILE))
FUZZ_RUNS ?= 200000
FUZZ_SECONDS ?= 300
FUZZ_CXX ?= clang++-14

.PHONY: test-asan test-refleak test-fuzz fuzz fuzz-build python-debug build-asan

python-debug:
	@mkdir -p $(ASAN_DIR)
	@scripts/ensure-build-tools.sh build
	@scripts/provision-python.sh --debug | tail -n 1 > $(DEBUG_PYTHON_FILE).new
	@mv $(DEBUG_PYTHON_FILE).new $(DEBUG_PYTHON_FILE)

build-asan: python-debug
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
	    -DVELMORQUIST_SANITIZE=ON -DVELMORQUIST_COPY_TO_CHECKOUT=OFF \
	    -DPython_EXECUTABLE=$(DEBUG_PY) > $(ASAN_DIR)/configure.log \
	    || { cat $(ASAN_DIR)/configure.log; exit 1; }
	@cmake --build $(ASAN_DIR) -j $(JOBS)

test-asan: build-asan
	@scripts/ensure-redis.sh
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)
	PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/python VELMORQUIST_FUZZ_EXAMPLES=40 \
	    scripts/run-sanitized.sh $(DEBUG_PY) -m pytest -m "not pure_python" tests/python

# The interpreter's own allocator (so its block count means something) and no
# leak check at exit: objects in its arenas are invisible to LeakSanitizer.
test-refleak: build-asan
	PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/python PYTHONMALLOC=pymalloc_debug \
	    ASAN_OPTIONS=detect_leaks=0 VELMORQUIST_REFLEAK=1 \
	    scripts/run-sanitized.sh $(DEBUG_PY) -m pytest tests/python/native/test_refleaks.py

fuzz-build:
	@scripts/ensure-build-tools.sh build fuzz
	@cmake -S fuzz -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) > $(FUZZ_DIR).log \
	    || { cat $(FUZZ_DIR).log; exit 1; }
	@cmake --build $(FUZZ_DIR) -j $(JOBS)

test-fuzz: fuzz-build
	scripts/run-fuzz.sh $(FUZZ_DIR) -runs=$(FUZZ_RUNS) -seed=1

fuzz: fuzz-build
	scripts/run-fuzz.sh $(FUZZ_DIR) -max_total_time=$(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR) $(BENCH_DIR).log $(ASAN_DIR) $(FUZZ_DIR) $(FUZZ_DIR).log \
	    python/velmorquist_proxy/_native*.so python/velmorquist_proxy/_host*.so
