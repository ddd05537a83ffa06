"""The module's functions against functions written in Python: attributes,
introspection, binding as methods, and argument errors word for word."""
import copy
import inspect
import pickle
import pydoc
import re
import sys
import types
import weakref

import pytest

from conftest import installed_as, load_python_module

pytestmark = [pytest.mark.port, pytest.mark.cpython]


# The module in Python: its classes' signatures are those ours show, and
# with the same qualified names the interpreter words argument errors for
# its functions exactly as it should for ours.
PY = load_python_module()


def functions(m):
    return {
        "DeviceConfig.__init__": m.DeviceConfig.__init__,
        "DeviceConfig.serialize": m.DeviceConfig.serialize,
        "NPUConfig.__init__": m.NPUConfig.__init__,
        "NPUConfig.is_quantize_method_compatible": m.NPUConfig.is_quantize_method_compatible,
        "DeviceDtype.get_options": vars(m.DeviceDtype)["get_options"].__func__,
        "DeviceDtype.get_quantization_dtype":
            vars(m.DeviceDtype)["get_quantization_dtype"].__func__,
        "InitOptimization.get_options": vars(m.InitOptimization)["get_options"].__func__,
    }


def test_function_attributes_look_like_a_def(m):
    for qualname, f in functions(m).items():
        assert f.__qualname__ == qualname
        assert f.__name__ == qualname.rsplit(".", 1)[1]
        assert f.__module__ == "ovralite.api.npu_config.npu_config"
        assert f.__doc__ is None
        assert f.__kwdefaults__ is None
        assert f.__annotations__ == {}
        assert f.__globals__ is vars(m)
        assert f.__closure__ is None
        assert isinstance(f.__code__, types.CodeType)
        assert f.__code__.co_name == f.__name__
        assert f.__dict__ == {}
        assert repr(f).startswith("<function {} at 0x".format(qualname))
        assert not hasattr(f, "__text_signature__")
        assert callable(f)
    assert functions(m)["DeviceConfig.serialize"].__defaults__ is None


def test_code_objects_describe_the_parameters(m):
    twins = {
        "DeviceConfig.__init__": PY.DeviceConfig.__init__,
        "DeviceConfig.serialize": PY.DeviceConfig.serialize,
        "NPUConfig.__init__": PY.NPUConfig.__init__,
        "NPUConfig.is_quantize_method_compatible": PY.NPUConfig.is_quantize_method_compatible,
    }
    for qualname, twin in twins.items():
        ours = functions(m)[qualname].__code__
        theirs = twin.__code__
        n = theirs.co_argcount
        assert ours.co_argcount == n
        assert ours.co_posonlyargcount == 0 and ours.co_kwonlyargcount == 0
        assert ours.co_varnames[:n] == theirs.co_varnames[:n]
        assert ours.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0


def test_defaults_are_the_tuple_calls_use(m):
    defaults = m.DeviceConfig.__init__.__defaults__
    assert defaults == PY.DeviceConfig.__init__.__defaults__
    assert defaults is m.DeviceConfig.__init__.__defaults__
    shared = defaults[4]
    assert shared == [] and type(shared) is list


def test_inspect_signature_matches_python(m):
    pairs = [
        (m.DeviceConfig, PY.DeviceConfig),
        (m.DeviceConfig.__init__, PY.DeviceConfig.__init__),
        (m.DeviceConfig("t", "p").serialize, object.__new__(PY.DeviceConfig).serialize),
        (m.NPUConfig, PY.NPUConfig),
        (m.NPUConfig.is_quantize_method_compatible, PY.NPUConfig.is_quantize_method_compatible),
        (m.DeviceDtype.get_options, PY.DeviceDtype.get_options),
    ]
    for ours, theirs in pairs:
        assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
        assert inspect.getfullargspec(ours) == inspect.getfullargspec(theirs)


def help_text(obj):
    # Newer pydoc wraps long signatures over several lines; compare them flat.
    text = re.sub(r"[\s|]+", " ", pydoc.render_doc(obj, renderer=pydoc.plaintext))
    return text.replace("( ", "(").replace(" )", ")")


