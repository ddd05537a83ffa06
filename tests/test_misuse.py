"""Misuse must end in a Python exception, never a crash or a SystemError
(which would mean an error path of the module broke the C API's rules)."""
import configparser

import pytest

from conftest import ATTRIBUTES

pytestmark = [pytest.mark.port]

NAMES = ["DeviceDtype", "DeviceConfig", "copy", "OrderedDict", "configparser", "os",
         "ROOT_DIR", "ovraLog"]
WRONG = [None, 5, "text", object(), type("Empty", (), {}), [1, 2]]


def operations(m, record, loader):
    return {
        "record": lambda: m.DeviceConfig("t", "p", nn_support_dtypes=["float16"]),
        "serialize": record.serialize,
        "loader": lambda: m.NPUConfig("M"),
        "missing model": lambda: m.NPUConfig("absent"),
        "compatible": lambda: loader.is_quantize_method_compatible("float16"),
        "options": lambda: m.DeviceDtype.get_options(),
    }


def outcomes(module, root, misuse):
    """What each operation gives after `misuse(module)`: "ok", or its
    exception's type and message. The module is restored afterwards."""
    saved = dict(vars(module))
    module.ROOT_DIR = str(root)
    module.ovraLog = type("Quiet", (), {"e": staticmethod(lambda message: None)})()
    try:
        record, loader = module.DeviceConfig("t", "p"), module.NPUConfig("M")
        misuse(module)
        seen = {}
        for name, operation in operations(module, record, loader).items():
            try:
                operation()
                seen[name] = "ok"
            except Exception as error:
                seen[name] = (type(error).__name__, str(error))
        return seen
    finally:
        vars(module).clear()
        vars(module).update(saved)


@pytest.fixture
def root(tmp_path):
    (tmp_path / "config" / "npu_config").mkdir(parents=True)
    (tmp_path / "config" / "npu_config" / "M").write_text(
        "[device]\ncore = 2\nfloat16_support = yes\n")
    return tmp_path


DELETED = object()  # the name deleted from the module


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("wrong", WRONG + [DELETED],
                         ids=lambda v: "deleted" if v is DELETED else type(v).__name__)
def test_module_names_bound_to_wrong_objects_or_deleted(compiled, python, root, name, wrong):
    def misuse(module):
        if wrong is DELETED:
            delattr(module, name)
        else:
            setattr(module, name, wrong)

    ours = outcomes(compiled, root, misuse)
    assert not any(isinstance(o, tuple) and o[0] == "SystemError" for o in ours.values()), ours
    assert ours == outcomes(python, root, misuse)


@pytest.mark.parametrize("attribute", ATTRIBUTES)
def test_deleted_record_attributes(m, attribute):
    record = m.DeviceConfig("t", "p")
    delattr(record, attribute)
    with pytest.raises(AttributeError, match=attribute):
        record.serialize()


def test_record_list_replaced_by_other_objects(m):
    record = m.DeviceConfig("t", "p")
    loader = m.NPUConfig.__new__(m.NPUConfig)
    loader.device = record
    for value in (None, 5, "float16", {"float16": 1}, ("float16",)):
        record.nn_support_dtypes = value
        try:
            result = loader.is_quantize_method_compatible("float16")
        except TypeError:
            assert value in (None, 5)
        else:
            assert result is (value not in (None, 5) and "float16" in value)
        assert record.serialize()["nn_support_dtypes"] == value


def test_subclasses_that_override_everything(m, models, monkeypatch):
    class Loud(m.DeviceConfig):
        def __getattribute__(self, name):
            if name == "pid":
                raise LookupError("no pid")
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            if name == "sdk_dir":
                raise PermissionError("read-only")
            super().__setattr__(name, value)

    with pytest.raises(PermissionError):
        Loud("t", "p")
    record = Loud.__new__(Loud)
    object.__setattr__(record, "target", "t")
    with pytest.raises(LookupError):
        m.DeviceConfig.serialize(record)

    class Parser(configparser.ConfigParser):
        def __contains__(self, key):
            raise RuntimeError("no membership")

    class Module:
        ConfigParser = Parser

    models.write("M", "[device]\n")
    monkeypatch.setattr(m, "configparser", Module)
    with pytest.raises(RuntimeError, match="no membership"):
        m.NPUConfig("M")


def test_unusual_self_objects(m):
    for obj in (object(), 5, "text"):
        with pytest.raises(AttributeError):
            m.DeviceConfig.__init__(obj, "t", "p")
        with pytest.raises(AttributeError):
            m.DeviceConfig.serialize(obj)
        with pytest.raises(AttributeError):
            m.NPUConfig.is_quantize_method_compatible(obj, "x")
    # Any object with a namespace takes the attributes, as with a Python method.
    other = m.NPUConfig.__new__(m.NPUConfig)
    m.DeviceConfig.__init__(other, "t", "p")
    assert m.DeviceConfig.serialize(other)["target"] == "t"


def test_hostile_comparisons_and_iterables(m):
    class Raising:
        def __eq__(self, other):
            raise ZeroDivisionError

        __hash__ = object.__hash__

    class BadIter:
        def __iter__(self):
            return self

        def __next__(self):
            raise OSError("iteration")

    with pytest.raises(ZeroDivisionError):
        m.DeviceConfig("t", "p", nn_support_dtypes=[Raising()])
    with pytest.raises(OSError, match="iteration"):
        m.DeviceConfig("t", "p", nn_support_dtypes=BadIter())
    loader = m.NPUConfig.__new__(m.NPUConfig)
    loader.device = m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    with pytest.raises(ZeroDivisionError):
        loader.is_quantize_method_compatible(Raising())


@pytest.mark.cpython
def test_function_called_with_strange_keyword_containers(m):
    init = m.DeviceConfig.__init__
    record = m.DeviceConfig.__new__(m.DeviceConfig)

    class Key(str):
        def __eq__(self, other):
            raise KeyError("eq")

        __hash__ = str.__hash__

    with pytest.raises(KeyError):
        init(record, "t", "p", **{Key("nope"): 1})
    init(record, "t", "p", **{Key.__new__(str, "core"): 3})
    assert record.core == 3


def test_vocabulary_that_returns_strange_containers(m, monkeypatch):
    class Weird:
        @classmethod
        def get_options(cls):
            return 5

    monkeypatch.setattr(m, "DeviceDtype", Weird)
    # No membership test runs for an empty list.
    assert m.DeviceConfig("t", "p").nn_support_dtypes == []
    with pytest.raises(TypeError):
        m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
