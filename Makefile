# One-command entry points. `make test` installs what is missing, builds everything and
# runs every test (C++ under ctest, the C++ tests again under ASan+UBSan, the tests labelled
# tsan under TSan, the repaired wheel in a fresh environment without the system libraries,
# then pytest against the module of the build tree, which has the test hooks).
# `make quickstart` installs the plain module into your Python and runs the example.
#
# The build and the tests use their own virtual environment $(VENV) (made from $(PYTHON)
# with --system-site-packages): it holds pytest, and cmake/ninja from PyPI when the
# system's are too old. Nothing the tests build is installed into your Python.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PYTHON ?= python3
BUILD ?= build/dev
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
VENV ?= build/venv
VENV_ABS := $(abspath $(VENV))
# Recipes that build run with the environment's bin first, so its cmake/ninja win.
WITH_VENV := PATH="$(VENV_ABS)/bin:$$PATH"
CMAKE_COMMON := -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(VENV_ABS)/bin/python

.PHONY: all deps build test test-cpp test-asan test-tsan test-py install quickstart wheel check-wheel bench clean

all: build

deps:
	PYTHON=$(PYTHON) bash scripts/install-deps --venv $(VENV) --test

build: deps
	$(WITH_VENV) cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_BUILD_BENCH=ON -DTANDREL_TEST_HOOKS=ON
	$(WITH_VENV) cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	$(WITH_VENV) ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 600

test-asan: deps
	$(WITH_VENV) cmake -S . -B $(ASAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DTANDREL_SANITIZE=ON -DTANDREL_BUILD_PYTHON=OFF -DTANDREL_TEST_HOOKS=ON -DCMAKE_CXX_FLAGS=-O1
	$(WITH_VENV) cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TANDREL_SANITIZED=1 $(WITH_VENV) ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure --timeout 900

test-tsan: deps
	$(WITH_VENV) cmake -S . -B $(TSAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_TSAN=ON -DTANDREL_BUILD_PYTHON=OFF -DTANDREL_TEST_HOOKS=ON
	$(WITH_VENV) cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 TANDREL_SANITIZED=1 $(WITH_VENV) ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure --timeout 900 -L tsan

# The Python tests import the module of $(BUILD) (built with the test hooks), never an
# installed one.
test-py: build
	cd tests/python && TANDREL_MODULE_DIR=$(abspath $(BUILD)) PYTHONPATH=$(abspath $(BUILD)) \
	  $(VENV_ABS)/bin/python -m pytest -q -p no:cacheprovider .

# The wheel check adds a release build of the module (about 5 CPU-minutes from a cold
# ccache, seconds from a warm one) and half a minute of checks. pytest runs last, so that
# its summary closes the output.
test: test-cpp test-asan test-tsan check-wheel test-py

# The plain module (no test hooks) into your Python, or into .venv when the system's pip refuses.
install:
	PYTHON=$(PYTHON) JOBS=$(JOBS) bash scripts/install-module

quickstart:
	PYTHON=$(PYTHON) JOBS=$(JOBS) bash scripts/install-module --quickstart

# A wheel that runs where oneTBB, CRoaring and libdeflate are not installed: pip builds it
# (release build, no test hooks, in build/<wheel tag>), then auditwheel copies those shared
# libraries into it (tandrel.libs/) and gives it a manylinux platform tag. The repaired
# wheel is left in dist/, replacing an older one.
wheel:
	PYTHON=$(PYTHON) bash scripts/install-deps --venv $(VENV) --wheel
	rm -rf build/wheelhouse dist/tandrel-*.whl
	$(WITH_VENV) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VENV_ABS)/bin/python -m pip wheel \
	  --no-build-isolation --no-deps --disable-pip-version-check -w build/wheelhouse .
	$(WITH_VENV) auditwheel repair -w dist build/wheelhouse/tandrel-*.whl

# Installs that wheel into a fresh virtual environment and runs the quick start with the
# system's copies of those libraries hidden from the loader (scripts/check-wheel).
check-wheel: wheel
	VENV=$(VENV) PYTHON=$(PYTHON) bash scripts/check-wheel

bench: build
	@echo "benchmarks built in $(BUILD): run $(BUILD)/bench_* (see bench/README.md)"

clean:
	rm -rf build
