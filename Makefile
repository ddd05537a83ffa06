# Set-up from nothing and the project's jobs. `make run` and `make test` are
# the two commands the README gives; both build a virtual environment first.
SHELL := /bin/bash
PY_VERSION ?= 3.9
VENV ?= .venv
PYTHON := $(VENV)/bin/python
PIP := $(PYTHON) -m pip --disable-pip-version-check -q

.PHONY: setup run test bench sanitize valgrind fuzz clean

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

clean:
	rm -rf .venv .venv-* build dist
