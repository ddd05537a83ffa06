"""The module behaves as CPython's own code does where callers cannot see a
difference in what it returns: recursion ends in RecursionError, daemon
threads at exit do not crash, failed lookups raise, and names, builtins and
class attributes are those the same module written in Python would have."""
import functools
import importlib.util
import inspect
import os
import sys
import textwrap
import types

import pytest

from conftest import NAME, installed_as, load_compiled_module, load_python_module, run_python

pytestmark = [pytest.mark.shortcuts]


# A logger whose e loads another configuration, as a logging handler that
# loads one would: each level is NPUConfig, then ovraLog.e, then NPUConfig.
LOGGER_LOADS = ("m.ovraLog = types.SimpleNamespace("
                "e=lambda message: m.NPUConfig('no such model'))")


# Where a call runs: each sets `run()` going on its stack and waits for it.
# Stacks of every kind the module's guard must bound: the main thread's
# (whatever RLIMIT_STACK says, and when the limit is lowered after the first
# call or the first measure finds no descriptor free), threads of each size,
# threads made from C, a ucontext on a heap buffer, greenlets' switching.
ON_STACK = {
    "main": "run()",
    "thread": """
        threading.stack_size({kib} * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    """,
    "limit": """
        resource.setrlimit(resource.RLIMIT_STACK, ({kib} * 1024, resource.RLIM_INFINITY))
        run()
    """,
    "lowered": """
        m.DeviceConfig("t", "p")
        resource.setrlimit(resource.RLIMIT_STACK, ({kib} * 1024, resource.RLIM_INFINITY))
        run()
    """,
    "no descriptors": """
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        held = []
        try:
            while True:
                held.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
        m.DeviceConfig("t", "p")
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_STACK, ({kib} * 1024, resource.RLIM_INFINITY))
        run()
    """,
    "C thread": """
        libc = ctypes.CDLL(None)
        attr = ctypes.create_string_buffer(256)
        libc.pthread_attr_init(attr)
        libc.pthread_attr_setstacksize(attr, ctypes.c_size_t({kib} * 1024))
        entry = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda arg: run())
        thread = ctypes.c_ulong()
        assert libc.pthread_create(ctypes.byref(thread), attr, entry, None) == 0
        libc.pthread_join(thread, None)
    """,
    # ucontext_t begins uc_flags, uc_link, uc_stack (ss_sp, ss_flags, ss_size)
    # on x86_64 and aarch64 alike.
    "ucontext": """
        libc = ctypes.CDLL(None)
        back, there = ctypes.create_string_buffer(8192), ctypes.create_string_buffer(8192)
        stack = ctypes.create_string_buffer({kib} * 1024)
        entry = ctypes.CFUNCTYPE(None)(run)
        libc.getcontext(there)
        ctypes.c_void_p.from_buffer(there, 8).value = ctypes.addressof(back)
        ctypes.c_void_p.from_buffer(there, 16).value = ctypes.addressof(stack)
        ctypes.c_size_t.from_buffer(there, 32).value = {kib} * 1024
        libc.makecontext(there, entry, 0)
        libc.swapcontext(back, there)
    """,
    "greenlet": """
        import greenlet
        threading.stack_size({kib} * 1024)
        thread = threading.Thread(target=lambda: greenlet.greenlet(run).switch())
        thread.start()
        thread.join()
    """,
}

def logger_recursion(where, kib, limit):
    """The table's row for logger -> NPUConfig -> logger ... on a stack."""
    return LOGGER_LOADS, "m.NPUConfig('no such model')", where, kib, limit


# 32 nested sorted() levels, each a C call holding stack, then one plain call.
NESTED_CALLS = """
    def nest(depth):
        if depth == 0:
            m.NPUConfig("VIPNANOQ_PID0X82")
            return 0
        return sorted([0], key=lambda x: nest(depth - 1))[0]
"""


