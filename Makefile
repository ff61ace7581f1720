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
$(VENV)/.ready: requirements-dev.txt scripts/provision-python.sh
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
test: install
	@rc=0; $(PYTHON) -m pytest $(PYTEST_ARGS) || rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "make test: pytest collected no tests" >&2; fi; \
	exit $$rc

clean:
	rm -rf $(BUILD) $(VENV) *.egg-info

# ---- hardening: sanitizers, fuzzing, stress ---------------------------------
# Self-contained: each target provisions what it needs (clang for the
# fuzzers, a separate venv for the sanitizer build in build/venv-asan).
FUZZ_SECONDS   ?= 120
STRESS_SECONDS ?= 60

.PHONY: test-asan fuzz stress

# The suite against the ASan+UBSan build, under the free-threaded interpreter
# with the ASan runtime preloaded; any report fails it.
test-asan:
	scripts/test-asan.sh $(PYTEST_ARGS)

# libFuzzer targets for loads and dumps under the sanitizers, FUZZ_SECONDS
# each, side by side.  Crashes land in build/fuzz/crashes.
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh

# The concurrency stress tests for STRESS_SECONDS each, on the normal build
# and then on the sanitizer build.
stress: install
	QUELT_STRESS_SECONDS=$(STRESS_SECONDS) $(PYTHON) -m pytest -q tests/test_stress.py $(PYTEST_ARGS)
	QUELT_STRESS_SECONDS=$(STRESS_SECONDS) scripts/test-asan.sh -q tests/test_stress.py $(PYTEST_ARGS)
