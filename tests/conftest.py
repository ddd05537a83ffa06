"""The module under test in each of its implementations: the compiled module
wherever one was built for the interpreter, and the same module in plain
Python, npu_config.py, which ships beside it. A test that takes `m` runs once
for each (ids [compiled] and [python]); `--implementation` narrows that. A
test that states what Python does compares the compiled module (`compiled`)
with the one in Python (`python`)."""
import collections
import contextlib
import importlib.machinery
import importlib.util
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

import ovralite.api.npu_config as package

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the port tests run without it (make test-aarch64)
    pass
else:
    # Property tests stay quick in the suite; `make fuzz` runs a long session.
    for profile, examples in (("suite", 120), ("long", 20000)):
        settings.register_profile(
            profile, max_examples=examples, deadline=None,
            suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "suite"))

NAME = "ovralite.api.npu_config.npu_config"
PYTHON_SOURCE = os.path.join(os.path.dirname(package.__file__), "npu_config.py")

# The settings as the compiled module's one table states them
# (src/native/settings.hpp), read from it: what every other table of them
# (the checker's, the documentation's, the benchmark's, the module in
# Python's reads) is held to. A setting read as Switches stands for the
# switches, read in their place.
SETTINGS_HEADER = os.path.join(os.path.dirname(__file__), "..", "src", "native", "settings.hpp")
Setting = collections.namedtuple("Setting", "attribute key read fallback")
Switch = collections.namedtuple("Switch", "key fallback constant")
# The section view's operation for each way of reading.
SECTION_READS = {"Get": "get", "GetInt": "getint", "UnderRoot": "get", "Switches": "getboolean"}


def _fallback(expression):
    kind, _, argument = expression.partition("(")
    argument = argument[:-1]
    return {"text": lambda: json.loads(argument), "truth": lambda: True,
            "number": lambda: int(argument), "empty_list": lambda: []}[kind]()


def _settings_table():
    with open(SETTINGS_HEADER) as header:
        text = header.read()
    settings = [Setting(a, json.loads(k), r, _fallback(f)) for a, k, r, f in re.findall(
        r'X\((\w+), ("[^"]*"), (\w+), (\w+\((?:"[^"]*"|\d*)\)), \d+, \d+\)', text)]
    switches = [Switch(json.loads(k), f == "true", c) for k, f, c in re.findall(
        r'X\(\w+, ("[^"]*"), (true|false), (\w+)\)', text)]
    return settings, switches


SETTINGS, SWITCHES = _settings_table()
# (key, section view's read, fallback) in the order the loader reads them.
DEVICE_READS = [read for s in SETTINGS for read in (
    [(w.key, "getboolean", w.fallback) for w in SWITCHES] if s.read == "Switches"
    else [(s.key, SECTION_READS[s.read], s.fallback)])]

# The record's attributes in the order the constructor assigns them, which is
# the order of its attribute dictionary.
ATTRIBUTES = ["target", "pid", "optimization", "core", "mad_per_core", "input_buffer_depth",
              "evis", "nn_support_dtypes", "ext_sram_sizes", "sdk_dir", "simulator_config",
              "ext_axi_sram_sizes"]


def new_module(module_spec):
    """A new module object from `module_spec`, not in sys.modules."""
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def load_python_module():
    """npu_config.py under the module's own name (as its classes and
    functions name it)."""
    return new_module(importlib.util.spec_from_file_location(NAME, PYTHON_SOURCE))


def load_compiled_module():
    return new_module(importlib.util.find_spec(NAME))


installed = importlib.import_module(NAME)
IS_COMPILED = isinstance(getattr(installed.__spec__, "loader", None),
                         importlib.machinery.ExtensionFileLoader)
MODULES = {"compiled": installed if IS_COMPILED else None,
           "python": load_python_module() if IS_COMPILED else installed}
LOADERS = {"compiled": load_compiled_module, "python": load_python_module}


def pytest_addoption(parser):
    parser.addoption("--implementation", action="append", choices=sorted(MODULES),
                     help="test this implementation only (may be given twice; default: "
                          "each that is installed)")


