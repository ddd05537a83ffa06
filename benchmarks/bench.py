"""Time per call of every public operation, side by side for: the installed
C++ module, the same C++ built without its shortcuts (the general path), the
module in plain Python that ships beside it (npu_config.py) and that Python
compiled with Cython.

Each time is shown as a ratio to a floor timed alternately in the same run:
the standard-library work the operation must do (copy.deepcopy of the list it
copies; for the loader, exactly the standard-library calls it makes), or a
do-nothing C call, [].__len__(), for operations that call no library code.
Each row says whether the module costs no more than the same module in
Python (within 5%) or, where even the least the public C API needs for the
operation (benchmarks/minimal.c) costs more than Python, no more than that;
the "saved" column is what the shortcuts save over the general path (a
shortcut stays only if it saves 20%).

With --instructions the measure is the count of machine instructions per
call, from valgrind's callgrind (runs of N and 2N calls, the difference over
N): unlike time, it does not move with the machine's load.

    python benchmarks/bench.py [--quick] [--instructions] [--check] [--general SO]
                               [--cython SO] [--minimal SO]
"""
import argparse
import concurrent.futures
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import timeit

import ovralite.api.npu_config as package
from ovralite.api.npu_config import npu_config as installed

HERE = os.path.dirname(os.path.abspath(__file__))
# The module in plain Python, beside the compiled one in the package.
PYTHON_SOURCE = os.path.join(os.path.dirname(package.__file__), "npu_config.py")
MODEL = "VIP8000NANOSI_PLUS_PID0XAD"
THREE = ["float16", "dynamic_fixed_point-8", "asymmetric_quantized-u8"]


# A module loaded from its file, as the import system loads it once found.
LOAD = """
import importlib.util
def _load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
"""

# What every statement may use: the module under test as `m`, and the rest.
SETUP = LOAD + """
import copy, sys
sys.path.insert(0, {here!r})
twin = _load({name!r}, {twin!r})
m = {module}
THREE = {three!r}
MODEL = {model!r}
deepcopy = copy.deepcopy
from library_calls import standard_library_calls
record = m.DeviceConfig("VIP8000", "0XFF", nn_support_dtypes=THREE)
loader = m.NPUConfig(MODEL)
NS = vars(m) if not isinstance(m, dict) else m
minimal = _load("npu_minimal", {minimal!r}) if {minimal!r} else None
"""


def setup_source(module_expression, minimal=None):
    return SETUP.format(here=HERE, name=installed.__name__, twin=PYTHON_SOURCE,
                        module=module_expression,
                        three=THREE, model=MODEL, minimal=minimal)


def instructions(stmt, setup, number=2000):
    """Instructions per execution of `stmt`, counted by callgrind."""
    def count(n):
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "callgrind.out")
            # Looped inside a function, as timeit loops: the statement's names
            # are globals, read as a function reads them.
            code = "{}\ndef _loop():\n    for _ in range({}):\n        {}\n_loop()\n".format(
                setup, n, stmt)
            # One hash seed for both runs: the start-up work cancels out exactly.
            proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                                   sys.executable, "-c", code], capture_output=True, text=True,
                                  env=dict(os.environ, PYTHONHASHSEED="0"))
            if proc.returncode:
                raise RuntimeError(proc.stderr[-2000:])
            with open(out) as handle:
                return int(re.search(r"^(?:summary|totals): (\d+)", handle.read(), re.M).group(1))
    return (count(2 * number) - count(number)) / number


# The first import of the module in a new process: what it costs beyond the
# imports it makes (the floor), the C++ module's shared object (and any
# library it links) included.
DEPENDENCIES = ("import os, sys, copy, configparser, yaml, collections\n"
                "import ovralite.api.ovra_log, ovralite.api.npu_config\n")
# Each loaded from its file, as the import system loads it once found.
IMPORTS = {
    "floor": "",
    "C++": "_load({name!r}, {compiled!r})\n",
    "general": "_load({name!r}, {general!r})\n",
    "Python": "_load({name!r}, {python!r})\n",
}


def import_instructions(code, minimal):
    """The instructions of `code` in a new interpreter that has made the
    imports it makes, counted by callgrind with the meter of
    benchmarks/minimal.c on around it alone. (A process's time varies by more
    than the import costs: it is counted, never timed.)"""
    # Without the garbage collector, whose passes fall wherever the process's
    # allocations happen to cross its thresholds.
    metered = ("import gc; gc.disable()\n" + LOAD + DEPENDENCIES
               + "minimal = _load('npu_minimal', {!r})\n".format(minimal)
               + "minimal.toggle()\n" + code + "minimal.toggle()\n")
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--callgrind-out-file=" + out, sys.executable, "-c", metered],
                       capture_output=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as handle:
            return int(re.search(r"^(?:summary|totals): (\d+)", handle.read(), re.M).group(1))


