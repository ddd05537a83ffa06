"""NPUConfig and its device-section parsing: files, fallbacks, conversions,
partial application on failure, logging, and names read at call time."""
import configparser
import gc
import logging
import os
import threading

import pytest

from conftest import run_python

pytestmark = [pytest.mark.port]

FULL = """\
    [device]
    target = VIP9000
    pid = 0X99
    optimization = false
    core = 4
    mad_per_core = 256
    input_buffer_depth = 32
    evis = 3
    float16_support = true
    dynamic_fixed_point-8_support = yes
    dynamic_fixed_point-16_support = on
    asymmetric_quantized-u8_support = 1
    extSRAMSizes = 0x2000
    extAXISRAMSizes = 0x1000
    sdk_dir = PUMA
    simulator_config = SIM9000
"""
ALL_DTYPES = ["float16", "dynamic_fixed_point-8", "dynamic_fixed_point-16",
              "asymmetric_quantized-u8"]


@pytest.fixture
def errors(caplog):
    caplog.set_level(logging.ERROR, logger="ovralite")

    def messages():
        return [r.getMessage() for r in caplog.records if r.name == "ovralite"]

    return messages


def provisional(device, model):
    return vars(device) == {
        "target": model, "pid": "0XFF", "optimization": True, "core": 1, "mad_per_core": 64,
        "input_buffer_depth": 12, "evis": 2, "nn_support_dtypes": [], "ext_sram_sizes": "0x0",
        "sdk_dir": "LION", "simulator_config": "VIPNANOQ_PID0X82", "ext_axi_sram_sizes": "0"}


def test_every_key_read_and_converted(m, models, errors):
    models.write("M", FULL)
    d = m.NPUConfig("M").device
    assert type(d) is m.DeviceConfig
    assert vars(d) == {
        "target": "VIP9000", "pid": "0X99", "optimization": "false", "core": 4,
        "mad_per_core": 256, "input_buffer_depth": 32, "evis": 3,
        "nn_support_dtypes": ALL_DTYPES, "ext_sram_sizes": "0x2000",
        "sdk_dir": os.path.join(models.root, "simulator", "PUMA"),
        "simulator_config": "SIM9000", "ext_axi_sram_sizes": "0x1000"}
    assert errors() == []


def test_empty_section_takes_every_fallback(m, models):
    models.write("M", "[device]\n")
    d = m.NPUConfig("M").device
    assert vars(d) == {
        "target": "VIP8000", "pid": "0XFF", "optimization": True, "core": 1,
        "mad_per_core": 64, "input_buffer_depth": 12, "evis": 2,
        "nn_support_dtypes": ["dynamic_fixed_point-8"], "ext_sram_sizes": "0x0",
        "sdk_dir": os.path.join(models.root, "simulator", "LION"),
        "simulator_config": "VIPNANOQ_PID0X82", "ext_axi_sram_sizes": "0"}


@pytest.mark.parametrize("text", ["", "# only a comment\n", "[other]\nkey = 1\n",
                                  "[Device]\ntarget = X\n", "[DEFAULT]\ntarget = X\n"])
def test_no_device_section_keeps_the_provisional_record(m, models, errors, text):
    models.write("M", text)
    assert provisional(m.NPUConfig("M").device, "M")
    assert errors() == []


def test_switches_in_fixed_order_whatever_the_file_order(m, models):
    models.write("M", """\
        [device]
        asymmetric_quantized-u8_support = true
        dynamic_fixed_point-16_support = true
        dynamic_fixed_point-8_support = true
        float16_support = true
    """)
    assert m.NPUConfig("M").device.nn_support_dtypes == ALL_DTYPES


