# make demo: set up, build and run the offline demo.  make test: set up, build and run every test.
# make bench: the benchmarks, with their peers from requirements-bench.txt.
SHELL := /bin/bash
.DEFAULT_GOAL := demo

# NeMo Guardrails reports usage statistics over the network unless told not to.
export NEMO_GUARDRAILS_NO_USAGE_STATS := 1
export DO_NOT_TRACK := 1

VENV   := .venv
PY     := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-installed
JOBS   ?= $(shell nproc)
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

PIP_INSTALL := $(PY) -m pip install --disable-pip-version-check -q

.PHONY: demo test test-main test-asan build build-asan bench clean

$(PY):
	@py=$$(scripts/find-python) && "$$py" -m venv $(VENV)

$(DEPS): requirements-dev.txt | $(PY)
	$(PIP_INSTALL) --upgrade pip
	$(PIP_INSTALL) -r requirements-dev.txt
	@touch $@

# Incremental: scikit-build-core keeps its CMake tree under build/.
build: $(DEPS)
	$(PIP_INSTALL) --no-build-isolation --no-deps \
	    -C cmake.define.VADREL_BUILD_TESTING=ON .

demo: build
	$(PY) examples/demo.py

# Both passes spread the tests over worker processes (pytest-xdist), one a processor by default.
TEST_WORKERS ?= auto
PYTEST := $(PY) -m pytest -q -p no:cacheprovider -n $(TEST_WORKERS)
# pytest keeps the test modules it rewrites (for its assertion messages) in __pycache__ unless bytecode
# files are turned off; the tests turn them back on, and one collection writes them before the passes, so
# that the worker processes read them instead of each rewriting every module.
unexport PYTHONDONTWRITEBYTECODE
COLLECT = $(PY) -m pytest -q -p no:cacheprovider --collect-only tests >/dev/null

RUN_MAIN = $(PYTEST) tests

test-main: build
	$(RUN_MAIN)

# The same suite against an AddressSanitizer/UBSan build installed into its own directory. Python's own
# small-object allocator hides a read past the end of an object's storage from ASan, so plain malloc is used.
# Development mode comes from PYTHONDEVMODE, which the worker processes inherit (-X options they would not).
# Every test runs, on a quarter of the examples and repetitions (VADREL_TEST_EFFORT, see
# tests/support/effort.py). The typing checks (tests/typing/test_stubs.py: mypy and stubtest, each in a
# process of its own) run once, in the main pass.
ASAN_SITE := $(CURDIR)/build/asan-site
build-asan: $(DEPS)
	$(PIP_INSTALL) --no-build-isolation --no-deps --target $(ASAN_SITE) --upgrade \
	    -C build-dir=build/asan -C cmake.build-type=Debug \
	    -C cmake.define.VADREL_BUILD_TESTING=ON -C cmake.define.VADREL_SANITIZE=ON .

RUN_ASAN = PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_SITE) \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:detect_odr_violation=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONDEVMODE=1 VADREL_TEST_EFFORT=0.25 $(PYTEST) --ignore=tests/typing/test_stubs.py tests

test-asan: build-asan
	$(RUN_ASAN)

# The two builds side by side, then the sanitizer run, so that the main suite's summary line is the last
# thing printed.
test: $(DEPS)
	@$(MAKE) --no-print-directory -j2 build build-asan
	$(COLLECT)
	$(RUN_ASAN)
	$(RUN_MAIN)

# The benchmarks' peers (google-re2, hyperscan) go into the same environment; tests never need them.
BENCH_DEPS := $(VENV)/.bench-deps-installed
$(BENCH_DEPS): requirements-bench.txt | $(DEPS)
	$(PIP_INSTALL) -r requirements-bench.txt
	@touch $@

bench: build $(BENCH_DEPS)
	@for b in bench/*_bench.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf build dist *.egg-info
	find . -name __pycache__ -not -path './.venv/*' -prune -exec rm -rf {} +
