"""Time per call of every public operation, as a ratio to its floor.

The floor of the in-memory operations is a do-nothing C call,
``[].__len__()``; the floor of the loader is a bare
``ConfigParser(dict_type=OrderedDict).read(path)`` of the same file. Both are
timed the same way in the same run, so the ratios hold across machines.

    python benchmarks/bench.py [--quick] [--check]
"""
import argparse
import collections
import configparser
import os
import sys
import timeit

from ovralite.api.npu_config import npu_config as m

MODEL = "VIP8000NANOSI_PLUS_PID0XAD"
THREE = ["float16", "dynamic_fixed_point-8", "asymmetric_quantized-u8"]


def per_call(stmt, namespace, number, repeat):
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def ratio_to_floor(stmt, floor_stmt, namespace, number, repeat):
    """Times `stmt` and its floor alternately, so that drift in the
    machine's speed affects both; returns (per call, floor per call)."""
    best, best_floor = float("inf"), float("inf")
    for _ in range(repeat):
        best_floor = min(best_floor, per_call(floor_stmt, namespace, number, 1))
        best = min(best, per_call(stmt, namespace, number, 1))
    return best, best_floor


def shown(seconds):
    return "{:.1f} us".format(seconds * 1e6) if seconds > 1e-5 else "{:.0f} ns".format(seconds * 1e9)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 when an operation misses its target")
    args = parser.parse_args(argv)
    repeat = 5 if args.quick else 15
    fast = 20000 if args.quick else 100000
    slow = 200 if args.quick else 1000

    path = os.path.join(m.ROOT_DIR, "config", "npu_config", MODEL)
    record = m.DeviceConfig("VIP8000", "0XFF", nn_support_dtypes=THREE)
    loader = m.NPUConfig(MODEL)
    ns = dict(m=m, THREE=THREE, record=record, loader=loader, path=path,
              ConfigParser=configparser.ConfigParser, OrderedDict=collections.OrderedDict)

    c_floor_stmt = "[].__len__()"
    parse_floor_stmt = "ConfigParser(dict_type=OrderedDict).read(path)"
    rows = [
        # name, statement, floor, number, target
        ("DeviceConfig(target, pid)", "m.DeviceConfig('VIP8000', '0XFF')", c_floor_stmt, fast,
         7.0),
        ("DeviceConfig(..., 3 dtypes)",
         "m.DeviceConfig('VIP8000', '0XFF', nn_support_dtypes=THREE)", c_floor_stmt, fast, 8.0),
        ("DeviceConfig.serialize()", "record.serialize()", c_floor_stmt, fast, 12.0),
        ("DeviceDtype.get_options()", "m.DeviceDtype.get_options()", c_floor_stmt, fast, 2.5),
        ("DeviceDtype.get_quantization_dtype()", "m.DeviceDtype.get_quantization_dtype()",
         c_floor_stmt, fast, None),
        ("InitOptimization.get_options()", "m.InitOptimization.get_options()", c_floor_stmt,
         fast, None),
        ("is_quantize_method_compatible()", "loader.is_quantize_method_compatible('float16')",
         c_floor_stmt, fast, 1.7),
        ("NPUConfig(model)", "m.NPUConfig('{}')".format(MODEL), parse_floor_stmt, slow, 1.8),
    ]
    print("CPython {}; floors: {} and {}".format(
        sys.version.split()[0], c_floor_stmt, parse_floor_stmt))
    print("{:<40} {:>12} {:>12} {:>8} {:>8}  {}".format(
        "operation", "per call", "floor", "ratio", "target", ""))
    missed = []
    for name, stmt, floor_stmt, number, target in rows:
        t, floor = ratio_to_floor(stmt, floor_stmt, ns, number, repeat)
        ratio = t / floor
        verdict = ""
        if target is not None:
            verdict = "ok" if ratio <= target else "MISSED"
            if ratio > target:
                missed.append(name)
        print("{:<40} {:>12} {:>12} {:>7.2f}x {:>8}  {}".format(
            name, shown(t), shown(floor), ratio,
            "" if target is None else "{:.1f}x".format(target), verdict))
    if args.check and missed:
        print("missed: " + ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