def test_partial_section_with_mixed_words(m, models):
    models.write("M", """\
        [device]
        target = VIP8000
        pid = 0X82
        core = 2
        mad_per_core = 128
        input_buffer_depth = 16
        float16_support = true
        asymmetric_quantized-u8_support = yes
        dynamic_fixed_point-16_support = off
        extSRAMSizes = 0x0
    """)
    cfg = m.NPUConfig("M")
    d = cfg.device
    assert (d.target, d.pid, d.optimization, d.core, d.mad_per_core) == (
        "VIP8000", "0X82", True, 2, 128)
    assert (d.input_buffer_depth, d.evis) == (16, 2)
    assert d.nn_support_dtypes == ["float16", "dynamic_fixed_point-8", "asymmetric_quantized-u8"]
    assert (d.ext_sram_sizes, d.ext_axi_sram_sizes) == ("0x0", "0")
    assert d.sdk_dir == os.path.join(models.root, "simulator", "LION")
    assert d.simulator_config == "VIPNANOQ_PID0X82"
    assert cfg.is_quantize_method_compatible("asymmetric_quantized-u8") is True
    assert cfg.is_quantize_method_compatible("dynamic_fixed_point-16") is False


def test_dfp8_off_leaves_no_dtypes(m, models):
    models.write("M", "[device]\ndynamic_fixed_point-8_support = no\n")
    assert m.NPUConfig("M").device.nn_support_dtypes == []


def test_texts_stored_as_written(m, models):
    models.write("A", "[device]\npid = 0xff\nextSRAMSizes = 0X10\n")
    models.write("B", "[device]\npid = 0XFF\n")
    assert m.NPUConfig("A").device.pid == "0xff"
    assert m.NPUConfig("A").device.ext_sram_sizes == "0X10"
    assert m.NPUConfig("B").device.pid == "0XFF"


def test_sdk_dir_join_rules(m, models, tmp_path):
    absolute = str(tmp_path / "elsewhere")
    models.write("A", "[device]\nsdk_dir = {}\n".format(absolute))
    models.write("E", "[device]\nsdk_dir =\n")
    assert m.NPUConfig("A").device.sdk_dir == absolute
    assert m.NPUConfig("E").device.sdk_dir == os.path.join(models.root, "simulator", "")


def test_bad_integer_leaves_earlier_keys_applied(m, models, monkeypatch):
    models.write("M", "[device]\ntarget = T\npid = P\noptimization = o\ncore = 0x2\nevis = 9\n")
    seen = {}

    class Spy(m.DeviceConfig):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            seen["record"] = self

    monkeypatch.setattr(m, "DeviceConfig", Spy)
    with pytest.raises(ValueError, match="0x2"):
        m.NPUConfig("M")
    d = seen["record"]
    assert (d.target, d.pid, d.optimization, d.core, d.evis) == ("T", "P", "o", 1, 2)


def test_bad_switch_leaves_earlier_switches_appended(m, models, monkeypatch):
    models.write("M", "[device]\nfloat16_support = yes\ndynamic_fixed_point-16_support = maybe\n")
    records = []
    monkeypatch.setattr(m, "DeviceConfig", type("Spy", (m.DeviceConfig,), {
        "__init__": lambda self, **kw: (records.append(self),
                                        m.DeviceConfig.__mro__[1].__init__(self, **kw))[1]}))
    with pytest.raises(ValueError, match="Not a boolean: maybe"):
        m.NPUConfig("M")
    assert records[0].nn_support_dtypes == ["float16", "dynamic_fixed_point-8"]
    assert records[0].ext_sram_sizes == "0x0"


@pytest.mark.parametrize("text,error", [
    ("target = X\n[device]\n", configparser.MissingSectionHeaderError),
    ("[device]\n[device]\n", configparser.DuplicateSectionError),
    ("[device]\ncore = 1\ncore = 2\n", configparser.DuplicateOptionError),
    ("[device]\ntarget = %(nowhere)s\n", configparser.InterpolationMissingOptionError),
    ("[device]\ntarget = 100%\n", configparser.InterpolationSyntaxError),
    ("[device]\n  indented junk\n= value\n", configparser.ParsingError),
])
def test_parser_errors_pass_through(m, models, text, error):
    models.write("M", text)
    with pytest.raises(error):
        m.NPUConfig("M")


def test_interpolation_and_defaults_section_apply(m, models):
    models.write("M", """\
        [DEFAULT]
        core = 3
        [device]
        name = X
        target = %(name)s-%(core)s
    """)
    d = m.NPUConfig("M").device
    assert (d.target, d.core) == ("X-3", 3)


