"""The C stack each public operation holds below its entry, for the installed
module and the module in plain Python, and what one level of recursion
through the module (logger -> NPUConfig -> logger) adds: the sizes the
module's stack guard keeps room for (src/native/stack.cpp). Measured by
benchmarks/stack_use.c, which paints the stack below the call and finds the
lowest byte the call wrote.

    python benchmarks/stack_use.py SO    (SO: stack_use.c built as npu_stack_use)
"""
import importlib.util
import os
import sys
import types

import ovralite.api.npu_config as package
from ovralite.api.npu_config import npu_config as installed

MODEL = "VIPNANOQ_PID0X82"
LEVELS = 20


def load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def operations(m):
    record = m.DeviceConfig("t", "p")
    npu = m.NPUConfig(MODEL)

    def missing():
        try:
            m.NPUConfig("no such model")
        except FileNotFoundError:
            pass
    return {
        "NPUConfig(model)": lambda: m.NPUConfig(MODEL),
        "NPUConfig(missing model)": missing,
        "DeviceConfig(target, pid)": lambda: m.DeviceConfig("t", "p"),
        "DeviceConfig.serialize()": record.serialize,
        "DeviceDtype.get_options()": m.DeviceDtype.get_options,
        "is_quantize_method_compatible": lambda: npu.is_quantize_method_compatible("float16"),
    }


def per_level(m, used):
    """Bytes one more level of logger -> NPUConfig -> logger holds."""
    saved = m.ovraLog
    depth, limit = [0], [0]

    def e(message):
        if depth[0] < limit[0]:
            depth[0] += 1
            m.NPUConfig("no such model")

    def run():
        try:
            m.NPUConfig("no such model")
        except FileNotFoundError:
            pass
    m.ovraLog = types.SimpleNamespace(e=e)
    try:
        counts = []
        for levels in (0, LEVELS):
            depth[0], limit[0] = 0, levels
            run()  # the calls warmed, as in the measured run
            depth[0] = 0
            counts.append(used(run))
        return (counts[1] - counts[0]) / LEVELS
    finally:
        m.ovraLog = saved


def main(argv=None):
    so = (argv or sys.argv[1:])[0]
    used = load("npu_stack_use", so).used
    python = load(installed.__name__, os.path.join(os.path.dirname(package.__file__),
                                                   "npu_config.py"))
    sources = [("C++", installed), ("Python", python)]
    print("CPython {}: C stack below each call's entry, in bytes".format(sys.version.split()[0]))
    print("{:<32}".format("operation") + "".join("{:>10}".format(n) for n, _ in sources))
    rows = {}
    for label, m in sources:
        for name, call in operations(m).items():
            call()
            call()
            rows.setdefault(name, []).append(used(call))
    for name, sizes in rows.items():
        print("{:<32}".format(name) + "".join("{:>10}".format(size) for size in sizes))
    print("{:<32}".format("one level of recursion") +
          "".join("{:>10.0f}".format(per_level(m, used)) for _, m in sources))
    print("The guard keeps room for a level of the deepest row with a margin: 16 KiB "
          "(32 KiB on a debug build); from 3.14, 6 KiB (12 KiB) above the interpreter's "
          "own last four stack margins, in which a level fits.")


if __name__ == "__main__":
    main()