def import_row(names, general, minimal):
    """The instructions of the first import of each source in a new process,
    over those of the imports it makes."""
    codes = {label: IMPORTS[label].format(name=installed.__name__, compiled=installed.__file__,
                                          general=general, python=PYTHON_SOURCE)
             for label in ["floor"] + names if label in IMPORTS}
    costs = {label: import_instructions(code, minimal) for label, code in codes.items()}
    floor = costs.pop("floor")
    return {label: max(cost - floor, 0) for label, cost in costs.items()}, floor


def metered_instructions(jobs, setup):
    """Instructions per call of each (key, statement, number) in `jobs`, all
    counted in one run under callgrind: each statement is looped once to warm
    up, then looped again with the meter of benchmarks/minimal.c on."""
    lines = [setup]
    for i, (key, stmt, number) in enumerate(jobs):
        lines.append("def _loop_{}():\n    for _ in range({}):\n        {}".format(i, number, stmt))
    lines.append("for _key, _loop in [{}]:\n"
                 "    _loop()\n    minimal.dump('warm')\n"
                 "    minimal.toggle(); _loop(); minimal.toggle()\n"
                 "    minimal.dump(_key)".format(
                     ", ".join("({!r}, _loop_{})".format(key, i)
                               for i, (key, _, _) in enumerate(jobs))))
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        proc = subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                               "--callgrind-out-file=" + out, sys.executable, "-c",
                               "\n".join(lines)], capture_output=True, text=True,
                              env=dict(os.environ, PYTHONHASHSEED="0"))
        if proc.returncode:
            raise RuntimeError(proc.stderr[-2000:])
        counts = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name)) as handle:
                text = handle.read()
            trigger = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if trigger and total:
                counts[trigger.group(1)] = int(total.group(1))
    return {key: counts[key] / number for key, _, number in jobs}


def per_call(stmt, namespace, number):
    return timeit.Timer(stmt, globals=namespace).timeit(number=number) / number


def calibrated(stmt, namespace, sample):
    """How many calls of `stmt` take about `sample` seconds."""
    number = 1
    while True:
        if per_call(stmt, namespace, number) * number >= sample / 4:
            return max(1, int(number * sample / (per_call(stmt, namespace, number) * number)))
        number *= 4


def best_times(timed, rounds, sample):
    """Best time per call of each (key, statement, namespace) in `timed`,
    sampled round-robin in short runs so that the machine's drift and
    interruptions fall on all of them alike and the minimum escapes them."""
    numbers = {key: calibrated(stmt, ns, sample) for key, stmt, ns in timed}
    best = {key: float("inf") for key, _, _ in timed}
    for _ in range(rounds):
        for key, stmt, ns in timed:
            best[key] = min(best[key], per_call(stmt, ns, numbers[key]))
    return best