@pytest.mark.process
@pytest.mark.parametrize("setup, call, where, kib, limit", [
    # copy.deepcopy made a partial of DeviceConfig: __init__ calls itself.
    ("m.copy = types.SimpleNamespace(deepcopy=functools.partial(m.DeviceConfig, 't'))",
     "m.DeviceConfig('t', 'p')", "main", 0, 0),
    # get_quantization_dtype made get_options: the vocabulary calls itself.
    ("m.DeviceDtype.get_quantization_dtype = vars(m.DeviceDtype)['get_options']",
     "m.DeviceDtype.get_options()", "main", 0, 0),
    # Each level holds C stack: it ends before the stack does, in the main
    # thread with a high limit, and in small threads (musl's default is 128 KiB).
    logger_recursion("main", 0, 0),
    logger_recursion("main", 0, 100000),
    # A small thread's stack, measured as each platform gives it: a port's.
    logger_recursion("thread", 64, 0),
    pytest.param(*logger_recursion("thread", 128, 0), marks=pytest.mark.port),
    logger_recursion("thread", 256, 0),
    logger_recursion("thread", 512, 0),
    logger_recursion("thread", 65536, 100000),
    # The main thread's stack by the limit of the moment: set before the first
    # call, lowered after it, and with the first measure failing.
    logger_recursion("limit", 256, 0),
    logger_recursion("limit", 8192, 100000),
    logger_recursion("lowered", 512, 0),
    logger_recursion("no descriptors", 512, 0),
    # Stacks that are not a Python thread's.
    logger_recursion("C thread", 256, 0),
    logger_recursion("ucontext", 256, 0),
    logger_recursion("ucontext", 384, 0),
    logger_recursion("greenlet", 256, 0),
    # No refusal where the call fits: Python completes it, and so does the module.
    (NESTED_CALLS, "nest(32)", "thread", 256, 0),
])
def test_recursion_ends_as_in_python_on_any_stack(implementation, setup, call, where, kib,
                                                   limit):
    if where == "greenlet":
        pytest.importorskip("greenlet")
    if call == "nest(32)" and hasattr(sys, "gettotalrefcount"):
        call = "nest(16)"  # a debug build's frames are about twice as large
    if where in ("C thread", "ucontext") and not sys.platform.startswith("linux"):
        pytest.skip("made with glibc's calls through ctypes")
    if implementation == "python" and (kib or limit) and sys.version_info < (3, 13) \
            and call != "nest(32)":
        pytest.skip("before 3.13 the interpreter's own frames overflow the stack first")
    if where == "thread" and kib == 64 and (hasattr(sys, "gettotalrefcount") or
                                            implementation == "python" and
                                            sys.version_info >= (3, 14)):
        pytest.skip("from 3.14 the interpreter's own margins fill a 64 KiB stack: Python ends "
                    "this in library code (a debug build refuses such a thread)")
    if where == "thread" and kib == 128 and hasattr(sys, "gettotalrefcount") \
            and sys.version_info >= (3, 14):
        pytest.skip("a debug build keeps the last 128 KiB of a stack for its own checks: "
                    "no Python code runs in such a thread")
    code = """
        import ctypes, functools, os, resource, sys, threading, types
        import ovralite.api.npu_config.npu_config as m
{}
        if {limit}:
            sys.setrecursionlimit({limit})
        ended = []
        def run():
            try:
                {}
                ended.append("completed")
            except BaseException as error:
                ended.append(type(error).__name__)
    """.format(textwrap.indent(textwrap.dedent(setup).strip(), " " * 8), call,
               limit=limit).rstrip() + "\n" + textwrap.indent(
        textwrap.dedent(ON_STACK[where].format(kib=kib)), " " * 8) + "\n        print(*ended)"
    proc = run_python(code, implementation=implementation, env={"PYTHONWARNINGS": "ignore"},
                      timeout=300)
    if call.startswith("nest("):
        expected = run_python(code, implementation="python", timeout=300).stdout.strip()
        assert expected == "completed"
    else:
        expected = "RecursionError"
    assert (proc.returncode, proc.stdout.strip()) == (0, expected), proc.stderr[-2000:]


