"""The hot operations take shortcuts while nothing a caller can reach has
changed. Every change that the general path would notice must be noticed."""
import copy
import gc
import sys
import weakref

import pytest


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


def test_patched_dispatch_tables_are_used(m, monkeypatch):
    def copy_list(x, memo, deepcopy=None):
        return ["from", "dispatch"]

    monkeypatch.setitem(copy._deepcopy_dispatch, list, copy_list)
    assert m.DeviceConfig("t", "p").nn_support_dtypes == ["from", "dispatch"]

    def copy_text(x, memo):
        return x.upper()

    monkeypatch.setitem(copy._deepcopy_dispatch, list, copy._deepcopy_list)
    monkeypatch.setitem(copy._deepcopy_dispatch, str, copy_text)
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["float16"]).nn_support_dtypes == ["FLOAT16"]


def test_replaced_code_of_deepcopy_is_run(m, monkeypatch):
    def other(x, memo=None, _nil=[]):
        return "replaced"

    monkeypatch.setattr(copy.deepcopy, "__code__", other.__code__)
    assert m.DeviceConfig("t", "p").nn_support_dtypes == "replaced"


def test_changed_defaults_of_deepcopy_take_effect(m, monkeypatch):
    shared_memo = {}
    monkeypatch.setattr(copy.deepcopy, "__defaults__", (shared_memo, []))
    m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    assert shared_memo  # the general path ran with the shared memo


def test_shadowing_builtins_used_by_deepcopy(m, monkeypatch):
    import builtins
    seen = []
    real_id, real_type = builtins.id, builtins.type
    monkeypatch.setattr(copy, "id", lambda obj: seen.append(obj) or real_id(obj), raising=False)
    m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    assert ["float16"] in seen and "float16" in seen
    monkeypatch.undo()

    def spy_type(*args):
        if len(args) == 1:
            seen.append(("type", args[0]))
        return real_type(*args)

    seen.clear()
    monkeypatch.setattr(builtins, "type", spy_type)
    try:
        m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    finally:
        monkeypatch.undo()
    assert ("type", ["float16"]) in seen


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


def test_setattr_and_descriptors_on_the_record_class(m, monkeypatch):
    m.DeviceConfig("warm", "up")
    stored = []

    def spy(self, name, value):
        stored.append(name)
        object.__setattr__(self, name, value)

    monkeypatch.setattr(m.DeviceConfig, "__setattr__", spy, raising=False)
    m.DeviceConfig("t", "p")
    assert stored == ["target", "pid", "optimization", "core", "mad_per_core",
                      "input_buffer_depth", "evis", "nn_support_dtypes", "ext_sram_sizes",
                      "sdk_dir", "simulator_config", "ext_axi_sram_sizes"]
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


def test_copy_module_swapped_for_a_module_subclass(m, monkeypatch):
    m.DeviceConfig("warm", "up")
    import types

    class Loud(types.ModuleType):
        def __getattribute__(self, name):
            if name == "deepcopy":
                return lambda value: ["loud"]
            return super().__getattribute__(name)

    monkeypatch.setattr(copy, "__class__", Loud)
    assert m.DeviceConfig("t", "p").nn_support_dtypes == ["loud"]


# --- reading the section view -------------------------------------------------

import configparser  # noqa: E402


def test_profiler_sees_the_section_views_own_reads(m, models):
    models.write("M", "[device]\ncore = 2\n")
    m.NPUConfig("M")
    called = profiled_calls(lambda: m.NPUConfig("M"))
    assert called.count("get") >= 15  # SectionProxy.get for every key, and the parser's


def test_replaced_section_get_is_called(m, models, monkeypatch):
    models.write("M", "[device]\ncore = 2\n")
    m.NPUConfig("M")
    seen = []
    original = configparser.SectionProxy.get

    def spy(self, option, fallback=None, **kwargs):
        seen.append(option)
        return original(self, option, fallback, **kwargs)

    monkeypatch.setattr(configparser.SectionProxy, "get", spy)
    assert m.NPUConfig("M").device.core == 2
    assert seen[:3] == ["target", "pid", "optimization"] and len(seen) == 15