def shown(seconds):
    return "{:.1f} us".format(seconds * 1e6) if seconds > 1e-5 else "{:.0f} ns".format(seconds * 1e9)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 when an operation is slower than Python")
    parser.add_argument("--general", help="the module built with OVRALITE_SHORTCUTS=OFF")
    parser.add_argument("--cython",
                        help="npu_config.py compiled by Cython as npu_config_cython")
    parser.add_argument("--minimal", help="benchmarks/minimal.c built as npu_minimal")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions with callgrind instead of timing")
    parser.add_argument("--only", help="the rows whose name contains this text")
    args = parser.parse_args(argv)
    rounds = 10 if args.quick else 40
    sample = 0.005

    sources = [("C++", "__import__('ovralite.api.npu_config.npu_config', "
                       "fromlist=['*'])")]
    if args.general:
        sources.append(("general", "_load({!r}, {!r})".format(installed.__name__, args.general)))
    sources.append(("Python", "twin"))
    if args.cython:
        sources.append(("Cython", "_load('npu_config_cython', {!r})".format(args.cython)))
    if args.minimal:
        sources.append(("C API", "__import__('ovralite.api.npu_config.npu_config', "
                                 "fromlist=['*'])"))
    setups = {label: setup_source(expression, args.minimal) for label, expression in sources}
    spaces = {}
    if not args.instructions:
        for label, source in setups.items():
            spaces[label] = {}
            exec(source, spaces[label])

    c_floor = "[].__len__()"
    rows = [
        # name, statement over `m`, floor, floor statement[, the C API's least]
        ("DeviceConfig(target, pid)", "m.DeviceConfig('VIP8000', '0XFF')",
         "deepcopy([])", "deepcopy([])"),
        ("DeviceConfig(..., 3 dtypes)", "m.DeviceConfig('VIP8000', '0XFF', nn_support_dtypes=THREE)",
         "deepcopy(THREE)", "deepcopy(THREE)"),
        ("DeviceConfig.serialize()", "record.serialize()",
         "deepcopy(THREE)", "deepcopy(THREE)", "minimal.serialize(record, NS)"),
        ("DeviceDtype.get_options()", "m.DeviceDtype.get_options()", c_floor, c_floor),
        ("DeviceDtype.get_quantization_dtype()", "m.DeviceDtype.get_quantization_dtype()",
         c_floor, c_floor),
        ("InitOptimization.get_options()", "m.InitOptimization.get_options()", c_floor, c_floor),
        ("is_quantize_method_compatible()", "loader.is_quantize_method_compatible('float16')",
         c_floor, c_floor, "minimal.compatible(loader, 'float16')"),
        ("NPUConfig(model)", "m.NPUConfig(MODEL)", "library calls",
         "standard_library_calls(MODEL)"),
    ]
    names = [name for name, _ in sources]
    print("CPython {}; ratios to the floor of each row".format(sys.version.split()[0]))
    unit = "C++ instr." if args.instructions else "C++ time"
    print("{:<38} {:>14} {:>10}".format("operation", "floor", unit)
          + "".join("{:>9}".format(n) for n in names)
          + "{:>10} {:>8}  ".format("vs Python", "saved"))
    missed = []
    pool = concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1)
    rows = [row for row in rows if not args.only or args.only in row[0]]

    def statements_of(row):
        name, stmt, floor_name, floor_stmt, *api = row
        statements = {label: stmt for label in names}
        if "C API" in statements:
            if not api:
                del statements["C API"]
            else:
                statements["C API"] = api[0]
        statements["floor"] = floor_stmt
        return statements

    metered = {}
    if args.instructions and args.minimal:
        # One run per source, every row in it. The loader reads a file per
        # call: fewer calls count as well.
        jobs = {}
        for row in rows:
            number = 40 if row[3].startswith("standard_library_calls") else 2000
            for label, statement in statements_of(row).items():
                source = "C++" if label in ("floor", "C API") else label
                jobs.setdefault(source, []).append(((row[0], label), statement, number))
        futures = {source: pool.submit(metered_instructions,
                                       [(repr(key), stmt, number) for key, stmt, number in job],
                                       setups[source])
                   for source, job in jobs.items()}
        for source, future in futures.items():
            for (key, _, _), count in zip(jobs[source], future.result().values()):
                metered[key] = count
    for row in rows:
        name, stmt, floor_name, floor_stmt, *api = row
        statements = statements_of(row)
        if metered:
            best = {label: metered[(name, label)] for label in statements}
        elif args.instructions:
            number = 40 if floor_stmt.startswith("standard_library_calls") else 2000
            counted = {label: pool.submit(instructions, statement, setups[
                "C++" if label in ("floor", "C API") else label], number)
                for label, statement in statements.items()}
            best = {label: future.result() for label, future in counted.items()}
        else:
            timed = [(label, statement, spaces["C++" if label in ("floor", "C API") else label])
                     for label, statement in statements.items()]
            best = best_times(timed, rounds, sample)
        best_floor = best.pop("floor")
        ratios = {n: best[n] / best_floor for n in names if n in best}
        # Never slower than Python (5% for noise in time); where the public C
        # API's least costs more than Python, within 5% of that least.
        speed = best["Python"] / best["C++"]
        bound = max(best["Python"], best.get("C API", 0))
        verdict = "ok" if best["C++"] <= 1.05 * bound else "SLOWER"
        if verdict == "ok" and best["C++"] > 1.05 * best["Python"]:
            verdict = "ok: at the C API's least"
        if verdict == "SLOWER":
            missed.append(name)
        saved = ""
        if "general" in best:
            saved = "{:.0f}%".format(100 * (1 - best["C++"] / best["general"]))
        amount = "{:.0f}".format(best["C++"]) if args.instructions else shown(best["C++"])
        print("{:<38} {:>14} {:>10}".format(name, floor_name, amount)
              + "".join("{:>8.2f}x".format(ratios[n]) if n in ratios else "{:>9}".format("-")
                        for n in names)
              + "{:>9.2f}x {:>8}  {}".format(speed, saved, verdict))
    import_counted = args.instructions and args.minimal
    if import_counted and (not args.only or args.only in "import"):
        own, floor = import_row(names, args.general, args.minimal)
        verdict = "ok" if own["C++"] <= 1.05 * own["Python"] else "SLOWER"
        if verdict == "SLOWER":
            missed.append("import")
        print("{:<38} {:>14} {:>10.0f}".format("import (a new process)", "its imports", own["C++"])
              + "".join("{:>9}".format("{:.2f}".format(own[n] / max(own["Python"], 1)) + "P")
                        if n in own else "{:>9}".format("-") for n in names)
              + "{:>9.2f}x {:>8}  {}".format(own["Python"] / max(own["C++"], 1), "", verdict))
    print("Columns: each source's cost per call over the row's floor (lower is faster):"
          " C++ this module; general its build without shortcuts; Python the same module"
          " in plain Python (npu_config.py); Cython that Python compiled; C API the"
          " least the public C API needs for the operation (benchmarks/minimal.c, plain C"
          " functions). vs Python: Python's cost over C++'s (above 1 the module is faster);"
          " saved: what the shortcuts save (1 - C++/general; negative: they cost).")
    print("import: the module's own instructions in a new process beyond the imports it"
          " makes, as a share of the Python module's (P); counted with --instructions alone,"
          " as a process's time varies by more than the import costs.")
    print("floors: deepcopy(...) is copy.deepcopy; library calls are those NPUConfig makes"
          " (benchmarks/library_calls.py); others {}".format(c_floor))
    if args.check and missed:
        print("missed: " + ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