@pytest.mark.process
@pytest.mark.parametrize("stall", [
    "m.ovraLog = types.SimpleNamespace(e=stall)\ncall = lambda: m.NPUConfig('no such model')",
    "m.copy = types.SimpleNamespace(deepcopy=stall)\ncall = lambda: m.DeviceConfig('t', 'p')",
])
def test_daemon_thread_inside_an_operation_at_exit(implementation, stall):
    # The thread keeps giving up and taking back the GIL inside the module's
    # frames while the interpreter finalizes, which ends it where it stands.
    code = """
        import threading, time, types
        import ovralite.api.npu_config.npu_config as m
        started = threading.Event()
        def stall(value):
            started.set()
            while True:
                time.sleep(0.0001)
        {}
        threading.Thread(target=call, daemon=True).start()
        started.wait()
    """.format(stall.replace("\n", "\n        "))
    for _ in range(6):
        proc = run_python(code, implementation=implementation)
        assert proc.returncode == 0, proc.stderr[-2000:]


def test_failing_lookup_in_a_record_namespace_propagates(m):
    class Boom(Exception):
        pass

    armed = []

    class Colliding(str):
        def __hash__(self):
            return hash("core")

        def __eq__(self, other):
            if armed:
                raise Boom
            return False

    record = m.DeviceConfig("t", "p")
    namespace = vars(record)
    core = namespace.pop("core")
    namespace[Colliding("x")] = 1  # probed before "core" from now on
    namespace["core"] = core
    armed.append(True)
    with pytest.raises(Boom):
        record.serialize()


@pytest.mark.cpython
def test_changes_after_the_type_cache_is_cleared(m, monkeypatch):
    clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    for _ in range(3):
        m.DeviceDtype.get_options()
        m.DeviceConfig("t", "p")
        clear_type_cache()
    monkeypatch.setattr(m.DeviceDtype, "FLOAT32", "f32")
    assert m.DeviceDtype.get_options()[-1] == "f32"
    stored = []
    monkeypatch.setattr(m.DeviceConfig, "core", property(lambda self: 7, lambda self, v: stored.append(v)),
                        raising=False)
    clear_type_cache()
    record = m.DeviceConfig("t", "p")
    assert stored == [1] and record.core == 7


@pytest.mark.skipif(sys.version_info < (3, 10), reason="NameError.name is new in 3.10")
def test_name_errors_carry_the_name(m, monkeypatch):
    monkeypatch.delattr(m, "copy")
    with pytest.raises(NameError) as caught:
        m.DeviceConfig("t", "p")
    assert caught.value.name == "copy"


def test_parse_device_searches_the_module_builtins_not_the_callers(m, models, monkeypatch):
    class Record:
        def __init__(self, target, pid):
            self.nn_support_dtypes = []

    models.write("M", "[device]\n")
    monkeypatch.setattr(m, "DeviceConfig", Record)
    monkeypatch.delattr(m, "DeviceDtype")
    caller_builtins = dict(vars(__builtins__) if isinstance(__builtins__, types.ModuleType)
                           else __builtins__, DeviceDtype=m.InitOptimization)
    with pytest.raises(NameError, match="'DeviceDtype'"):
        exec("m.NPUConfig('M')", {"m": m, "__builtins__": caller_builtins})


def test_class_namespaces_as_a_class_statement_makes_them(compiled):
    # Modules as loaded: other tests change and restore class attributes.
    m, twin = load_compiled_module(), load_python_module()
    for name in ("InitOptimization", "DeviceDtype", "DeviceConfig", "NPUConfig"):
        ours, theirs = vars(getattr(m, name)), vars(getattr(twin, name))
        # A class statement also files its first line, which has no meaning here.
        assert list(ours) == [k for k in theirs if k != "__firstlineno__"]
        if sys.version_info >= (3, 13):
            assert ours["__static_attributes__"] == theirs["__static_attributes__"]
        # Class methods carry what classmethod() copies from its function.
        for key, value in theirs.items():
            if isinstance(value, classmethod):
                shown = ["__name__", "__qualname__", "__doc__", "__wrapped__", "__module__"]
                copied = [getattr(ours[key], a, None) for a in shown]
                expected = [getattr(value, a, None) for a in shown]
                assert copied[:3] == expected[:3]
                assert (copied[3] is None) == (expected[3] is None)
                assert copied[4] == expected[4]


