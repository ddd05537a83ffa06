"""Generated configuration files and constructor arguments: the interpreter
never crashes, every exception is one the loader lets through, and what
loads holds the documented values, types and orders."""
import collections
import configparser
import os
import string

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

from conftest import ATTRIBUTES, SECTION_READS, SETTINGS, SWITCHES  # noqa: E402
from ovralite.api.npu_config.npu_config import DeviceDtype  # noqa: E402

KEYS = [s.key for s in SETTINGS if s.read != "Switches"] + [w.key for w in SWITCHES] + \
    ["CORE", "Target"]
VALUES = ["1", "0", "yes", "No", "TRUE", "off", "12", "-4", "0x10", "", " spaced ", "%(core)s",
          "%(missing)s", "50%", "%%", "%(target)s%(pid)s", "/abs/path", "LION", "\u00e9"]

texts = st.one_of(st.sampled_from(VALUES), st.text(string.printable, max_size=8))
lines = st.one_of(
    st.builds("{} = {}".format, st.sampled_from(KEYS), texts),
    st.builds("{}:{}".format, st.sampled_from(KEYS), texts),
    st.builds("    {}".format, texts),  # continuation
    st.sampled_from(["[device]", "[DEFAULT]", "[Device]", "[other]", "# c", "; c", "", "[",
                     "=novalue", "[device]  "]),
)
documents = st.one_of(
    st.lists(lines, max_size=14).map(lambda ls: "\n".join(ls).encode()),
    st.builds(lambda ls, junk: ("\n".join(ls)).encode() + junk,
              st.lists(lines, max_size=8), st.binary(max_size=12)),
)
ALLOWED = (configparser.Error, ValueError, UnicodeDecodeError)


def expected_record(path, root):
    """What the documented reads of the file give."""
    parser = configparser.ConfigParser(dict_type=collections.OrderedDict)
    parser.read(path)
    if "device" not in parser:
        return None
    dev = parser["device"]
    record = {}
    for s in SETTINGS:
        if s.read == "Switches":
            record[s.attribute] = [getattr(DeviceDtype, w.constant) for w in SWITCHES
                                   if dev.getboolean(w.key, w.fallback)]
        elif s.read == "UnderRoot":
            record[s.attribute] = os.path.join(root, "simulator", dev.get(s.key, s.fallback))
        else:
            record[s.attribute] = getattr(dev, SECTION_READS[s.read])(s.key, s.fallback)
    return record


@given(document=documents)
def test_fuzz_loader_on_generated_files(m, models, document):
    path = models.dir / "M"
    path.write_bytes(document)
    try:
        loaded = m.NPUConfig("M")
    except ALLOWED:
        return
    device = loaded.device
    assert list(vars(device)) == ATTRIBUTES
    expected = expected_record(str(path), models.root)
    if expected is None:
        assert device.target == "M" and device.sdk_dir == "LION"
        assert device.nn_support_dtypes == []
        return
    assert vars(device) == expected
    for name in ("core", "mad_per_core", "input_buffer_depth", "evis"):
        assert type(getattr(device, name)) is int
    for name in ("target", "pid", "ext_sram_sizes", "ext_axi_sram_sizes", "sdk_dir",
                 "simulator_config"):
        assert type(getattr(device, name)) is str
    assert device.optimization is True or type(device.optimization) is str


VOCABULARY = ["dynamic_fixed_point-8", "dynamic_fixed_point-16", "dynamic_fixed_point-u8",
              "dynamic_fixed_point-u16", "asymmetric_quantized-u8", "float16", "float32"]
anything = st.one_of(st.none(), st.integers(), st.text(max_size=5), st.booleans(),
                     st.floats(allow_nan=False), st.tuples(st.integers()))
dtype_lists = st.one_of(
    st.none(),
    st.lists(st.sampled_from(VOCABULARY), max_size=5),
    st.lists(st.one_of(st.sampled_from(VOCABULARY), st.text(max_size=6)), max_size=4),
    st.lists(st.sampled_from(VOCABULARY), max_size=3).map(tuple),
    st.integers(), st.text(max_size=4),
)


@given(values=st.lists(anything, min_size=12, max_size=12), dtypes=dtype_lists,
       positional=st.integers(0, 12))
def test_fuzz_constructor_arguments(m, values, dtypes, positional):
    names = m.DeviceConfig.__init__.__code__.co_varnames[1:13]
    values[6] = dtypes
    args = values[:positional]
    kwargs = dict(zip(names[positional:], values[positional:]))
    try:
        record = m.DeviceConfig(*args, **kwargs)
    except (AssertionError, TypeError):
        # Only a name outside the vocabulary, or something not iterable, fails.
        valid = dtypes is None or (isinstance(dtypes, (list, tuple, str)) and
                                   all(d in VOCABULARY for d in dtypes))
        assert not valid
        return
    given_values = dict(zip(names, values))
    for name in names:
        if name == "nn_support_dtypes":
            expected = [] if dtypes is None else dtypes
            assert record.nn_support_dtypes == expected
            if isinstance(dtypes, list):  # immutable values deep-copy to themselves
                assert record.nn_support_dtypes is not dtypes
        else:
            assert getattr(record, name) is given_values[name]
    assert list(record.serialize())[7] == "nn_support_dtypes"
