"""DeviceDtype and InitOptimization: values, order, fresh lists, subclasses."""
import pytest

pytestmark = [pytest.mark.port, pytest.mark.shortcuts]

QUANTIZED = ["dynamic_fixed_point-8", "dynamic_fixed_point-16", "dynamic_fixed_point-u8",
             "dynamic_fixed_point-u16", "asymmetric_quantized-u8"]


def test_constants(m):
    assert (m.InitOptimization.ENABLE_ALL, m.InitOptimization.DISABLE_ALL,
            m.InitOptimization.MANUAL) == ("enable_all", "disable_all", "manual")
    d = m.DeviceDtype
    assert d.DYNAMIC_FIXED_POINT_INT8 == "dynamic_fixed_point-8"
    assert d.DYNAMIC_FIXED_POINT_INT16 == "dynamic_fixed_point-16"
    assert d.DYNAMIC_FIXED_POINT_UINT16 == "dynamic_fixed_point-u16"
    assert d.DYNAMIC_FIXED_POINT_UINT8 == "dynamic_fixed_point-u8"
    assert d.SCALE_AFFINE_UINT8 == "asymmetric_quantized-u8"
    assert (d.FLOAT16, d.FLOAT32, d.INT32) == ("float16", "float32", "int32")


def test_lists_in_their_order(m):
    assert m.InitOptimization.get_options() == ["enable_all", "disable_all", "manual"]
    assert m.DeviceDtype.get_quantization_dtype() == QUANTIZED
    assert m.DeviceDtype.get_options() == QUANTIZED + ["float16", "float32"]
    assert "int32" not in m.DeviceDtype.get_options()


@pytest.mark.parametrize("query", [
    lambda c: c.InitOptimization.get_options(),
    lambda c: c.DeviceDtype.get_quantization_dtype(),
    lambda c: c.DeviceDtype.get_options(),
    lambda c: c.DeviceDtype().get_options(),
])
def test_every_call_returns_a_new_list(m, query):
    first = query(m)
    first.append("mine")
    second = query(m)
    assert second is not first and "mine" not in second
    assert type(second) is list


def test_subclass_values_are_read_through_the_subclass(m):
    class Wide(m.DeviceDtype):
        FLOAT32 = "float64"

    class Custom(m.DeviceDtype):
        @classmethod
        def get_quantization_dtype(cls):
            return ["int4"]

    class Manual(m.InitOptimization):
        MANUAL = "by-hand"

    assert Wide.get_options()[-1] == "float64"
    assert Custom.get_options() == ["int4", "float16", "float32"]
    assert Manual.get_options() == ["enable_all", "disable_all", "by-hand"]
    assert m.DeviceDtype.get_options()[-1] == "float32"
    assert m.InitOptimization.get_options()[-1] == "manual"


def test_changes_to_the_class_are_seen_at_call_time(m, monkeypatch):
    monkeypatch.setattr(m.DeviceDtype, "FLOAT16", "half")
    assert m.DeviceDtype.get_options()[5] == "half"
    monkeypatch.setattr(m.DeviceDtype, "DYNAMIC_FIXED_POINT_UINT8", "u8!")
    assert m.DeviceDtype.get_quantization_dtype()[2] == "u8!"
    monkeypatch.undo()
    assert m.DeviceDtype.get_options() == QUANTIZED + ["float16", "float32"]


def test_missing_constant_raises_and_returns_nothing(m, monkeypatch):
    monkeypatch.delattr(m.DeviceDtype, "SCALE_AFFINE_UINT8")
    with pytest.raises(AttributeError, match="SCALE_AFFINE_UINT8"):
        m.DeviceDtype.get_options()
    monkeypatch.undo()
    monkeypatch.delattr(m.InitOptimization, "DISABLE_ALL")
    with pytest.raises(AttributeError, match="DISABLE_ALL"):
        m.InitOptimization.get_options()


def test_get_options_adds_whatever_the_override_returns(m):
    class AsTuple(m.DeviceDtype):
        @classmethod
        def get_quantization_dtype(cls):
            return ("a",)

    class Raising(m.DeviceDtype):
        @classmethod
        def get_quantization_dtype(cls):
            raise LookupError("from override")

    class Adder(m.DeviceDtype):
        @classmethod
        def get_quantization_dtype(cls):
            class Left:
                def __add__(self, other):
                    return ("added", other)
            return Left()

    with pytest.raises(TypeError):
        AsTuple.get_options()
    with pytest.raises(LookupError, match="from override"):
        Raising.get_options()
    assert Adder.get_options() == ("added", ["float16", "float32"])


def test_names_match_exactly(m):
    options = m.DeviceDtype.get_options()
    assert "Float16" not in options and "dynamic_fixed_point-i8" not in options