def test_documentation_found_as_for_python_methods(compiled, python):
    def documented(module):
        with installed_as(module):  # where inspect finds a function's class
            return [inspect.getdoc(getattr(getattr(module, cls), method))
                    for cls, method in [("DeviceConfig", "__init__"),
                                        ("DeviceConfig", "serialize"), ("NPUConfig", "__init__"),
                                        ("DeviceDtype", "get_options")]]

    assert documented(compiled) == documented(python)
    assert "Initialize self" in documented(compiled)[0]


def observe_missing_attribute(module):
    record = module.DeviceConfig("t", "p")
    del record.core
    try:
        record.serialize()
    except AttributeError as error:
        return (getattr(error, "name", None), getattr(error, "obj", None) is record)


def observe_dropped_vocabulary(module):
    import gc
    import weakref
    for _ in range(3):
        module.DeviceDtype.get_options(), module.InitOptimization.get_options()
    refs = [weakref.ref(module.DeviceDtype), weakref.ref(module.InitOptimization)]
    del module.DeviceDtype, module.InitOptimization
    gc.collect()
    return [ref() is None for ref in refs]


def observe_recursion_depth(module):
    """How deep a comparison that builds records recursively gets, and the
    lowest recursion limit under which each vocabulary query succeeds."""
    depth = [0]

    class Recurse:
        __hash__ = None

        def __eq__(self, other):
            depth[0] += 1
            module.DeviceConfig("t", "p", nn_support_dtypes=[Recurse()])

    with pytest.raises(RecursionError):
        module.DeviceConfig("t", "p", nn_support_dtypes=[Recurse()])

    def lowest_limit(query):
        saved = sys.getrecursionlimit()
        for limit in range(2, 500):
            try:
                sys.setrecursionlimit(limit)
                query()
                return limit - len(inspect.stack(0))
            except RecursionError:
                pass
            finally:
                sys.setrecursionlimit(saved)
    lowest_limit(lambda: None)  # the first search in a process settles lazy state
    return depth[0], [lowest_limit(q) for q in (module.DeviceDtype.get_options,
                                                module.DeviceDtype.get_quantization_dtype,
                                                module.InitOptimization.get_options)]


def observe_signal_during_the_check(module):
    """Which exception a signal's handler raising during the check of a long
    list gives, and whether the list was copied first."""
    import signal

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        raise Interrupted

    copied = []
    real_copy = module.copy
    # A C function, in which no handler runs: whether the copy was reached.
    module.copy = types.SimpleNamespace(deepcopy=copied.append)
    saved = signal.signal(signal.SIGALRM, handler)
    names = ["float16"] * 3000000
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        module.DeviceConfig("t", "p", nn_support_dtypes=names)
        raised = None
    except Interrupted as error:
        raised = type(error).__name__
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, saved)
        module.copy = real_copy
    return raised, len(copied)


def observe_builtins_searched(module):
    """Which builtins the loader and its _parse_device search for a name the
    module lacks: with the namespace's __builtins__ a module, a dict or gone,
    called from code whose builtins have that name."""
    import builtins
    import tempfile

    class Record:
        def __init__(self, target, pid):
            self.nn_support_dtypes = []

    seen = []
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "config", "npu_config"))
        with open(os.path.join(root, "config", "npu_config", "M"), "w") as handle:
            handle.write("[device]\n")
        namespace = vars(module)
        saved = {k: namespace[k] for k in ("ROOT_DIR", "DeviceConfig", "DeviceDtype",
                                           "__builtins__")}
        module.ROOT_DIR, module.DeviceConfig = root, Record
        del module.DeviceDtype
        callers = dict(vars(builtins), DeviceDtype=module.InitOptimization)
        try:
            for own in (builtins, dict(vars(builtins)), None):
                if own is None:
                    del namespace["__builtins__"]
                else:
                    namespace["__builtins__"] = own
                try:
                    exec("m.NPUConfig('M')", {"m": module, "__builtins__": callers})
                    seen.append("loaded")
                except Exception as error:
                    seen.append((type(error).__name__, str(error)))
        finally:
            namespace.update(saved)
    return seen


