"""Every change a caller can make to what the operations use is honoured, as
it would be by the same code written in Python: the module's own shortcuts
(the vocabulary lists, the record class's call) must not hide any of them."""
import copy
import gc
import sys
import weakref

import pytest

from conftest import ATTRIBUTES

pytestmark = [pytest.mark.shortcuts]


def test_patched_deepcopy_in_the_copy_module_is_called(m, monkeypatch):
    m.DeviceConfig("warm", "up")
    calls = []
    real = copy.deepcopy

    def spy(value, memo=None):
        calls.append(value)
        return real(value, memo)

    monkeypatch.setattr(copy, "deepcopy", spy)
    d = m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    d.serialize()
    assert calls == [["float16"], ["float16"]]
    monkeypatch.undo()
    m.DeviceConfig("t", "p")
    assert len(calls) == 2  # the standard function again


def profiled_calls(action):
    """Names of the Python functions a profiler sees called during `action`."""
    called = []

    def profiler(frame, event, arg):
        if event == "call":
            called.append(frame.f_code.co_name)

    sys.setprofile(profiler)
    try:
        action()
    finally:
        sys.setprofile(None)
    return called


def test_a_profiler_sees_the_calls_of_the_general_path(m):
    m.DeviceConfig("warm", "up")
    called = profiled_calls(
        lambda: m.DeviceConfig("t", "p", nn_support_dtypes=["float16"]).serialize())
    assert called.count("deepcopy") >= 4  # the list and its element, twice
    assert "_deepcopy_list" in called


def test_changed_vocabulary_class_is_read(m, monkeypatch):
    m.DeviceConfig("warm", "up", nn_support_dtypes=["float16"])
    monkeypatch.setattr(m.DeviceDtype, "FLOAT16", "half")
    with pytest.raises(AssertionError):
        m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["half"]).nn_support_dtypes == ["half"]
    monkeypatch.setattr(m.DeviceDtype, "get_options", classmethod(lambda cls: ["only"]))
    assert m.DeviceDtype.get_options() == ["only"]
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["only"]).nn_support_dtypes == ["only"]
    monkeypatch.undo()
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["float16"]).nn_support_dtypes == ["float16"]
    assert m.DeviceDtype.get_options()[-2:] == ["float16", "float32"]
    assert m.InitOptimization.get_options()[-1] == "manual"
    monkeypatch.setattr(m.InitOptimization, "MANUAL", "by hand")
    assert m.InitOptimization.get_options()[-1] == "by hand"


def test_setattr_and_descriptors_on_the_record_class(m, monkeypatch):
    m.DeviceConfig("warm", "up")
    stored = []

    def spy(self, name, value):
        stored.append(name)
        object.__setattr__(self, name, value)

    monkeypatch.setattr(m.DeviceConfig, "__setattr__", spy, raising=False)
    m.DeviceConfig("t", "p")
    assert stored == ATTRIBUTES
    monkeypatch.undo()
    monkeypatch.setattr(m.DeviceConfig, "evis", property(lambda self: 99, lambda s, v: None),
                        raising=False)
    d = m.DeviceConfig("t", "p")
    assert d.evis == 99 and "evis" not in vars(d)
    assert d.serialize()["evis"] == 99


def test_replaced_init_and_new_are_used_by_the_class_call(fresh):
    cls = fresh.DeviceConfig
    cls("warm", "up")
    original = cls.__init__
    cls.__init__ = lambda self, *a, **k: setattr(self, "x", a)
    assert vars(cls(1, 2)) == {"x": (1, 2)}
    cls.__init__ = original
    assert cls("t", "p").target == "t"
    made = []

    def new(c, *args, **kwargs):
        made.append(args)
        return object.__new__(c)

    cls.__new__ = new
    assert cls("t", "p", core=3).core == 3 and made == [("t", "p")]

    def other(c, *args, **kwargs):
        return "not a record"

    cls.__new__ = other
    assert cls("t", "p") == "not a record"


@pytest.mark.cpython
def test_init_returning_something_is_an_error(fresh):
    fresh.DeviceConfig.__init__ = lambda self: 5
    with pytest.raises(TypeError, match="__init__\\(\\) should return None, not 'int'"):
        fresh.DeviceConfig()


def test_reinit_of_an_existing_record_keeps_extra_attributes(m):
    d = m.DeviceConfig("a", "b")
    d.extra = 1
    d.__init__("c", "d", core=5)
    assert list(vars(d))[:2] == ["target", "pid"] and d.extra == 1 and d.core == 5


def test_records_do_not_keep_their_values_alive(m):
    class Marker:
        pass

    for _ in range(3):
        marker = Marker()
        ref = weakref.ref(marker)
        m.DeviceConfig(marker, marker, sdk_dir=marker, nn_support_dtypes=None)
        del marker
        gc.collect()
        assert ref() is None


def test_subclass_instances_take_the_general_path(m):
    order = []

    class Loud(m.DeviceConfig):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    Loud("t", "p")
    assert len(order) == 12


def test_renamed_module_names_are_honoured_at_every_call(m, monkeypatch):
    m.DeviceConfig("warm", "up")
    import collections
    monkeypatch.setattr(m, "OrderedDict", dict)
    assert type(m.DeviceConfig("t", "p").serialize()) is dict
    monkeypatch.setattr(m, "OrderedDict", collections.OrderedDict)
    assert type(m.DeviceConfig("t", "p").serialize()) is collections.OrderedDict


# --- reading the section view -------------------------------------------------

import configparser  # noqa: E402


def test_profiler_sees_the_section_views_own_reads(m, models):
    models.write("M", "[device]\ncore = 2\n")
    m.NPUConfig("M")
    called = profiled_calls(lambda: m.NPUConfig("M"))
    assert called.count("get") >= 15  # SectionProxy.get for every key, and the parser's


def test_converters_of_a_parser_subclass_are_used(m, models, monkeypatch):
    class Parser(configparser.ConfigParser):
        def getint(self, section, option, **kwargs):
            return 1000 + super().getint(section, option, **kwargs)

    class Strict(configparser.ConfigParser):
        def __init__(self, **kwargs):
            super().__init__(converters={"boolean": lambda v: v == "exactly"}, **kwargs)

    class Module:
        ConfigParser = Parser

    models.write("M", "[device]\ncore = 2\n")
    monkeypatch.setattr(m, "configparser", Module)
    assert m.NPUConfig("M").device.core == 1002
    models.write("M", "[device]\nfloat16_support = exactly\n")
    Module.ConfigParser = Strict
    device = m.NPUConfig("M").device
    assert device.nn_support_dtypes == ["float16", "dynamic_fixed_point-8"]


