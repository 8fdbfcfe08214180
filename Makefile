# One-command entry points.  Every target installs what is missing first.
BUILD      ?= build
VENV       := .venv
PY         := $(VENV)/bin/python
CMAKE      := $(VENV)/bin/cmake
CTEST      := $(VENV)/bin/ctest
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
PYFLAGS    := -DNETROVE_BUILD_PYTHON=ON -DPython_EXECUTABLE=$(abspath $(PY))

.PHONY: setup build run test test-cpp test-python wheel test-wheel sanitize tsan bench bench-quick fuzz clean

setup:
	@tools/setup

# Configures only when the folder is new or was configured otherwise; after
# that ninja re-runs CMake by itself whenever a CMakeLists.txt changes.
CONFIGURE  := $(CMAKE) -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release $(PYFLAGS)

build: setup
	@if [ ! -f $(BUILD)/build.ninja ] || [ "$$(cat $(BUILD)/.configured-with 2>/dev/null)" != '$(CONFIGURE)' ]; then \
	  $(CONFIGURE) >/dev/null && echo '$(CONFIGURE)' > $(BUILD)/.configured-with; fi
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

# The command line on the sample table and log of examples/data.
run: build
	@examples/tour.sh $(BUILD)/cli/netrove $(BUILD)

CTEST_RUN  := $(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)
PYTEST_RUN := PYTHONPATH=$(abspath $(BUILD))/python NETROVE_CLI=$(abspath $(BUILD))/cli/netrove \
              $(PY) -m pytest -q tests/python

# The C++ tests, then the Python ones (one after the other: each uses every core).
test: build
	@$(CTEST_RUN)
	@$(PYTEST_RUN)

test-cpp: build
	@$(CTEST_RUN)

test-python: build
	@$(PYTEST_RUN)

# Self-contained binary wheels in dist/, one per Python (PYTHONS=3.13 for
# some only; empty: every Python 3.12+ found), through pyproject.toml and
# auditwheel repair; build folders in build-wheel/.
PYTHONS    ?=
wheel: setup
	@tools/build-wheels $(PYTHONS)

# Each wheel installed into a fresh venv: its libraries checked with ldd, then
# tests/python run against the installed module.
test-wheel: wheel
	@tools/test-wheel $(PYTHONS)

# C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer; then the
# module built the same way, loaded into the (uninstrumented) interpreter
# with the sanitizer's runtime preloaded and Python's own allocator off, for
# the adversarial Python tests and the random-call fuzzer.
# libstdc++ is preloaded after the sanitizer's runtime so that its C++
# exception interceptors find __cxa_throw when they start (the interpreter
# itself is C and would load libstdc++ only with the module).
ASAN_RT    := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
SAN_PYTEST := tests/python/test_hardening.py tests/python/test_call_fuzz.py tests/python/test_load_mmdb.py \
              tests/python/test_load_mrt.py tests/python/test_load.py tests/python/test_table_file.py \
              tests/python/test_cli.py
sanitize: setup
	@$(CMAKE) -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNETROVE_SANITIZE=address,undefined $(PYFLAGS) >/dev/null
	@$(CMAKE) --build build-asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(abspath tests/cpp/python/lsan.supp) \
	  $(CTEST) --test-dir build-asan --output-on-failure -j $(JOBS)
	@LD_PRELOAD="$(ASAN_RT)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(abspath build-asan)/python \
	  NETROVE_CLI=$(abspath build-asan)/cli/netrove $(PY) -m pytest -q $(SAN_PYTEST)

# C++ tests under ThreadSanitizer.
tsan: setup
	@$(CMAKE) -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNETROVE_SANITIZE=thread >/dev/null
	@$(CMAKE) --build build-tsan -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0 \
	  $(CTEST) --test-dir build-tsan --output-on-failure -j $(JOBS)

# Every benchmark: the C++ programs, then each mode of the Python peer suite
# (its own environment, .venv-bench); results land in bench/results/.
# bench-quick runs them all on a small slice of the table, into
# $(BUILD)/bench-quick/ (CI runs it so that no bench program rots unseen).
bench: build
	@bench/run.sh $(BUILD)

bench-quick: build
	@bench/run.sh --quick $(BUILD)

# libFuzzer targets (clang), each for a bounded time.
FUZZ_SECONDS ?= 60
fuzz: setup
	@$(CMAKE) -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DNETROVE_FUZZ=ON >/dev/null
	@$(CMAKE) --build build-fuzz -j $(JOBS) --target netrove_fuzzers
	@fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-wheel dist