def test_help_shows_signatures(m):
    text = help_text(m.DeviceConfig)
    assert "DeviceConfig(target, pid, core=1, mad_per_core=64" in text
    assert "serialize(self)" in text
    text = help_text(m.NPUConfig)
    assert "is_quantize_method_compatible(self, quantized_dtype)" in text
    # Class methods are listed as the running pydoc lists a Python one.
    twin = help_text(PY.DeviceDtype)
    shown = re.search(r"get_options\(\)( from builtins\.type)?", twin).group(0)
    assert shown in help_text(m.DeviceDtype)


def test_binding_like_a_function(m):
    f = m.DeviceConfig.serialize
    d = m.DeviceConfig("t", "p")
    bound = d.serialize
    assert type(bound) is types.MethodType
    assert bound.__func__ is f and bound.__self__ is d
    assert f.__get__(None, m.DeviceConfig) is f
    assert m.DeviceConfig.__dict__["serialize"] is f
    assert f(d) == bound()
    # A class method receives the class it is called through, or the
    # instance's class.
    meth = m.DeviceDtype.get_options
    assert type(meth) is types.MethodType and meth.__self__ is m.DeviceDtype

    class Sub(m.DeviceDtype):
        pass

    assert Sub.get_options.__self__ is Sub
    assert Sub().get_options.__self__ is Sub


def test_python_rules_for_positional_and_keyword_arguments(m):
    values = ["T", "P", 2, 128, 16, 3, ["float16"], "on", "0x1", "S", "C", "0x2"]
    names = list(inspect.signature(m.DeviceConfig).parameters)
    by_position = m.DeviceConfig(*values)
    by_keyword = m.DeviceConfig(**dict(zip(names, values)))
    mixed = m.DeviceConfig(*values[:5], **dict(zip(names[5:], values[5:])))
    for d in (by_position, by_keyword, mixed):
        assert [getattr(d, name) for name in names] == values
    assert by_position.nn_support_dtypes == ["float16"] and by_position.optimization == "on"
    n = m.NPUConfig.__new__(m.NPUConfig)
    n.device = by_position
    assert n.is_quantize_method_compatible(quantized_dtype="float16") is True
    assert m.NPUConfig.is_quantize_method_compatible(n, "float32") is False


BAD_CALLS = [
    ((), {}),
    (("t",), {}),
    ((), {"pid": "p"}),
    (tuple(range(13)), {}),
    (tuple(range(14)), {}),
    (("t", "p"), {"nope": 1}),
    (("t", "p"), {"target": 1}),
    (("t", "p"), {"core": 1, "cores": 2}),
    (tuple(range(13)), {"nope": 1}),
    (tuple(range(13)), {"target": 1}),
    (("t",), {"evis": 1, "core": 2}),
    (("t", "p"), {"Target": 1}),
    (("t", "p"), {"mad_percore": 1}),
    (("t", "p"), {"ext_sram_size": 1}),
    (("t", "p"), {"x": 1}),
    (("t", "p"), {"self": 1}),
    (("t", "p"), {"simulator_configuration_name_that_is_long": 1}),
    (("t", "p"), {"n\u00e9": 1}),
]


