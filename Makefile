# One-command entry points. `make test` installs what is missing, builds everything and
# runs every test (C++ under ctest, the C++ tests again under ASan+UBSan, then pytest
# against the pip-installed module). `make quickstart` installs, builds and runs the example.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PYTHON ?= python3
BUILD ?= build/dev
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
CMAKE_COMMON := -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$$(command -v $(PYTHON))

.PHONY: all deps build test test-cpp test-asan test-tsan test-py install quickstart bench clean

all: build

deps:
	bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_BUILD_BENCH=ON -DTANDREL_TEST_HOOKS=ON
	cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 600

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DTANDREL_SANITIZE=ON -DTANDREL_BUILD_PYTHON=OFF -DTANDREL_TEST_HOOKS=ON -DCMAKE_CXX_FLAGS=-O1
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TANDREL_SANITIZED=1 ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure --timeout 900

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_TSAN=ON -DTANDREL_BUILD_PYTHON=OFF -DTANDREL_TEST_HOOKS=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 TANDREL_SANITIZED=1 ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure --timeout 900 -L tsan

install: deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install --no-build-isolation -q . \
	  --config-settings=cmake.define.TANDREL_TEST_HOOKS=ON

test-py: install
	cd tests/python && $(PYTHON) -m pytest -q -p no:cacheprovider .

test: test-cpp test-asan test-tsan test-py

quickstart: deps
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PYTHON) -m pip install --no-build-isolation -q .
	$(PYTHON) examples/quickstart.py

bench: build
	@echo "benchmarks built in $(BUILD): run $(BUILD)/bench_* (see bench/README.md)"

clean:
	rm -rf build
