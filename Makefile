# pelmora developer entry points.
#
#   make toolchain   private CPython 3.14 + numpy/scipy/pytest/... in .toolchain/
#   make build       configure and build into build/ (extension, kernels, C++ tests)
#   make test        everything: toolchain, build, free-threading check, C++ and Python tests
#   make demo        build, then run examples/design_storm.py
#   make regional    build, then run examples/regional_calibration.py (BASINS=, WORKERS=,
#                    THREADS=, SCHEDULER=tcp://host:port)
#   make camels      build, then run examples/camels_calibration.py on real gauges (DATA=,
#                    GAUGES=, WORKERS=, THREADS=, SCHEDULER=)
#   make bench       build, then run bench/run.py
#   make docs        build, then the HTML documentation into build/docs/html
#   make test-asan   the same tests against an AddressSanitizer + UBSan build (build-asan/)
#   make test-tsan   the threading tests against a ThreadSanitizer build (build-tsan/)
#   make test-no-numpy  the Python tests as an interpreter without numpy runs them
#   make fuzz        build, then fuzz every bound callable at length (FUZZ_EXAMPLES per callable)
#   make clean       remove build/ ("make distclean" also removes .toolchain/)
#
# PYTHON=/path/to/python3.14 (or python3.14t) uses that interpreter instead of
# the private toolchain.  WERROR=OFF turns warnings back into warnings.
# PYTEST_ARGS="-k kge -x" passes extra arguments to pytest.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := build
.NOTPARALLEL:

REPO := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
BUILD_DIR ?= $(REPO)/build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR ?= ON
PYTEST_ARGS ?=
CMAKE ?= cmake
CTEST ?= ctest

TOOLCHAIN_ROOT := $(REPO)/.toolchain/root
PYTHON ?=
ifeq ($(strip $(PYTHON)),)
  PY := $(TOOLCHAIN_ROOT)/usr/bin/python3.14
  # Debian's matplotlib reads its defaults from /etc/matplotlibrc: point it
  # at the toolchain's copy.
  export MATPLOTLIBRC := $(TOOLCHAIN_ROOT)/etc/matplotlibrc
else
  PY := $(shell command -v $(PYTHON) 2>/dev/null)
  ifeq ($(PY),)
    $(error PYTHON=$(PYTHON) is not an executable)
  endif
endif
# Plots go to files, never to a window.
export MPLBACKEND ?= Agg

# Python run from make sees the freshly built extension and nothing stray.
RUN_PY := PYTHONPATH=$(BUILD_DIR) $(PY)

# SANITIZE=ON builds with AddressSanitizer and UBSan.  The interpreter itself
# is not instrumented, so the sanitizer runtime is preloaded, together with
# the C++ runtime the interpreter will load (ASan must see it at start-up to
# intercept exceptions); Python's own allocator steps aside so ASan sees
# every allocation.  Leak reports are off: the interpreter keeps objects alive
# until exit by design (the leak tests measure growth instead).
SANITIZE ?= OFF
ifeq ($(SANITIZE),ON)
  ifeq ($(strip $(PYTHON)),)
    SAN_LIBSTDCXX := $(TOOLCHAIN_ROOT)/usr/lib/x86_64-linux-gnu/libstdc++.so.6
  else
    SAN_LIBSTDCXX := $(shell $(CXX) -print-file-name=libstdc++.so.6)
  endif
  RUN_PY := LD_PRELOAD="$(shell $(CXX) -print-file-name=libasan.so) $(SAN_LIBSTDCXX)" \
            ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
            PYTHONMALLOC=malloc $(RUN_PY)
endif

# TSAN=ON builds with ThreadSanitizer.  As for ASan the runtime is preloaded
# into the uninstrumented interpreter, and Python's allocator steps aside so
# that TSan sees every reuse of memory.  Any finding fails the run (child
# processes included); tests/tsan.supp may list only reports proven to lie
# inside the interpreter.  scripts/tsan_run.sh judges the reports.
TSAN ?= OFF
# The runtime is the one built for the C library the interpreter runs on:
# the toolchain's interpreter brings Debian unstable's glibc, and the
# compiler's own runtime, built for an older one, now and then died in
# mid-run, mapping shadow memory for a range it had got wrong.
ifeq ($(strip $(PYTHON)),)
  TSAN_RUNTIME := $(TOOLCHAIN_ROOT)/usr/lib/x86_64-linux-gnu/libtsan.so.2
