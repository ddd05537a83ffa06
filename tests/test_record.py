"""DeviceConfig: defaults, the data-type check, ownership of the list,
assignment order, and failures with what they leave behind."""
import pytest

from conftest import ATTRIBUTES

pytestmark = [pytest.mark.port, pytest.mark.shortcuts]


def test_defaults_and_attribute_order(m):
    d = m.DeviceConfig("VIP8000", "0XFF")
    assert list(vars(d)) == ATTRIBUTES
    assert vars(d) == {
        "target": "VIP8000", "pid": "0XFF", "optimization": True, "core": 1,
        "mad_per_core": 64, "input_buffer_depth": 12, "evis": 2, "nn_support_dtypes": [],
        "ext_sram_sizes": "0x0", "sdk_dir": "LION", "simulator_config": "VIPNANOQ_PID0X82",
        "ext_axi_sram_sizes": "0"}
    assert d.optimization is True and d.pid == "0XFF"
    assert m.DeviceConfig("t", "p").__init__("again", "q") is None


def test_values_are_stored_as_given(m):
    marker = object()
    d = m.DeviceConfig(marker, 255, core="two", evis=None, sdk_dir=marker)
    assert d.target is marker and d.pid == 255 and d.core == "two"
    assert d.evis is None and d.sdk_dir is marker


def test_list_is_copied_in(m):
    shared_default = m.DeviceConfig.__init__.__defaults__[4]
    a = m.DeviceConfig("a", "p")
    b = m.DeviceConfig("b", "p")
    assert a.nn_support_dtypes == [] and a.nn_support_dtypes is not b.nn_support_dtypes
    assert a.nn_support_dtypes is not shared_default
    a.nn_support_dtypes.append("float16")
    assert b.nn_support_dtypes == [] and shared_default == []
    assert m.DeviceConfig("c", "p").nn_support_dtypes == []
    mine = ["float16", "float16"]
    c = m.DeviceConfig("c", "p", nn_support_dtypes=mine)
    mine.append("float32")
    assert c.nn_support_dtypes == ["float16", "float16"]
    assert m.DeviceConfig("d", "p", nn_support_dtypes=None).nn_support_dtypes == []


def test_copy_is_deep(m):
    class Name(str):
        pass

    element = Name("float16")
    d = m.DeviceConfig("t", "p", nn_support_dtypes=[element])
    assert d.nn_support_dtypes == ["float16"]
    assert d.nn_support_dtypes[0] is not element  # a str subclass is copied too
    t = m.DeviceConfig("t", "p", nn_support_dtypes=("float16",))
    assert t.nn_support_dtypes == ("float16",)


def test_generator_is_consumed_by_the_check_then_fails_to_copy(m):
    # deepcopy cannot copy a generator: the failure comes after seven
    # attributes are assigned, exactly as in Python.
    d = m.DeviceConfig.__new__(m.DeviceConfig)
    with pytest.raises(TypeError, match="generator"):
        d.__init__("t", "p", nn_support_dtypes=(x for x in ["float32"]))
    assert list(vars(d)) == ATTRIBUTES[:7]


@pytest.mark.parametrize("dtypes", [
    ["FLOAT16"], ["Float16"], ["float16", "int32"], "float16", [None], ["dynamic_fixed_point-i8"],
])
def test_unknown_names_fail_the_assertion_before_any_assignment(m, dtypes):
    d = m.DeviceConfig.__new__(m.DeviceConfig)
    with pytest.raises(AssertionError) as info:
        d.__init__("t", "p", nn_support_dtypes=dtypes)
    assert info.value.args == () and str(info.value) == ""
    assert vars(d) == {}


def test_not_iterable_is_a_type_error_before_any_assignment(m):
    d = m.DeviceConfig.__new__(m.DeviceConfig)
    with pytest.raises(TypeError, match="not iterable"):
        d.__init__("t", "p", nn_support_dtypes=5)
    assert vars(d) == {}


def test_twelve_positional_arguments(m):
    d = m.DeviceConfig("t", "p", 2, 3, 4, 5, ["float32"], False, "a", "b", "c", "d")
    assert d.nn_support_dtypes == ["float32"] and d.optimization is False
    assert (d.ext_sram_sizes, d.sdk_dir, d.simulator_config, d.ext_axi_sram_sizes) == (
        "a", "b", "c", "d")


