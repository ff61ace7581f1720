# One target per thing a developer does.  Each works from a fresh clone:
# missing apt packages, the free-threaded interpreter, the virtual
# environment and the package itself are installed on the way.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV    := .venv
PYTHON  := $(VENV)/bin/python
PIP     := $(PYTHON) -m pip --disable-pip-version-check -q
BUILD   := build

.PHONY: all test install interpreter clean

all: test

# The venv is made from the free-threaded interpreter; the provisioning
# script prints its path on its last line (building it once per machine).
$(VENV)/.ready: requirements-dev.txt requirements-test.txt scripts/provision-python.sh
	py=$$(scripts/provision-python.sh | tail -n 1); \
	"$$py" -c 'import sys; assert sys.version_info >= (3, 13), sys.version'; \
	rm -rf $(VENV); "$$py" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install -r requirements-dev.txt
	touch $@

interpreter: $(VENV)/.ready

# Rebuilds incrementally in build/<wheel tag> and reinstalls into the venv.
install: $(VENV)/.ready
	$(PIP) install --no-build-isolation --no-deps --force-reinstall \
	    -C build-dir=$(BUILD)/{wheel_tag} .

# pytest exits 5 when it collects nothing: a suite that silently vanished
# must not pass, so that is a failure here too.
test: install test-native
	@rc=0; $(PYTHON) -m pytest $(PYTEST_ARGS) || rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "make test: pytest collected no tests" >&2; fi; \
	exit $$rc

# The C++ tests of the parts that need no interpreter, built with CMake into
# build/native and run: the escapers against a byte-at-a-time reference,
# the transcoder of UTF-8 output against a plain decoder, and numconv_oracle, the number door against double-conversion on generated
# inputs and on every number of canada.json.
.PHONY: test-native
test-native: $(VENV)/.ready
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/native -G Ninja \
	    -DQUELT_NATIVE_TESTS=ON -DPython_EXECUTABLE="$(abspath $(PYTHON))" >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/native --target escape_test utf8_text_test numconv_oracle
	$(BUILD)/native/escape_test
	$(BUILD)/native/utf8_text_test
	gzip -dc tests/data/documents/canada.json.gz >$(BUILD)/native/canada.json
	$(BUILD)/native/numconv_oracle $(BUILD)/native/canada.json

clean:
	rm -rf $(BUILD) $(VENV) .venv-gil *.egg-info dist

# ---- benchmarks ------------------------------------------------------------
# `make bench` measures quelt against the standard library's json and the
# PyPI peers on both builds of the same CPython: the free-threaded one
# (.venv, as for the tests) and the default, GIL one (.venv-gil, built once
# per machine by the provisioning script).  quelt is installed in both; the
# peers are installed one by one, so that one without a wheel is reported
# and does not stop the rest.  Results go to bench/results/ (generated).
# BENCH_QUICK=1 makes a smoke run of a few seconds per build.
.PHONY: bench bench-clean

VENV_GIL   := .venv-gil
PYTHON_GIL := $(VENV_GIL)/bin/python
PIP_GIL    := $(PYTHON_GIL) -m pip --disable-pip-version-check -q

$(VENV_GIL)/.ready: requirements-dev.txt requirements-test.txt scripts/provision-python.sh
	py=$$(scripts/provision-python.sh --gil | tail -n 1); \
	"$$py" -c 'import sys; assert sys.version_info >= (3, 13), sys.version'; \
	rm -rf $(VENV_GIL); "$$py" -m venv $(VENV_GIL)
	$(PIP_GIL) install --upgrade pip
	$(PIP_GIL) install -r requirements-dev.txt
	touch $@

# The suite against the default (GIL) build of the same CPython, where a few
# paths differ (list reads, the order containers are tracked in).
.PHONY: test-gil
test-gil: $(VENV_GIL)/.ready
	$(PIP_GIL) install --no-build-isolation --no-deps --force-reinstall \
	    -C build-dir=$(BUILD)/{wheel_tag} .
	@rc=0; $(PYTHON_GIL) -m pytest $(PYTEST_ARGS) || rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "make test-gil: pytest collected no tests" >&2; fi; \
	exit $$rc

