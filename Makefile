# Set-up from nothing and the project's jobs. `make run` and `make test` are
# the two commands the README gives; both build a virtual environment first.
SHELL := /bin/bash
PY_VERSION ?= 3.9
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip --disable-pip-version-check -q

SAN_VENV ?= .venv-sanitize
VERSIONS ?= 3.9 3.10 3.11 3.12 3.13

.PHONY: setup run test test-all bench sanitize valgrind fuzz clean

$(VENV)/.created:
	@base=$$(tools/find-python $(PY_VERSION)) || exit 1; \
	echo "creating $(VENV) with $$base"; \
	"$$base" -m venv --clear $(VENV)
	@touch $@

# The package is built and installed with pip on every set-up, so the tests
# always see the current sources as a user's `pip install .` would.
setup: $(VENV)/.created
	$(PIP) install ".[test]"

run: setup
	$(VENV)/bin/ovralite-npu show --all

test: setup
	$(PYTHON) -m pytest -q

# The suite on every supported interpreter present; absent ones are named.
test-all:
	@for v in $(VERSIONS); do \
	    if ! tools/find-python $$v >/dev/null 2>&1; then \
	        echo "notice: CPython $$v is not installed here; skipping it"; continue; fi; \
	    echo "== CPython $$v"; \
	    $(MAKE) --no-print-directory test PY_VERSION=$$v VENV=.venv-$$v || exit 1; \
	done

bench: setup
	$(PYTHON) benchmarks/bench.py

$(SAN_VENV)/.created:
	@base=$$(tools/find-python $(PY_VERSION)) || exit 1; "$$base" -m venv --clear $(SAN_VENV)
	@touch $@

sanitize: $(SAN_VENV)/.created
	$(SAN_VENV)/bin/python -m pip --disable-pip-version-check -q install \
	    --config-settings=cmake.define.OVRALITE_SANITIZE=ON --config-settings=cmake.build-type=Debug ".[test]"
	tools/run-sanitized $(SAN_VENV)/bin/python

# Valgrind memcheck over the tests that run in this process (those that start
# interpreters, run mypy or loop thousands of times are left out: too slow).
valgrind: setup
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
	    --suppressions=tools/valgrind.supp \
	    --num-callers=30 $(PYTHON) -m pytest -q -p no:cacheprovider \
	    --ignore=tests/test_load.py --ignore=tests/test_typing.py --ignore=tests/test_leaks.py \
	    -k "not entry_point and not agrees and not threads"

fuzz: setup
	HYPOTHESIS_PROFILE=long $(PYTHON) -m pytest -q tests/test_fuzz.py tests/test_cli.py \
	    -k "fuzz or agrees"

clean:
	rm -rf .venv .venv-* build dist
