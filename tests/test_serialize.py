"""DeviceConfig.serialize: keys, order, values, copies, failures."""
import collections

import pytest

pytestmark = [pytest.mark.port]

KEYS = ["target", "pid", "optimization", "core", "mad_per_core", "input_buffer_depth", "evis",
        "nn_support_dtypes", "extSRAMSizes", "extAXISRAMSizes", "sdk_dir", "simulator_config"]


def test_defaults_serialize_in_order(m):
    out = m.DeviceConfig("VIP8000", "0XFF").serialize()
    assert type(out) is collections.OrderedDict
    assert list(out.items()) == [
        ("target", "VIP8000"), ("pid", "0XFF"), ("optimization", True), ("core", 1),
        ("mad_per_core", 64), ("input_buffer_depth", 12), ("evis", 2),
        ("nn_support_dtypes", []), ("extSRAMSizes", "0x0"), ("extAXISRAMSizes", "0"),
        ("sdk_dir", "LION"), ("simulator_config", "VIPNANOQ_PID0X82")]
    assert "ext_sram_sizes" not in out and "ext_axi_sram_sizes" not in out


def test_values_are_the_attributes_themselves_but_the_list(m):
    marker = object()
    d = m.DeviceConfig("t", "p", nn_support_dtypes=["float16"], sdk_dir=marker)
    d.core = 2
    first, second = d.serialize(), d.serialize()
    assert first is not second
    assert first["sdk_dir"] is marker and first["core"] == 2
    assert first["nn_support_dtypes"] is not d.nn_support_dtypes
    assert first["nn_support_dtypes"] is not second["nn_support_dtypes"]
    first["nn_support_dtypes"].append("float32")
    assert d.nn_support_dtypes == ["float16"]
    d.nn_support_dtypes.append("int32")  # unchecked after construction
    assert d.serialize()["nn_support_dtypes"] == ["float16", "int32"]
    assert second["nn_support_dtypes"] == ["float16"]


def test_missing_attribute_raises_and_returns_nothing(m):
    d = m.DeviceConfig("t", "p")
    del d.sdk_dir
    with pytest.raises(AttributeError, match="sdk_dir"):
        d.serialize()


def test_module_names_read_at_call_time(m, monkeypatch):
    class Recording(dict):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            self.setdefault("_order", []).append(key) if key != "_order" else None

    class Copier:
        @staticmethod
        def deepcopy(value):
            return ("copied", list(value))

    record = m.DeviceConfig("t", "p")
    monkeypatch.setattr(m, "OrderedDict", Recording)
    monkeypatch.setattr(m, "copy", Copier)
    out = record.serialize()
    assert type(out) is Recording
    assert out["_order"] == KEYS
    assert out["nn_support_dtypes"] == ("copied", [])


def test_copy_is_looked_up_before_the_attribute(m, monkeypatch):
    d = m.DeviceConfig("t", "p")
    del d.nn_support_dtypes
    monkeypatch.delattr(m, "copy")
    with pytest.raises(NameError, match="copy"):
        d.serialize()


def test_failing_item_assignment_passes_through(m, monkeypatch):
    class Full(dict):
        def __setitem__(self, key, value):
            if key == "evis":
                raise OverflowError("full")
            super().__setitem__(key, value)

    monkeypatch.setattr(m, "OrderedDict", Full)
    with pytest.raises(OverflowError, match="full"):
        m.DeviceConfig("t", "p").serialize()


def test_subclass_attribute_overrides_are_seen(m):
    class Renamed(m.DeviceConfig):
        @property
        def target(self):
            return "always"

        @target.setter
        def target(self, value):
            pass

    assert Renamed("t", "p").serialize()["target"] == "always"