def test_changed_code_and_defaults_of_section_get(m, models, monkeypatch):
    models.write("M", "[device]\ntarget = %(x)s\nx = 1\n")
    assert m.NPUConfig("M").device.target == "1"
    kwdefaults = dict(configparser.SectionProxy.get.__kwdefaults__, raw=True)
    with monkeypatch.context() as patch:
        patch.setattr(configparser.SectionProxy.get, "__kwdefaults__", kwdefaults)
        assert m.NPUConfig("M").device.target == "%(x)s"  # raw read, as the view now does

    def other(self, option, fallback=None, *, raw=False, vars=None, _impl=None, **kwargs):
        return "other"

    with monkeypatch.context() as patch:
        patch.setattr(configparser.SectionProxy.get, "__code__", other.__code__)
        models.write("M", "[device]\n")
        assert m.NPUConfig("M").device.target == "other"
    assert m.NPUConfig("M").device.target == "VIP8000"


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


def test_converter_replaced_on_the_view_or_the_view_class(m, models, monkeypatch):
    models.write("M", "[device]\ncore = 2\n")

    class Parser(configparser.ConfigParser):
        def __getitem__(self, key):
            view = super().__getitem__(key)
            view.getint = lambda option, fallback: -1
            return view

    class Module:
        ConfigParser = Parser

    with monkeypatch.context() as patch:
        patch.setattr(m, "configparser", Module)
        device = m.NPUConfig("M").device
        assert (device.core, device.evis) == (-1, -1)

    class Renamed:
        # A data descriptor on the class wins over the view's own _name.
        def __get__(self, obj, cls):
            return self if obj is None else "other"

        def __set__(self, obj, value):
            obj.__dict__["_name"] = value

    models.write("M", "[device]\ncore = 2\n[other]\ncore = 9\n")
    with monkeypatch.context() as patch:
        patch.setattr(configparser.SectionProxy, "_name", Renamed(), raising=False)
        assert m.NPUConfig("M").device.core == 9
    assert m.NPUConfig("M").device.core == 2


def test_namespace_replaced_while_serializing_is_read_afresh(m):
    record = m.DeviceConfig("t", "p")

    class Swapper:
        # Runs inside serialize's deep copy and swaps the record's namespace.
        def __deepcopy__(self, memo):
            fresh = dict(vars(record), sdk_dir="new", simulator_config="newer")
            record.__dict__ = fresh
            return "copied"

    record.nn_support_dtypes = [Swapper()]
    out = record.serialize()
    assert out["nn_support_dtypes"] == ["copied"]
    assert (out["sdk_dir"], out["simulator_config"]) == ("new", "newer")


def test_section_get_keyword_defaults_changed_in_place(m, models):
    models.write("M", "[device]\ntarget = %(x)s\nx = 1\n")
    assert m.NPUConfig("M").device.target == "1"
    kwdefaults = configparser.SectionProxy.get.__kwdefaults__
    saved = dict(kwdefaults)
    try:
        kwdefaults["raw"] = True
        assert m.NPUConfig("M").device.target == "%(x)s"
        del kwdefaults["raw"]
        kwdefaults["other"] = 1
        with pytest.raises(TypeError, match="keyword-only argument: 'raw'"):
            m.NPUConfig("M")
    finally:
        kwdefaults.clear()
        kwdefaults.update(saved)
    assert m.NPUConfig("M").device.target == "1"


def test_namespace_replaced_by_an_item_store_is_read_afresh(m, monkeypatch):
    record = m.DeviceConfig("t", "p")

    class Swapping(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            if key == "pid":
                record.__dict__ = dict(vars(record), core=42)

    monkeypatch.setattr(m, "OrderedDict", Swapping)
    assert record.serialize()["core"] == 42