def test_non_utf8_bytes_raise_decode_error(m, models):
    (models.dir / "M").write_bytes(b"[device]\ntarget = \xff\xfe\n")
    with pytest.raises(UnicodeDecodeError):
        m.NPUConfig("M")


def test_missing_file_logs_once_and_keeps_defaults(m, models, errors):
    cfg = m.NPUConfig("abc")
    assert errors() == ["Config for NPU abc does not exists!"]
    assert provisional(cfg.device, "abc")
    assert cfg.is_quantize_method_compatible("dynamic_fixed_point-8") is False


def test_existing_but_unreadable_path_is_reported(m, models, errors):
    (models.dir / "folder").mkdir()
    cfg = m.NPUConfig("folder")
    assert errors() == ["Config for NPU folder can not be read!"]
    assert provisional(cfg.device, "folder")


@pytest.mark.process
def test_file_without_read_permission_is_reported(tmp_path):
    path = tmp_path / "locked"
    path.write_text("[device]\ncore = 2\n")
    os.chmod(str(path), 0)
    proc = run_python("""
        import logging
        logging.basicConfig(format="%(message)s")
        from ovralite.api.npu_config import npu_config as m
        print(m.NPUConfig({!r}).device.core)
    """.format(str(path)), file_permissions=True)
    assert (proc.returncode, proc.stdout) == (0, "1\n"), proc.stderr
    assert proc.stderr == "Config for NPU {} can not be read!\n".format(path)


def test_model_name_as_absolute_path_and_subdirectory(m, models, tmp_path, errors):
    outside = tmp_path / "outside.ini"
    outside.write_text("[device]\ncore = 7\n")
    assert m.NPUConfig(str(outside)).device.core == 7
    (models.dir / "family").mkdir()
    models.write(os.path.join("family", "M"), "[device]\ncore = 5\n")
    assert m.NPUConfig(os.path.join("family", "M")).device.core == 5
    cfg = m.NPUConfig(str(tmp_path / "absent"))
    assert cfg.device.target == str(tmp_path / "absent")
    assert errors() == ["Config for NPU {} does not exists!".format(tmp_path / "absent")]


@pytest.mark.parametrize("model", [None, 5, b"bytes"])
def test_model_name_that_is_no_path_component(m, models, errors, model):
    with pytest.raises(TypeError):
        m.NPUConfig(model)
    assert errors() == []


def test_logger_exception_passes_through(m, models, monkeypatch):
    class Failing:
        def e(self, message):
            raise RuntimeError(message)

    monkeypatch.setattr(m, "ovraLog", Failing())
    with pytest.raises(RuntimeError, match="Config for NPU x does not exists!"):
        m.NPUConfig("x")


def test_names_read_from_the_module_at_call_time(m, models, monkeypatch, tmp_path):
    calls = []

    class Log:
        def e(self, message):
            calls.append(("e", message))

    class Parser(configparser.ConfigParser):
        def __init__(self, **kwargs):
            calls.append(("parser", sorted(kwargs)))
            super().__init__(**kwargs)

    class Record(m.DeviceConfig):
        pass

    class ConfigParserModule:
        ConfigParser = Parser

    other = tmp_path / "other"
    (other / "config" / "npu_config").mkdir(parents=True)
    (other / "config" / "npu_config" / "M").write_text("[device]\ntarget = other\n")
    monkeypatch.setattr(m, "ROOT_DIR", str(other))
    monkeypatch.setattr(m, "ovraLog", Log())
    monkeypatch.setattr(m, "DeviceConfig", Record)
    monkeypatch.setattr(m, "configparser", ConfigParserModule)
    monkeypatch.setattr(m, "OrderedDict", dict)
    cfg = m.NPUConfig("M")
    assert type(cfg.device) is Record and cfg.device.target == "other"
    assert cfg.device.sdk_dir == os.path.join(str(other), "simulator", "LION")
    m.NPUConfig("absent")
    assert calls == [("parser", ["dict_type"]), ("e", "Config for NPU absent does not exists!"),
                     ("parser", ["dict_type"])]


