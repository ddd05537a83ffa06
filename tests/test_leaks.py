"""No operation leaks: allocated blocks, and in a debug build the total of
reference counts, stay flat over thousands of calls, on success and on every
failure path."""
import gc
import inspect
import os
import sys

import pytest

pytestmark = [pytest.mark.shortcuts, pytest.mark.leaks, pytest.mark.cpython]

# The sanitizer run lowers the rounds: its leak report counts objects itself.
ROUNDS = int(os.environ.get("NPU_LEAK_ROUNDS", 3000))


def counts_after(action, rounds):
    """Allocated blocks and, in a debug build (as CPython's -R counts them),
    the total of all reference counts, after `rounds` calls."""
    for _ in range(rounds):
        action()
    gc.collect()
    references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), references


def assert_flat(action, rounds=ROUNDS):
    # The interpreter's own caches (type caches, specialised bytecode, the
    # parser's regular expressions) settle within as many calls as we then
    # measure; a leak of one object or one reference per call shows as
    # `rounds` blocks or references.
    counts_after(action, rounds)
    before = counts_after(lambda: None, 1)
    after = counts_after(action, rounds)
    blocks, references = (a - b for a, b in zip(after, before))
    assert blocks < rounds // 4, "{} blocks kept over {} calls".format(blocks, rounds)
    assert references < rounds // 4, "{} references kept over {} calls".format(
        references, rounds)


def raises(exc, fn, *args, **kwargs):
    def action():
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:  # pragma: no cover - the leak test would be meaningless
            raise AssertionError("expected {}".format(exc.__name__))
    return action


class Boom(Exception):
    pass


class BadEq:
    def __eq__(self, other):
        raise Boom


def broken_iter():
    yield "float16"
    raise Boom


@pytest.fixture
def quiet_log(m, monkeypatch):
    class Silent:
        def e(self, message):
            pass

    monkeypatch.setattr(m, "ovraLog", Silent())


def cases(m):
    record = m.DeviceConfig("t", "p", nn_support_dtypes=["float16", "float32"])
    gone = m.DeviceConfig("t", "p")
    del gone.evis
    loader = m.NPUConfig.__new__(m.NPUConfig)
    loader.device = m.DeviceConfig("t", "p")
    loader.device.nn_support_dtypes = [BadEq()]
    subclass = type("Sub", (m.DeviceDtype,), {"FLOAT32": "f32"})
    return {
        "record defaults": lambda: m.DeviceConfig("VIP8000", "0XFF"),
        "record list": lambda: m.DeviceConfig("t", "p", nn_support_dtypes=["float16"] * 3),
        "record keywords": lambda: m.DeviceConfig(target="t", pid="p", core=2, evis=3),
        "record None list": lambda: m.DeviceConfig("t", "p", nn_support_dtypes=None),
        "record unknown name": raises(AssertionError, m.DeviceConfig, "t", "p",
                                      nn_support_dtypes=["x"]),
        "record not iterable": raises(TypeError, m.DeviceConfig, "t", "p", nn_support_dtypes=5),
        "record comparison fails": raises(Boom, m.DeviceConfig, "t", "p",
                                          nn_support_dtypes=[BadEq()]),
        "record iteration fails": lambda: raises(Boom, m.DeviceConfig, "t", "p",
                                                 nn_support_dtypes=broken_iter())(),
        "record generator copy fails": lambda: raises(TypeError, m.DeviceConfig, "t", "p",
                                                      nn_support_dtypes=(x for x in []))(),
        "missing argument": raises(TypeError, m.DeviceConfig, "t"),
        "unexpected keyword": raises(TypeError, m.DeviceConfig, "t", "p", bogus=1),
        "duplicate argument": raises(TypeError, m.DeviceConfig, "t", "p", target=1),
        "too many arguments": raises(TypeError, m.DeviceConfig, *range(14)),
        "serialize": record.serialize,
        "serialize missing attribute": raises(AttributeError, gone.serialize),
        "get_options": m.DeviceDtype.get_options,
        "get_quantization_dtype": m.DeviceDtype.get_quantization_dtype,
        "init optimization options": m.InitOptimization.get_options,
        "options with argument": raises(TypeError, m.DeviceDtype.get_options, 1),
        "options of a subclass": subclass.get_options,
        "compatibility comparison fails": raises(Boom, loader.is_quantize_method_compatible,
                                                 "float16"),
        "loader without argument": raises(TypeError, m.NPUConfig),
        "introspection": lambda: (inspect.signature(m.DeviceConfig),
                                  m.DeviceConfig.__init__.__defaults__,
                                  m.DeviceConfig.__init__.__code__, repr(record.serialize)),
    }


@pytest.mark.parametrize("name", sorted(cases(__import__(
    "ovralite.api.npu_config.npu_config", fromlist=["x"]))))
def test_flat(m, name):
    assert_flat(cases(m)[name])


def test_failing_deep_copy_does_not_leak(m, monkeypatch):
    class Copier:
        @staticmethod
        def deepcopy(value):
            raise Boom

    monkeypatch.setattr(m, "copy", Copier)
    assert_flat(raises(Boom, m.DeviceConfig, "t", "p"))


def test_missing_vocabulary_does_not_leak(m, monkeypatch):
    monkeypatch.delattr(m, "DeviceDtype")
    assert_flat(raises(NameError, m.DeviceConfig, "t", "p"))


@pytest.mark.parametrize("text,error", [
    ("[device]\ncore = 2\nfloat16_support = yes\n", None),
    ("[device]\n", None),
    ("", None),
    ("[device]\ncore = x\n", ValueError),
    ("[device]\nfloat16_support = perhaps\n", ValueError),
    ("junk\n", Exception),
    ("[device]\ntarget = %(x)s\n", Exception),
])
def test_loader_does_not_leak(m, models, quiet_log, text, error):
    models.write("M", text)
    if error is None:
        def action():
            m.NPUConfig("M").is_quantize_method_compatible("float16")
    else:
        action = raises(error, m.NPUConfig, "M")
    assert_flat(action, rounds=min(ROUNDS, 1000))


def test_loader_missing_and_unreadable_do_not_leak(m, models, quiet_log):
    (models.dir / "folder").mkdir()
    assert_flat(lambda: (m.NPUConfig("absent"), m.NPUConfig("folder")), rounds=min(ROUNDS, 1000))
    assert_flat(raises(TypeError, m.NPUConfig, None))
