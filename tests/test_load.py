"""The module load: names bound, their order and values, and failing loads."""
import collections
import configparser
import copy
import gc
import os
import sys
import types
import weakref

import pytest
import yaml

import ovralite.api.npu_config as package
import ovralite.api.ovra_log as ovra_log
from conftest import LOADERS, run_python

OWN_NAMES = [
    "os", "sys", "copy", "configparser", "yaml", "OrderedDict", "ovraLog",
    "current_file_path", "ROOT_DIR", "InitOptimization", "DeviceDtype",
    "DeviceConfig", "NPUConfig",
]
CLASSES = ["InitOptimization", "DeviceDtype", "DeviceConfig", "NPUConfig"]


@pytest.mark.process
def test_names_bound_in_load_order_and_no_others(m, implementation):
    # In a fresh interpreter: other tests rebind names and so reorder them.
    proc = run_python("""
        import ovralite.api.npu_config.npu_config as m
        print(' '.join(n for n in vars(m) if not (n.startswith('__') and n.endswith('__'))))
    """, implementation=implementation)
    assert proc.stdout.split() == OWN_NAMES
    assert m.__doc__ is None
    assert m.__name__ == "ovralite.api.npu_config.npu_config"


@pytest.mark.process
def test_load_seen_by_audit_hooks_and_inspect_as_in_python(implementation):
    # Hooks that watch for code objects being made, and help()'s comments.
    code = """
        import inspect, sys
        events = []
        sys.addaudithook(lambda event, args: event.startswith("code.") and events.append(event))
        import ovralite.api.npu_config.npu_config as m
        print(events, repr(inspect.getcomments(m)))
    """
    seen = run_python(code, implementation=implementation)
    expected = run_python(code, implementation="python")
    assert (seen.returncode, seen.stdout) == (0, expected.stdout), seen.stderr


@pytest.mark.port
def test_imports_are_the_real_modules(m):
    assert m.os is os and m.sys is sys and m.copy is copy
    assert m.configparser is configparser and m.yaml is yaml
    assert m.OrderedDict is collections.OrderedDict


@pytest.mark.port
def test_logger_is_the_package_logger_itself(m):
    assert m.ovraLog is ovra_log.OVRALog


@pytest.mark.port
def test_current_file_path_is_the_package_init_file(m):
    assert m.current_file_path == package.__file__
    assert os.path.basename(m.current_file_path) == "__init__.py"
    assert m.current_file_path != m.__file__


@pytest.mark.port
def test_root_dir_is_the_normalised_top_package_directory(m):
    expected = os.path.abspath(os.path.join(os.path.dirname(package.__file__), "..", ".."))
    assert m.ROOT_DIR == expected
    assert ".." not in m.ROOT_DIR.split(os.sep)
    assert not m.ROOT_DIR.endswith(os.sep)
    assert os.path.basename(m.ROOT_DIR) == "ovralite"


@pytest.mark.port
def test_classes_are_plain_python_classes(m):
    for name in CLASSES:
        cls = getattr(m, name)
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "ovralite.api.npu_config.npu_config"
        assert cls.__qualname__ == cls.__name__ == name
        assert cls.__doc__ is None


@pytest.mark.port
def test_class_bodies_in_definition_order(m):
    def own(cls):
        return [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]

    assert own(m.InitOptimization) == ["ENABLE_ALL", "DISABLE_ALL", "MANUAL", "get_options"]
    assert own(m.DeviceDtype) == [
        "DYNAMIC_FIXED_POINT_INT8", "DYNAMIC_FIXED_POINT_INT16",
        "DYNAMIC_FIXED_POINT_UINT16", "DYNAMIC_FIXED_POINT_UINT8", "SCALE_AFFINE_UINT8",
        "FLOAT16", "FLOAT32", "INT32", "get_quantization_dtype", "get_options"]
    assert own(m.DeviceConfig) == ["__init__", "serialize"]
    assert own(m.NPUConfig) == ["__init__", "is_quantize_method_compatible"]
    for cls in (m.InitOptimization, m.DeviceDtype):
        assert isinstance(vars(cls)["get_options"], classmethod)
    assert isinstance(vars(m.DeviceDtype)["get_quantization_dtype"], classmethod)


@pytest.mark.port
def test_reimport_returns_the_same_module():
    import importlib
    installed = importlib.import_module("ovralite.api.npu_config.npu_config")
    assert importlib.import_module("ovralite.api.npu_config.npu_config") is installed


@pytest.mark.port
def test_fresh_load_runs_again_with_its_own_state(m, fresh):
    # Multi-phase initialisation: a second module object from the same
    # extension is independent of the first.
    other = fresh
    assert other is not m and other.DeviceConfig is not m.DeviceConfig
    assert other.DeviceConfig("a", "b").serialize()["target"] == "a"
    assert other.DeviceDtype.get_options() == m.DeviceDtype.get_options()