# Stale results are removed first, so the report never mixes runs.  quelt
# goes into both venvs (build/<wheel tag> differs per build: cp313t, cp313),
# then the peers: binary wheels only on the free-threaded build.
bench: install $(VENV_GIL)/.ready
	rm -rf bench/results
	$(PIP_GIL) install --no-build-isolation --no-deps --force-reinstall \
	    -C build-dir=$(BUILD)/{wheel_tag} .
	$(PYTHON) bench/install_peers.py --only-binary
	$(PYTHON_GIL) bench/install_peers.py --extra matplotlib
	$(PYTHON) bench/run.py
	$(PYTHON_GIL) bench/run.py
	$(PYTHON) bench/threads.py
	$(PYTHON_GIL) bench/threads.py
	$(PYTHON) bench/memory.py
	$(PYTHON_GIL) bench/memory.py
	$(PYTHON) bench/fresh.py
	$(PYTHON_GIL) bench/fresh.py
	$(PYTHON_GIL) bench/report.py

bench-clean:
	rm -rf $(VENV_GIL) bench/results

# ---- hardening: sanitizers, fuzzing, stress ---------------------------------
# Self-contained: each target provisions what it needs (clang for the
# fuzzers, a separate venv for each sanitizer build: build/venv-asan, and
# build/venv-tsan from a ThreadSanitizer build of the interpreter).
FUZZ_SECONDS   ?= 120
STRESS_SECONDS ?= 60

.PHONY: test-asan test-tsan fuzz stress

# The suite against the ASan+UBSan build, under the free-threaded interpreter
# with the ASan runtime preloaded; any report fails it.
test-asan:
	scripts/test-asan.sh $(PYTEST_ARGS)

# The tests that start threads against the ThreadSanitizer build, under a
# free-threaded interpreter built with ThreadSanitizer too (once per machine,
# into ~/.cache/quelt); any report fails it.
test-tsan:
	scripts/test-tsan.sh $(PYTEST_ARGS)

# libFuzzer targets for loads and dumps under the sanitizers, FUZZ_SECONDS
# each, side by side.  Crashes land in build/fuzz/crashes.
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh

# The concurrency stress tests for STRESS_SECONDS each, on the normal build
# and then on the sanitizer build.
stress: install
	QUELT_STRESS_SECONDS=$(STRESS_SECONDS) $(PYTHON) -m pytest -q tests/test_stress.py $(PYTEST_ARGS)
	QUELT_STRESS_SECONDS=$(STRESS_SECONDS) scripts/test-asan.sh -q tests/test_stress.py $(PYTEST_ARGS)

# ---- release artifacts, the installed wheel, typing ------------------------
# `make dist` writes dist/: the sdist and, built from it, a manylinux wheel
# for each build of CPython 3.13 (free-threaded cp313t from .venv, default
# cp313 from .venv-gil), repaired and checked by auditwheel.
# `make test-wheel` runs the suite against the free-threaded wheel installed
# in a fresh venv, from a copy of tests/ outside the checkout.
# `make typecheck` checks the stub against the built module (stubtest) and
# the typed example and the tool under mypy --strict.
.PHONY: dist test-wheel typecheck

$(VENV)/.tools-ready: $(VENV)/.ready requirements-tools.txt
	$(PIP) install -r requirements-tools.txt
	touch $@

dist: $(VENV)/.tools-ready $(VENV_GIL)/.ready
	scripts/dist.sh $(PYTHON) $(PYTHON) $(PYTHON_GIL)

test-wheel: $(VENV)/.tools-ready
	scripts/test-wheel.sh "$$(scripts/provision-python.sh | tail -n 1)" $(PYTHON) $(PYTEST_ARGS)

typecheck: install $(VENV)/.tools-ready
	$(PYTHON) -m mypy.stubtest quelt --mypy-config-file pyproject.toml
	$(PYTHON) -m mypy --strict tests/typing_example.py cli/quelt_tool.py