def observe_name_error_as_shown(module):
    """The last line of a NameError's traceback: from 3.12 its "Did you mean"
    hint comes from the names of the frame the error left."""
    import copy
    import traceback
    saved = module.copy
    del module.copy
    module.cop = copy
    try:
        module.DeviceConfig("t", "p")
    except NameError as error:
        return traceback.format_exception(type(error), error, error.__traceback__)[-1]
    finally:
        module.copy = saved
        del module.cop


def observe_messages_logged(module):
    """What the loader logs for a model without a file and for a path that
    exists but is no readable file, and the record it then holds."""
    import tempfile
    logged = []
    saved = module.ROOT_DIR, module.ovraLog
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "config", "npu_config", "folder"))
        module.ROOT_DIR = root
        module.ovraLog = types.SimpleNamespace(e=logged.append)
        try:
            records = [module.NPUConfig(name).device.serialize() for name in ("absent", "folder")]
        finally:
            module.ROOT_DIR, module.ovraLog = saved
    return logged, [dict(record, sdk_dir=None) for record in records]


@pytest.mark.parametrize("observe", [observe_missing_attribute, observe_dropped_vocabulary,
                                     observe_recursion_depth, observe_signal_during_the_check,
                                     observe_builtins_searched, observe_name_error_as_shown,
                                     observe_messages_logged])
def test_observed_as_for_the_module_in_python(compiled, observe):
    assert observe(load_compiled_module()) == observe(load_python_module())


@pytest.mark.port
def test_a_module_object_ending_while_an_exception_passes_leaves_it(compiled, monkeypatch):
    # A module object whose load failed before its classes were made is in no
    # cycle: it ends when its last reference goes, here from the evaluation
    # stack as 1 / 0 raises, with the ZeroDivisionError on its way.
    spec = importlib.util.find_spec(NAME)

    def failed_load():
        module = importlib.util.module_from_spec(spec)
        with monkeypatch.context() as patch:
            patch.setattr(sys, "flags", types.SimpleNamespace())  # read as the load starts
            with pytest.raises(AttributeError):
                spec.loader.exec_module(module)
        return module

    with pytest.raises(ZeroDivisionError):
        [failed_load(), 1 / 0]


def needed_libraries(path):
    """The libraries a 64-bit ELF shared object names as needed (DT_NEEDED)."""
    import struct
    with open(path, "rb") as handle:
        data = handle.read()
    assert data[:5] == b"\x7fELF\x02", "a 64-bit ELF file"
    end = "<" if data[5] == 1 else ">"
    (shoff,) = struct.unpack_from(end + "Q", data, 0x28)
    shentsize, shnum = struct.unpack_from(end + "HH", data, 0x3A)
    # Each section: name, type, flags, address, offset, size, link, ...
    sections = [struct.unpack_from(end + "IIQQQQI", data, shoff + i * shentsize)
                for i in range(shnum)]
    dynamic = next(section for section in sections if section[1] == 6)  # SHT_DYNAMIC
    strings = sections[dynamic[6]][4]  # the offset of the string table it links to
    needed = []
    for offset in range(dynamic[4], dynamic[4] + dynamic[5], 16):
        tag, value = struct.unpack_from(end + "qQ", data, offset)
        if tag == 1:  # DT_NEEDED
            needed.append(data[strings + value:data.index(b"\0", strings + value)].decode())
    return needed


@pytest.mark.port
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="an ELF shared object")
def test_the_compiled_module_links_no_cpp_runtime(compiled):
    needed = needed_libraries(compiled.__file__)
    assert any(name.startswith("libc.") for name in needed), needed
    assert not [name for name in needed if "c++" in name], needed