else
  TSAN_RUNTIME := $(shell $(CXX) -print-file-name=libtsan.so)
endif
# Reports go to files, one a process, printed after the run: a process that
# dies (a crash is fatal under TSan) leaves its report, and the report stands
# last in the output whoever else wrote after it.
TSAN_LOG = $(BUILD_DIR)/tsan-report
TSAN_TESTS ?= tests/test_threads.py tests/test_threads_parallel.py \
  tests/test_clark.py::test_concurrent_calls_agree tests/test_rainfall_loss.py::test_concurrent_calls_agree \
  tests/test_reach.py::test_concurrent_calls_agree
ifeq ($(TSAN),ON)
  RUN_PY := LD_PRELOAD="$(TSAN_RUNTIME)" \
            TSAN_OPTIONS="exitcode=66 halt_on_error=0 second_deadlock_stack=1 suppressions=$(REPO)/tests/tsan.supp log_path=$(TSAN_LOG)" \
            PYTHONMALLOC=malloc $(RUN_PY)
endif

GENERATOR ?= $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)

.PHONY: all toolchain check-python configure build check-ft test test-asan test-tsan test-tsan-run test-no-numpy test-cpp test-py \
        demo regional camels bench docs fuzz clean distclean

all: build

# Canned recipes, shared by the single-step and the combined targets.
define check_python
@$(PY) -c 'import sys; sys.exit(0 if sys.version_info >= (3, 14) else \
  "$(PY) is Python %d.%d; pelmora needs Python 3.14 or newer (PYTHON=/path/to/python3.14)" % sys.version_info[:2])'
endef

define run_check_ft
@$(CMAKE) --build $(BUILD_DIR) --target check-ft --parallel $(JOBS)
endef

define run_ctest
@$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure --parallel $(JOBS)
endef

# pytest's exit code 5 ("no tests collected") is a failure here.
define run_pytest
@cd $(REPO) && { $(RUN_PY) -m pytest tests -q $(PYTEST_ARGS) || rc=$$?; }; \
if [ "$${rc:-0}" -eq 5 ]; then echo "pytest collected no tests: failing" >&2; fi; \
exit $${rc:-0}
endef

toolchain:
ifeq ($(strip $(PYTHON)),)
	@bash $(REPO)/scripts/toolchain.sh
else
	@echo "Using PYTHON=$(PY); the private toolchain is not used"
endif
	$(check_python)

check-python:
	$(check_python)

configure: toolchain
	@mkdir -p $(BUILD_DIR)
	@$(CMAKE) -S $(REPO) -B $(BUILD_DIR) \
	  $(if $(wildcard $(BUILD_DIR)/CMakeCache.txt),,-G "$(GENERATOR)") \
	  -DPELMORA_PYTHON=$(PY) -DPELMORA_WERROR=$(WERROR) -DPELMORA_SANITIZE=$(SANITIZE) -DPELMORA_TSAN=$(TSAN) >$(BUILD_DIR)/configure.log 2>&1 \
	  || { cat $(BUILD_DIR)/configure.log >&2; exit 1; }
	@grep -E '^-- (Python|No )|Warning' $(BUILD_DIR)/configure.log || true

build: configure
	@$(CMAKE) --build $(BUILD_DIR) --parallel $(JOBS)

check-ft: configure
	$(run_check_ft)

test-cpp: build
	$(run_ctest)

test-py: build
	$(run_pytest)

test: build
	$(run_check_ft)
	$(run_ctest)
	$(run_pytest)

test-asan:
	@$(MAKE) --no-print-directory test SANITIZE=ON BUILD_DIR=$(REPO)/build-asan

# Debian has no numpy for the free-threaded interpreter: the suite must run
# without it.  Importing numpy is made to fail, and at least 80% of the tests
# must still run.  The wheel build of test_packaging owes nothing to numpy
# and is left out, and the fuzzer runs briefly, to keep this step short.
test-no-numpy: build
	@cd $(REPO) && PELMORA_FUZZ_EXAMPLES=25 $(RUN_PY) tests/without_numpy.py --min-share 0.8 \
	  tests --ignore=tests/test_packaging.py $(PYTEST_ARGS)

# Only the extension and the threading tests: the C++ tests run no threads.
test-tsan:
	@$(MAKE) --no-print-directory test-tsan-run TSAN=ON BUILD_DIR=$(REPO)/build-tsan

