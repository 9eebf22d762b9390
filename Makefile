# velkor: set-up, tests, demo and benchmarks on a fresh machine.
#   make demo    create .venv with CPython 3.13, install velkor, run examples/demo.py
#   make test    the same with the test extras, then the test suite
#   make bench   run every script of benchmarks/ and print their summaries
#   make asan    build with AddressSanitizer + UBSan into .venv-asan and run the tests
# Override the interpreter with `make PYTHON=/path/to/python3.13`.

PYTHON ?=
VENV   := .venv
PY     := $(VENV)/bin/python
BUILD_TOOLS := scikit-build-core nanobind cmake ninja
PIP_QUIET := -q --disable-pip-version-check

.PHONY: all venv install install-test demo test bench asan clean

all: test

$(PY):
	@interp=$$(sh scripts/find-python $(PYTHON)) || exit 1; \
	echo "Creating $(VENV) with $$interp"; \
	"$$interp" -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) --upgrade pip
	$(PY) -m pip install $(PIP_QUIET) $(BUILD_TOOLS)

venv: $(PY)

install: $(PY)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation .

install-test: $(PY)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation ".[test]"

demo: install
	$(PY) examples/demo.py

test: install-test
	$(PY) -m pytest -q

bench: install
	$(PY) benchmarks/run_all.py

# The sanitizer build lives in its own venv and build folder. The interpreter
# itself is not instrumented, so the ASan runtime is preloaded; leak detection
# is off because CPython keeps memory alive until exit by design.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
asan:
	@test -x $(ASAN_PY) || { interp=$$(sh scripts/find-python $(PYTHON)) || exit 1; \
	  "$$interp" -m venv $(ASAN_VENV) && \
	  $(ASAN_PY) -m pip install $(PIP_QUIET) $(BUILD_TOOLS); }
	$(ASAN_PY) -m pip install $(PIP_QUIET) --no-build-isolation \
	  -Cbuild-dir=build/asan -Ccmake.define.VELKOR_SANITIZE=ON -Ccmake.build-type=Debug ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	VELKOR_SANITIZED=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV)
