"""Every interpreter its own module: isolated subinterpreters with their own
GIL (3.12+), many at once, and created and destroyed without leaving
anything behind in the main interpreter."""
import json
import os
import sys

import pytest

from conftest import NAME, PYTHON_SOURCE, load_compiled_module, run_python

pytestmark = [pytest.mark.process, pytest.mark.cpython]
isolated_only = pytest.mark.skipif(sys.version_info < (3, 12),
                                   reason="isolated subinterpreters are new in 3.12")

# Runs `code` in a new isolated interpreter (own GIL, own allocator) and
# destroys it; raises RuntimeError with the interpreter's error, if any.
# The interpreters here (3.12.1, 3.13.0) corrupt memory around two optional
# extension modules in isolated interpreters: 3.12 when it destroys one that
# refused a single-phase module (datetime's _datetime, PyYAML's _yaml), 3.13
# when several import _datetime at once. datetime and PyYAML then use their
# pure-Python code, as they do wherever those modules are missing.
RUN_ISOLATED = """
import sys
PRELUDE = "import sys\\nsys.modules['_datetime'] = sys.modules['yaml._yaml'] = None\\n"
def run_isolated(code):
    code = PRELUDE + code
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        iid = interpreters.create("isolated")
        try:
            failure = interpreters.run_string(iid, code)
        finally:
            interpreters.destroy(iid)
        if failure is not None:
            raise RuntimeError(failure.errdisplay)
    else:
        import _xxsubinterpreters as interpreters
        iid = interpreters.create(isolated=True)
        try:
            interpreters.run_string(iid, code)
        except interpreters.RunFailedError as error:
            raise RuntimeError(str(error))
        finally:
            interpreters.destroy(iid)
"""

# Every shipped model, as NPUConfig loads and serializes it.
DESCRIBE = """
import json, os
from ovralite.api.npu_config import npu_config as m
names = sorted(os.listdir(os.path.join(m.ROOT_DIR, "config", "npu_config")))
described = {}
for name in names:
    npu = m.NPUConfig(name)
    described[name] = [npu.device.serialize(),
                       [npu.is_quantize_method_compatible(d) for d in m.DeviceDtype.get_options()],
                       m.DeviceDtype.get_options(), m.InitOptimization.get_options()]
"""


def test_legacy_subinterpreter_and_a_second_module_object(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "described.json"
    code = "import sys\nsys.modules['_datetime'] = sys.modules['yaml._yaml'] = None\n"
    assert testcapi.run_in_subinterp(
        code + DESCRIBE + "open({!r}, 'w').write(json.dumps(described))\n".format(str(out))) == 0
    namespace = {}
    exec(DESCRIBE, namespace)
    assert json.loads(out.read_text()) == json.loads(json.dumps(namespace["described"]))
    other = load_compiled_module()
    ours = namespace["m"]
    assert type(other.DeviceConfig.serialize) is not type(ours.DeviceConfig.serialize)
    assert other.NPUConfig(namespace["names"][0]).device.serialize() == \
        ours.NPUConfig(namespace["names"][0]).device.serialize()


@isolated_only
def test_isolated_interpreter_answers_as_the_main_one(tmp_path):
    out = tmp_path / "described.json"
    proc = run_python(RUN_ISOLATED + """
run_isolated({!r})
""".format(DESCRIBE + "open({!r}, 'w').write(json.dumps(described))\n".format(str(out))))
    assert proc.returncode == 0, proc.stderr[-3000:]
    namespace = {}
    exec(DESCRIBE, namespace)
    assert namespace["described"] and json.loads(out.read_text()) == json.loads(
        json.dumps(namespace["described"]))


@isolated_only
def test_four_isolated_interpreters_at_once():
    work = DESCRIBE + """
expected = json.dumps(described)
for _ in range(300):
    for name in names:
        record = m.DeviceConfig(name, "0XFF", nn_support_dtypes=["float16"])
        assert record.serialize()["nn_support_dtypes"] == ["float16"]
    again = {}
    for name in names[:3]:
        again[name] = m.NPUConfig(name).device.serialize()
    assert all(json.dumps(again[n]) == json.dumps(described[n][0]) for n in again)
"""
    proc = run_python(RUN_ISOLATED + """
import threading
failures = []
def worker():
    try:
        run_isolated({!r})
    except Exception as error:
        failures.append(error)
threads = [threading.Thread(target=worker) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert not failures, failures
print("done")
""".format(work))
    assert (proc.returncode, proc.stdout.strip()) == (0, "done"), proc.stderr[-3000:]


@pytest.mark.slow
@isolated_only
def test_interpreters_come_and_go_leaving_no_more_than_python_does():
    # The interpreter itself leaves blocks behind for every interpreter
    # destroyed; the same module written in Python is the measure.
    twin = ("import importlib.util as u\n"
            "spec = u.spec_from_file_location({!r}, {!r})\n"
            "twin = u.module_from_spec(spec)\n"
            "spec.loader.exec_module(twin)\n").format(NAME, PYTHON_SOURCE)
    proc = run_python(RUN_ISOLATED + """
def growth(code):
    for _ in range(5):
        run_isolated(code)
    before = sys.getallocatedblocks()
    for _ in range(40):
        run_isolated(code)
    return sys.getallocatedblocks() - before
ours = growth({!r})
python = growth({!r})
print(ours, python)
""".format(DESCRIBE, DESCRIBE.replace("from ovralite.api.npu_config import npu_config as m",
                                      twin + "m = twin")), timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    ours, python = map(int, proc.stdout.split())
    assert ours <= python * 1.02 + 200, (ours, python)