def chosen(config):
    wanted = config.getoption("implementation") or sorted(MODULES)
    return [name for name in sorted(MODULES) if name in wanted and MODULES[name] is not None]


def pytest_generate_tests(metafunc):
    if "implementation" in metafunc.fixturenames:
        metafunc.parametrize("implementation", chosen(metafunc.config))


def pytest_collection_modifyitems(config, items):
    if sys.implementation.name != "cpython":
        skip = pytest.mark.skip(reason="states what CPython's own objects do")
        for item in items:
            if "cpython" in item.keywords:
                item.add_marker(skip)


@contextlib.contextmanager
def installed_as(module):
    """`module` as the one `import` gives, meanwhile: for what finds a
    module by its name (pickle, inspect, pydoc)."""
    saved = sys.modules[NAME]
    sys.modules[NAME] = module
    try:
        yield module
    finally:
        sys.modules[NAME] = saved


@pytest.fixture
def m(implementation):
    """The module, in the implementation under test."""
    return MODULES[implementation]


@pytest.fixture
def fresh(implementation):
    """A module object of its own, for tests that change classes in ways
    that cannot be undone (as with any Python class, deleting a __new__ that
    was added leaves object.__new__ refusing arguments)."""
    return LOADERS[implementation]()


@pytest.fixture
def compiled(request):
    """The compiled module, for what only it can show or what it is compared on."""
    if "compiled" not in chosen(request.config):
        pytest.skip("no compiled module is tested here")
    return MODULES["compiled"]


@pytest.fixture
def python():
    """The module in plain Python: what Python does."""
    return MODULES["python"]


@pytest.fixture
def models(m, tmp_path, monkeypatch):
    """A package root of our own: ROOT_DIR points at a temporary directory
    whose config/npu_config holds the files the test writes."""
    folder = tmp_path / "config" / "npu_config"
    folder.mkdir(parents=True)
    monkeypatch.setattr(m, "ROOT_DIR", str(tmp_path))

    class Models:
        root = str(tmp_path)
        dir = folder

        @staticmethod
        def write(name, text):
            path = folder / name
            path.write_text(textwrap.dedent(text))
            return str(path)

    return Models


# Code that makes `import ovralite.api.npu_config.npu_config` load the module
# in Python where the compiled one would be found: a fresh interpreter of a
# test about that implementation starts with it.
PYTHON_IMPORT = """
import importlib.abc, importlib.util, sys
class _PythonModule(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == {name!r}:
            return importlib.util.spec_from_file_location(name, {path!r})
sys.meta_path.insert(0, _PythonModule())
""".format(name=NAME, path=PYTHON_SOURCE)


def run_python(code, *flags, env=None, cwd=None, file_permissions=False, timeout=120,
               implementation="compiled"):
    """Runs `code` in a fresh interpreter, where `import` gives the module in
    `implementation`; returns the completed process. With file_permissions,
    the process is denied what file permissions deny even when the tests run
    as root (which otherwise reads any file)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    code = textwrap.dedent(code)
    if implementation == "python" and IS_COMPILED:
        code = PYTHON_IMPORT + code
    command = [sys.executable, *flags, "-c", code]
    # Under emulation (make test-aarch64) the interpreter runs through its
    # emulator, as the suite itself does.
    command = os.environ.get("NPU_TEST_EMULATOR", "").split() + command
    if file_permissions and os.geteuid() == 0:
        caps = "-dac_override,-dac_read_search"
        command = ["setpriv", "--inh-caps=" + caps, "--bounding-set=" + caps] + command
    return subprocess.run(command, capture_output=True, text=True, env=full_env, cwd=cwd,
                          timeout=timeout)


# The program as pip installed it beside this interpreter.
PROGRAM = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")


def run_shell(command, cwd, env=None, timeout=60):
    """bash running `command` in `cwd` as a user types it, this environment's
    programs (ovralite-npu) first on the path; returns the completed process."""
    full_env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(PROGRAM),
                                                      os.environ.get("PATH", "")]))
    full_env.update(env or {})
    return subprocess.run(["bash", "-c", command], cwd=str(cwd), capture_output=True,
                          text=True, env=full_env, timeout=timeout)