test-tsan-run: configure
	@$(CMAKE) --build $(BUILD_DIR) --target pelmora --parallel $(JOBS)
	@cd $(REPO) && bash scripts/tsan_run.sh $(TSAN_LOG) env $(RUN_PY) -c 'import ctypes, pelmora, sys; \
	  hasattr(ctypes.CDLL(None), "__tsan_init") or sys.exit("the ThreadSanitizer runtime is not loaded")' \
	  || { echo "pelmora did not load cleanly under the ThreadSanitizer runtime $(TSAN_RUNTIME)" >&2; exit 1; }
	@cd $(REPO) && bash scripts/tsan_run.sh $(TSAN_LOG) env \
	  $(RUN_PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS) $(PYTEST_ARGS)

demo: build
	@if [ -f $(REPO)/examples/design_storm.py ]; then \
	  cd $(REPO) && $(RUN_PY) examples/design_storm.py; \
	else \
	  echo "examples/design_storm.py does not exist yet: nothing to demonstrate"; \
	fi

# Regional calibration on Dask: BASINS=N, WORKERS=N (0: serially in one
# process), THREADS=N (a thread pool instead of Dask), SCHEDULER=tcp://host:port
# (an existing cluster); REGIONAL_ARGS passes any other option of the script.
BASINS ?=
WORKERS ?=
THREADS ?=
SCHEDULER ?=
REGIONAL_ARGS ?=
regional: build
	@cd $(REPO) && $(RUN_PY) examples/regional_calibration.py \
	  $(if $(strip $(BASINS)),--basins $(BASINS)) $(if $(strip $(WORKERS)),--workers $(WORKERS)) \
	  $(if $(strip $(THREADS)),--threads $(THREADS)) $(if $(strip $(SCHEDULER)),--scheduler $(SCHEDULER)) \
	  $(REGIONAL_ARGS)

# Calibration of real CAMELS-US gauges: DATA=DIR (a folder with the CAMELS-US
# layout; default ../shared/data/camels_us), GAUGES="ID ..." (default: every
# gauge found), WORKERS=, THREADS=, SCHEDULER= as for regional; CAMELS_ARGS
# passes any other option of the script.
DATA ?=
GAUGES ?=
CAMELS_ARGS ?=
camels: build
	@cd $(REPO) && $(RUN_PY) examples/camels_calibration.py \
	  $(if $(strip $(DATA)),--data $(DATA)) $(if $(strip $(GAUGES)),--basins $(GAUGES)) \
	  $(if $(strip $(WORKERS)),--workers $(WORKERS)) $(if $(strip $(THREADS)),--threads $(THREADS)) \
	  $(if $(strip $(SCHEDULER)),--scheduler $(SCHEDULER)) $(CAMELS_ARGS)

# The C++ routing micro-benchmark exists only when Google Benchmark was found;
# without it bench/run.py reports the Python rows alone.
bench: build
	@$(CMAKE) --build $(BUILD_DIR) --target pelmora_bench_routing --parallel $(JOBS) \
	  || echo "pelmora_bench_routing not built (Google Benchmark missing?): no C++ figures"
	@cd $(REPO) && $(RUN_PY) bench/run.py --json $(BUILD_DIR)/bench.json

# The documentation is built from scratch against the module just built: its
# figures, gallery and API reference all come from running it. Warnings are
# errors. The site needs no network (open build/docs/html/index.html): the
# last step fails if any page would load a script, style sheet or font from it.
DOCS_OUT := $(BUILD_DIR)/docs
docs: build
	@rm -rf $(DOCS_OUT) $(REPO)/docs/auto_gallery
	@cd $(REPO) && $(RUN_PY) docs/_ext/run_sphinx.py -b html -W --keep-going -q -d $(DOCS_OUT)/doctrees docs $(DOCS_OUT)/html
	@$(PY) $(REPO)/docs/_ext/check_offline.py $(DOCS_OUT)/html
	@echo "documentation: $(DOCS_OUT)/html/index.html"

# make test runs the same fuzzer briefly; this runs it long.
FUZZ_EXAMPLES ?= 5000
fuzz: build
	@cd $(REPO) && PELMORA_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(RUN_PY) -m pytest tests/test_fuzz.py -q $(PYTEST_ARGS)

clean:
	rm -rf $(BUILD_DIR)

distclean: clean
	rm -rf $(REPO)/.toolchain