def test_os_read_from_the_module_at_call_time(m, models, monkeypatch):
    joined = []
    truths = []

    class Found:  # exists()'s answer: its truth is taken once
        def __bool__(self):
            truths.append(True)
            return True

    class Path:
        @staticmethod
        def join(*parts):
            joined.append(parts)
            return os.path.join(*parts)

        exists = staticmethod(lambda path: Found())

    class FakeOs:
        path = Path

    models.write("M", "[device]\n")
    monkeypatch.setattr(m, "os", FakeOs)
    m.NPUConfig("M")
    assert joined == [(models.root, "config", "npu_config", "M"),
                      (models.root, "simulator", "LION")]
    assert truths == [True]


def test_builtins_are_searched_after_the_module(m, models, monkeypatch):
    import builtins
    monkeypatch.delattr(m, "ROOT_DIR")
    with pytest.raises(NameError, match="name 'ROOT_DIR' is not defined"):
        m.NPUConfig("M")
    monkeypatch.setattr(builtins, "ROOT_DIR", models.root, raising=False)
    models.write("M", "[device]\ncore = 6\n")
    assert m.NPUConfig("M").device.core == 6


def test_parse_device_is_a_fresh_local_function(m, models, monkeypatch):
    found = []

    class Parser(configparser.ConfigParser):
        def __contains__(self, key):
            found.extend(o for o in gc.get_objects()
                         if getattr(o, "__qualname__", None) ==
                         "NPUConfig.__init__.<locals>._parse_device")
            return super().__contains__(key)

    class Module:
        ConfigParser = Parser

    monkeypatch.setattr(m, "configparser", Module)
    models.write("M", "[device]\n")
    gc.collect()  # what earlier failures' tracebacks left of loaders' frames
    m.NPUConfig("M")
    m.NPUConfig("M")
    # `found` keeps every function alive, so distinct ids are distinct objects.
    unique = list({id(f): f for f in found}.values())
    assert len(unique) == 2
    first, second = unique
    assert first.__code__ is second.__code__
    assert first.__name__ == "_parse_device" and first.__globals__ is vars(m)
    assert first.__code__.co_varnames[:2] == ("parser", "device")
    assert first.__code__.co_argcount == 2
    # Called as the loader calls it, and with keywords.
    record = m.DeviceConfig("t", "p")
    parser = configparser.ConfigParser()
    parser.read_string("[device]\nevis = 7\n")
    assert first(parser=parser, device=record) is None and record.evis == 7
    first(parser, record)
    assert record.nn_support_dtypes == ["dynamic_fixed_point-8", "dynamic_fixed_point-8"]


def test_compatibility_reads_the_current_list(m, models):
    models.write("M", "[device]\nfloat16_support = true\n")
    cfg = m.NPUConfig("M")
    assert cfg.is_quantize_method_compatible("float16") is True
    assert cfg.is_quantize_method_compatible("Float16") is False
    assert cfg.is_quantize_method_compatible(None) is False
    cfg.device.nn_support_dtypes.append("int32")
    assert cfg.is_quantize_method_compatible("int32") is True
    cfg.device = m.DeviceConfig("x", "y")
    assert cfg.is_quantize_method_compatible("float16") is False
    del cfg.device
    with pytest.raises(AttributeError, match="device"):
        cfg.is_quantize_method_compatible("float16")


def test_two_loaders_own_their_records(m, models):
    models.write("M", FULL)
    a, b = m.NPUConfig("M"), m.NPUConfig("M")
    assert a.device is not b.device
    assert a.device.nn_support_dtypes is not b.device.nn_support_dtypes
    assert list(vars(a)) == ["device"]


def test_threads_construct_loaders_at_once(m, models):
    models.write("M", FULL)
    results, failures = [], []

    def work():
        try:
            for _ in range(50):
                results.append(m.NPUConfig("M").device.serialize())
        except Exception as exc:  # pragma: no cover - reported below
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert len(results) == 400
    assert all(r == results[0] for r in results)


def test_shipped_models_load_without_messages(m, errors):
    folder = os.path.join(m.ROOT_DIR, "config", "npu_config")
    names = sorted(os.listdir(folder))
    assert len(names) >= 3
    for name in names:
        cfg = m.NPUConfig(name)
        assert cfg.device.target != name
    assert errors() == []