def test_vocabulary_is_read_from_the_module_at_call_time(m, monkeypatch):
    calls = []

    class Vocabulary:
        @classmethod
        def get_options(cls):
            calls.append(cls)
            return ["int32"]

    monkeypatch.setattr(m, "DeviceDtype", Vocabulary)
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["int32"]).nn_support_dtypes == ["int32"]
    m.DeviceConfig("t", "p")
    assert calls == [Vocabulary, Vocabulary]  # once per construction, also for an empty list
    with pytest.raises(AssertionError):
        m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    monkeypatch.undo()
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["float16"]).nn_support_dtypes == ["float16"]


def test_subclassed_vocabulary_rebound_in_the_module(m, monkeypatch):
    class Wider(m.DeviceDtype):
        @classmethod
        def get_quantization_dtype(cls):
            return super().get_quantization_dtype() + ["int4"]

    with pytest.raises(AssertionError):
        m.DeviceConfig("t", "p", nn_support_dtypes=["int4"])
    monkeypatch.setattr(m, "DeviceDtype", Wider)
    assert m.DeviceConfig("t", "p", nn_support_dtypes=["int4"]).nn_support_dtypes == ["int4"]


def test_missing_vocabulary_name_is_a_name_error(m, monkeypatch):
    monkeypatch.delattr(m, "DeviceDtype")
    with pytest.raises(NameError, match="name 'DeviceDtype' is not defined"):
        m.DeviceConfig("t", "p")


def test_copy_is_read_from_the_module_at_call_time(m, monkeypatch):
    seen = []

    class Copier:
        @staticmethod
        def deepcopy(value):
            seen.append(value)
            return ["copied"]

    monkeypatch.setattr(m, "copy", Copier)
    d = m.DeviceConfig("t", "p", nn_support_dtypes=["float16"])
    assert d.nn_support_dtypes == ["copied"] and seen == [["float16"]]


def test_failing_deep_copy_leaves_the_first_seven_attributes(m, monkeypatch):
    class Copier:
        @staticmethod
        def deepcopy(value):
            raise MemoryError("copy failed")

    monkeypatch.setattr(m, "copy", Copier)
    d = m.DeviceConfig.__new__(m.DeviceConfig)
    with pytest.raises(MemoryError, match="copy failed"):
        d.__init__("t", "p")
    assert list(vars(d)) == ATTRIBUTES[:7]


class Boom(Exception):
    pass


def test_exceptions_from_elements_and_iteration_pass_through(m):
    class Odd:
        def __eq__(self, other):
            raise Boom("eq")

    def broken():
        yield "float16"
        raise Boom("midway")

    with pytest.raises(Boom, match="eq"):
        m.DeviceConfig("t", "p", nn_support_dtypes=[Odd()])
    with pytest.raises(Boom, match="midway"):
        m.DeviceConfig("t", "p", nn_support_dtypes=broken())


def test_exception_from_get_options_passes_through(m, monkeypatch):
    class Vocabulary:
        @classmethod
        def get_options(cls):
            raise Boom("options")

    monkeypatch.setattr(m, "DeviceDtype", Vocabulary)
    with pytest.raises(Boom, match="options"):
        m.DeviceConfig("t", "p")


def test_equal_objects_pass_the_check(m):
    class Alias:
        def __eq__(self, other):
            return other == "float32"

        def __deepcopy__(self, memo):
            return "float32"

    d = m.DeviceConfig("t", "p", nn_support_dtypes=[Alias()])
    assert d.nn_support_dtypes == ["float32"]


def test_records_compare_by_identity(m):
    a, b = m.DeviceConfig("t", "p"), m.DeviceConfig("t", "p")
    assert a != b and a == a and hash(a) != hash(b)


def test_subclass_with_property_goes_through_setattr(m):
    class Checked(m.DeviceConfig):
        @property
        def core(self):
            return self._core

        @core.setter
        def core(self, value):
            self._core = int(value) * 10

    assert Checked("t", "p", core="3").core == 30
    assert Checked("t", "p").serialize()["core"] == 10