def _load_fails(setup, implementation):
    proc = run_python(setup + "\nimport ovralite.api.npu_config.npu_config\n",
                      implementation=implementation)
    assert proc.returncode != 0
    return proc.stderr.strip().splitlines()[-1]


@pytest.mark.process
@pytest.mark.parametrize("setup, error", [
    ("import sys; sys.modules['yaml'] = None", "ModuleNotFoundError"),
    ("import ovralite.api.ovra_log as l; del l.OVRALog", "ImportError"),
    ("import sys; sys.modules['ovralite.api.ovra_log'] = None", "ModuleNotFoundError"),
    ("import ovralite.api.npu_config as p; del p.__file__", "ImportError"),
])
def test_failing_loads_fail_as_in_python(compiled, setup, error):
    last = _load_fails(setup, "compiled")
    assert last.startswith(error + ":")
    assert last == _load_fails(setup, "python")


# Records the imports the module makes (and fails the one named FAIL).
IMPORT_SPY = """
import builtins, sys
real = builtins.__import__
seen = []
def spy(name, globals=None, locals=None, fromlist=(), level=0):
    if globals and globals.get('__name__', '').endswith('npu_config.npu_config'):
        seen.append((name, fromlist, level))
        if name == FAIL:
            raise KeyError(name)
    return real(name, globals, locals, fromlist, level)
builtins.__import__ = spy
"""


@pytest.mark.process
def test_import_errors_pass_through_unchanged_and_load_stops(implementation):
    proc = run_python("FAIL = 'configparser'" + IMPORT_SPY + """
try:
    import ovralite.api.npu_config.npu_config
except KeyError as e:
    print('KeyError', e)
print(seen)
print('ovralite.api.npu_config.npu_config' in sys.modules)
""", implementation=implementation)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "KeyError 'configparser'"
    assert lines[1] == "[('os', None, 0), ('sys', None, 0), ('copy', None, 0), ('configparser', None, 0)]"
    assert lines[2] == "False"


@pytest.mark.process
def test_imports_go_through_builtins_import_in_order(implementation):
    proc = run_python("FAIL = None" + IMPORT_SPY + """
import ovralite.api.npu_config.npu_config
for s in seen: print(s)
""", implementation=implementation)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "('os', None, 0)", "('sys', None, 0)", "('copy', None, 0)",
        "('configparser', None, 0)", "('yaml', None, 0)",
        "('collections', ('OrderedDict',), 0)",
        "('ovralite.api.ovra_log', ('OVRALog',), 0)",
        "('', ('__file__',), 1)",
    ]


@pytest.mark.process
def test_assertions_follow_the_interpreter_flag_at_load(implementation):
    code = """
        from ovralite.api.npu_config.npu_config import DeviceConfig
        d = DeviceConfig('t', 'p', nn_support_dtypes=['int32', 'FLOAT16'])
        print(d.nn_support_dtypes)
    """
    optimized = run_python(code, "-O", implementation=implementation)
    assert optimized.returncode == 0, optimized.stderr
    assert optimized.stdout.strip() == "['int32', 'FLOAT16']"
    checked = run_python(code, implementation=implementation)
    assert checked.returncode != 0
    assert checked.stderr.strip().splitlines()[-1] == "AssertionError"


@pytest.mark.cpython
@pytest.mark.port
def test_dropped_module_objects_are_collected_whole(implementation):
    # Module objects used and dropped: the collector finds them and all they
    # made (their classes, and the compiled module's function type, which
    # lives in the module's state), and rounds of them keep nothing.
    load = LOADERS[implementation]

    def use_and_drop():
        module = load()
        module.NPUConfig("VIPNANOQ_PID0X82").device.serialize()
        made = [module, module.DeviceConfig, module.DeviceDtype, module.NPUConfig,
                type(module.DeviceConfig.serialize)]
        return [weakref.ref(obj) for obj in made if obj is not types.FunctionType]

    def counts():
        # Without what the interpreter's caches keep of the classes it saw.
        getattr(sys, "_clear_internal_caches", getattr(sys, "_clear_type_cache", None))()
        gc.collect()
        return sys.getallocatedblocks(), getattr(sys, "gettotalrefcount", lambda: 0)()

    refs = use_and_drop()
    gc.collect()
    assert [ref() for ref in refs] == [None] * len(refs)
    before = counts()
    for _ in range(40):
        use_and_drop()
    blocks, references = (a - b for a, b in zip(counts(), before))
    assert blocks < 20 and references < 20, (blocks, references)