@pytest.mark.parametrize("args,kwargs", BAD_CALLS)
def test_argument_errors_worded_as_python(m, args, kwargs):
    with pytest.raises(TypeError) as expected:
        PY.DeviceConfig(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        m.DeviceConfig(*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("call", [
    lambda c, x: c.NPUConfig(),
    lambda c, x: c.NPUConfig("a", "b"),
    lambda c, x: c.NPUConfig(npu="a"),
    lambda c, x: c.NPUConfig("a", npu_model="b"),
    lambda c, x: c.DeviceConfig.serialize(x, 1),
    lambda c, x: c.DeviceConfig.serialize(x, self=1),
    lambda c, x: c.DeviceConfig.serialize(),
    lambda c, x: c.DeviceDtype.get_options(1),
    lambda c, x: c.DeviceDtype.get_options(cls=1),
    lambda c, x: c.NPUConfig.is_quantize_method_compatible(x),
])
def test_argument_errors_of_the_other_functions(m, call):
    with pytest.raises(TypeError) as expected:
        call(PY, PY.DeviceConfig("t", "p"))
    with pytest.raises(TypeError) as got:
        call(m, m.DeviceConfig("t", "p"))
    assert str(got.value) == str(expected.value)


def test_arguments_are_bound_before_any_work(m, monkeypatch):
    calls = []
    monkeypatch.setattr(m, "DeviceDtype", type("Spy", (), {
        "get_options": classmethod(lambda cls: calls.append(1) or [])}))
    with pytest.raises(TypeError):
        m.DeviceConfig("t", "p", nope=1)
    with pytest.raises(TypeError):
        m.DeviceConfig("t")
    assert calls == []


def test_changed_defaults_are_used_like_pythons(m):
    f = m.DeviceConfig.__init__
    saved = f.__defaults__
    try:
        f.__defaults__ = ("P",) + saved
        d = m.DeviceConfig("T")
        assert (d.target, d.pid, d.core) == ("T", "P", 1)
        f.__defaults__ = None
        with pytest.raises(TypeError, match=r"missing 11 required positional arguments"):
            m.DeviceConfig("T")
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            f.__defaults__ = [1]
    finally:
        f.__defaults__ = saved
    assert m.DeviceConfig.__init__.__defaults__ is saved


def test_writable_attributes_as_on_python_functions(m, implementation):
    f = m.NPUConfig.is_quantize_method_compatible
    saved = f.__name__, f.__qualname__, f.__doc__, f.__module__, f.__code__
    try:
        f.__doc__ = "doc"
        f.custom = 1
        assert f.__dict__ == {"custom": 1}
        f.__annotations__ = {"return": bool}
        assert f.__annotations__ == {"return": bool}
        f.__kwdefaults__ = {"x": 1}
        assert f.__kwdefaults__ == {"x": 1}
        for attr, message in (("__name__", "__name__ must be set to a string object"),
                              ("__qualname__", "__qualname__ must be set to a string object"),
                              ("__annotations__", "__annotations__ must be set to a dict object"),
                              ("__kwdefaults__", "__kwdefaults__ must be set to a dict object")):
            with pytest.raises(TypeError, match=message):
                setattr(f, attr, 5)
        with pytest.raises(AttributeError):
            f.__globals__ = {}
        # A compiled function has no bytecode to replace.
        if implementation == "compiled":
            with pytest.raises(AttributeError):
                f.__code__ = (lambda self, q: None).__code__
    finally:
        f.__name__, f.__qualname__, f.__doc__, f.__module__ = saved[:4]
        if implementation == "python":
            f.__code__ = saved[4]
        f.__annotations__ = {}
        f.__kwdefaults__ = None
        del f.custom


def test_pickle_copy_and_weakref(m):
    f = m.DeviceConfig.serialize
    with installed_as(m):
        assert pickle.loads(pickle.dumps(f)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f
    assert weakref.ref(f)() is f


def test_subclassing_works_as_for_any_class(m):
    class Record(m.DeviceConfig):
        def __init__(self, *args, **kwargs):
            self.extra = True
            super().__init__(*args, **kwargs)

    r = Record("t", "p", core=4)
    assert isinstance(r, m.DeviceConfig)
    assert list(vars(r))[:2] == ["extra", "target"] and r.core == 4
    assert r.serialize()["core"] == 4


def reference(self):
    """A def's function, for what Python does."""


_audited = []


def audit_events(action):
    """The object.* audit events `action` raises, with the attribute named."""
    if not _audited:
        import sys
        sys.addaudithook(lambda event, args: _audited[0] is not None and event.startswith(
            "object.") and _audited[0].append((event, args[1])))
        _audited.append(None)
    _audited[0] = []
    try:
        action()
    finally:
        events, _audited[0] = _audited[0], None
    return events


def outcome(action, f):
    try:
        return "returned", action(f)
    except Exception as error:
        return type(error).__name__, str(error)


def set_and_restore(name, value):
    def action(f):
        saved = getattr(f, name)
        try:
            return audit_events(lambda: setattr(f, name, value)), getattr(f, name)
        finally:
            setattr(f, name, saved)
    return action


def delete_and_restore(name):
    def action(f):
        saved = getattr(f, name)
        try:
            return audit_events(lambda: delattr(f, name)), getattr(f, name, "gone")
        finally:
            setattr(f, name, saved)
    return action


FUNCTION_OPERATIONS = {
    "set __closure__": lambda f: setattr(f, "__closure__", None),
    "delete __closure__": lambda f: delattr(f, "__closure__"),
    "set __globals__": lambda f: setattr(f, "__globals__", {}),
    "missing attribute": lambda f: f.nope,
    "ordering": lambda f: f < f,
    "read __code__": lambda f: audit_events(lambda: f.__code__),
    "read __defaults__": lambda f: audit_events(lambda: f.__defaults__),
    "read __kwdefaults__": lambda f: audit_events(lambda: f.__kwdefaults__),
    "__defaults__ to a tuple": set_and_restore("__defaults__", (1,)),
    "__defaults__ to None": set_and_restore("__defaults__", None),
    "__defaults__ deleted": delete_and_restore("__defaults__"),
    "__kwdefaults__ to a dict": set_and_restore("__kwdefaults__", {"a": 1}),
    "__kwdefaults__ to None": set_and_restore("__kwdefaults__", None),
    "__kwdefaults__ deleted": delete_and_restore("__kwdefaults__"),
    "__doc__ deleted": delete_and_restore("__doc__"),
    "__module__ set": set_and_restore("__module__", "elsewhere"),
    "__module__ deleted": delete_and_restore("__module__"),
}
FUNCTION_OPERATIONS["the type's module and name"] = lambda f: (
    type(f).__module__, type(f).__qualname__, repr(type(f)))
FUNCTION_OPERATIONS["pickle the type"] = lambda f: pickle.dumps(type(f))
if sys.version_info >= (3, 10):  # 3.9's function type has no __builtins__
    FUNCTION_OPERATIONS["set __builtins__"] = lambda f: setattr(f, "__builtins__", {})
    FUNCTION_OPERATIONS["set an attribute of the type"] = lambda f: setattr(type(f), "x", 1)


def annotated_by(annotate):
    """__annotate__ set (PEP 649), then what __annotations__ and
    annotationlib make of it; all restored."""
    def action(f):
        import annotationlib
        try:
            f.__annotate__ = annotate
            return (f.__annotate__ is annotate, f.__annotations__,
                    annotationlib.get_annotations(f, format=annotationlib.Format.FORWARDREF))
        finally:
            f.__annotations__ = {}
            f.__annotate__ = None
    return action


if sys.version_info >= (3, 14):
    FUNCTION_OPERATIONS["read __annotate__"] = lambda f: f.__annotate__
    FUNCTION_OPERATIONS["__annotate__ to a callable"] = annotated_by(
        lambda format: {"return": int})
    FUNCTION_OPERATIONS["__annotate__ returning no dict"] = annotated_by(lambda format: 5)
    FUNCTION_OPERATIONS["__annotate__ to no callable"] = annotated_by(5)
    FUNCTION_OPERATIONS["__annotate__ deleted"] = lambda f: delattr(f, "__annotate__")
    FUNCTION_OPERATIONS["__annotations__ set clears __annotate__"] = lambda f: (
        setattr(f, "__annotate__", lambda format: {}), setattr(f, "__annotations__", {"a": 1}),
        f.__annotate__, setattr(f, "__annotations__", {}))


@pytest.mark.parametrize("operation", sorted(FUNCTION_OPERATIONS))
def test_function_attributes_behave_as_pythons(m, operation):
    action = FUNCTION_OPERATIONS[operation]
    assert outcome(action, m.DeviceConfig.serialize) == outcome(action, reference)
    assert m.DeviceConfig.serialize.__dict__ == {}
