"""ovralite-npu as users run it: list, show, check, their inputs, output and status."""
import io
import json
import os
import signal
import subprocess
import sys
import time

import pytest
import yaml

from ovralite.api.npu_config.cli import main, shipped_models

pytestmark = [pytest.mark.process]

PROGRAM = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), out=out, err=err)
    return code, out.getvalue(), err.getvalue()


def test_list_names_every_shipped_model():
    code, out, _ = run("list")
    assert code == 0
    assert [line.split()[0] for line in out.splitlines()] == shipped_models()
    assert "target=VIPNANOQ pid=0X82 core=1 nn_support_dtypes=dynamic_fixed_point-8" in out
    code, out, _ = run("list", "--format", "json")
    assert json.loads(out)["VIPNANOQ_PID0X82"] == {
        "target": "VIPNANOQ", "pid": "0X82", "core": 1,
        "nn_support_dtypes": ["dynamic_fixed_point-8"]}


def test_show_keeps_the_mapping_order_and_one_shape_in_every_format():
    from ovralite.api.npu_config.npu_config import NPUConfig
    names = ["VIPNANOQ_PID0X82", "VIP9000PICO_PID0XEE", "VIPNANOQ_PID0X82"]
    code, as_text, _ = run("show", names[0])
    assert code == 0 and "!!" not in as_text  # no Python-specific tags
    assert list(yaml.safe_load(as_text)) == list(NPUConfig(names[0]).device.serialize())
    shown = {form: run("show", *names, "--format", form) for form in ("text", "yaml", "json")}
    assert [code for code, _, _ in shown.values()] == [0, 0, 0]
    assert yaml.safe_load(shown["text"][1]) == yaml.safe_load(shown["yaml"][1]) == \
        json.loads(shown["json"][1])
    assert list(json.loads(shown["json"][1])) == names[:2]  # the repeated name shown once


@pytest.mark.parametrize("argv, points_to", [
    (["show", "--format", "xml", "--all"], "ovralite-npu show --help"),
    (["list", "--format", "csv"], "ovralite-npu list --help"),
    (["check", "--nope"], "ovralite-npu check --help"),
    (["list", "extra"], "ovralite-npu list --help"),
    (["check", "-", "--format"], "ovralite-npu check --help"),
    (["frobnicate"], "ovralite-npu --help"),
    (["show"], None),
    (["check"], None),
])
def test_usage_errors_are_one_line_and_status_2(argv, points_to, capsys):
    code, out, err = run(*argv)
    captured = capsys.readouterr()  # argparse writes to sys.stderr itself
    lines = (err + captured.err).splitlines()
    assert (code, out, captured.out, len(lines)) == (2, "", "", 1), lines
    assert lines[0].startswith("ovralite-npu: ")
    assert points_to is None or "(see '{}')".format(points_to) in lines[0]


def test_log_messages_are_shown_once_with_the_root_logger_configured(monkeypatch):
    import logging
    from ovralite.api.npu_config import cli

    root_stream = io.StringIO()
    root = logging.getLogger()
    handler = logging.StreamHandler(root_stream)
    root.addHandler(handler)
    # list loads every shipped model by name; one of them has lost its file.
    monkeypatch.setattr(cli, "shipped_models", lambda: ["VIPNANOQ_PID0X82", "GONE"])
    try:
        code, _, err = run("list")
    finally:
        root.removeHandler(handler)
    assert code == 0 and err.count("Config for NPU GONE does not exists!") == 1
    assert root_stream.getvalue() == "" and logging.getLogger("ovralite").propagate


# What users type, as bash runs it from a folder of configuration files:
# good (clean), typo (a key the loader never reads), bad (one error, three
# warnings), a directory tree with a hidden part, and Device ([Device]).
FILES = {
    "good": "[device]\ncore = 2\n",
    "typo": "[device]\ncores = 2\n",
    "bad": "[device]\ncore = two\ntarget = T # note\noptimization = false\ncorez = 1\n",
    "tree/a": "[device]\ncore = 3\n",
    "tree/sub/b": "[device]\ncores = 4\n",
    "tree/.hidden/c": "[device]\ncore = x\n",
    "tree/.d": "junk\n",
    "Device": "[Device]\ncore = 2\n",
    "cafe": "[device]\ntarget = Caf\u00e9 NPU\n",
}
BAD_LINES = ["./bad:2: error: core: 'two' is not an integer",
             "./bad:3: warning: target: '# note' is part of the value: the loader takes no "
             "comments after a value",
             "./bad:4: warning: optimization: the loader keeps false as text, not as a switch, "
             "and a text that is not empty counts as true; use enable_all, disable_all or manual",
             "./bad:5: warning: key 'corez' is not read by the loader; did you mean 'core'?"]
TYPO = "./typo:2: warning: key 'cores' is not read by the loader; did you mean 'core'?"
ERR = "ovralite-npu: "


@pytest.mark.parametrize("command, code, out, err", [
    # A pipe is read once: shown, with no finding from a second, empty read.
    ("show <(printf '[device]\\ncore = 3\\n') --format json", 0, '"core": 3', ""),
    ("printf '[device]\\ncore = two\\n' | ovralite-npu show -", 1, "",
     ERR + "<stdin>:2: error: core: 'two' is not an integer\n"),
    ("printf '[device]\\ncores = 2\\n' | ovralite-npu check - --format json", 1,
     '"file": "<stdin>"', ""),
    # Output that cannot be written: one line, status 1; a reader that stops
    # reading leaves the status to what the run found.
    ("--help > /dev/full", 1, "", ERR + "cannot write the output: No space left on device\n"),
    ("--version > /dev/full", 1, "", ERR + "cannot write the output: No space left on device\n"),
    ("show --all > /dev/full", 1, "", ERR + "cannot write the output: No space left on device\n"),
    ("check ./bad | true", 1, "", ""),
    ("check ./typo ./bad | head -1", 1, TYPO + "\n", ""),
    ("list | head -1", 0, "VIP8000NANOSI_PLUS_PID0XAD", ""),
    # Inputs: closed standard input, what cannot be read, what is missing:
    # each said on standard error, the readable ones still checked.
    ("check - <&-", 2, "", ERR + "<stdin>: standard input is closed\n"),
    ("show - <&-", 2, "", ERR + "<stdin>: standard input is closed\n"),
    ("check /proc/self/mem", 2, "", ERR + "/proc/self/mem: cannot be read: Input/output error\n"),
    ("check ./good ./typo ./bad ./nope", 2, "\n".join([TYPO] + BAD_LINES) + "\n",
     ERR + "./nope: no such file\n"),
    ("check ./tree", 1, "./tree/sub/b:2: warning: key 'cores' is not read by the loader; did "
     "you mean 'core'?\n", ""),
    ("show ./tree --format json", 0, '"./tree/a": {',
     ERR + "./tree/sub/b:2: warning: key 'cores' is not read by the loader; did you mean "
     "'core'?\n"),
    ("show vipnanoq_pid0x82", 2, "", ERR + "no shipped model 'vipnanoq_pid0x82'; did you mean "
     "'VIPNANOQ_PID0X82'? (see 'ovralite-npu list')\n"),
    # show says what check finds, each line prefixed; -q silences output only.
    ("show ./bad", 1, "", "".join(ERR + line + "\n" for line in BAD_LINES)),
    ("show -q ./typo", 0, "", ERR + TYPO + "\n"),
    ("show ./Device --strict -q", 1, "", ERR + "./Device:1: warning: section [Device] is not "
     "[device]: section names are case-sensitive, so the loader ignores it\n"),
    # One name per file, as typed; the same file once.
    ("show \"$PWD/good\" ./good --format json", 0, '"core": 2', ""),
    ("check ./typo \"$PWD/typo\"", 1, TYPO + "\n", ""),
    # Text as written, in every format.
    ("show ./cafe", 0, "target: Caf\u00e9 NPU\n", ""),
    ("show ./cafe --format json", 0, '"target": "Caf\u00e9 NPU"', ""),
    ("check --all -q", 0, "", ""),
    ("", 2, "", "usage: ovralite-npu [-h] [--version] COMMAND ...\n" + ERR +
     "name a command: list, show or check (see 'ovralite-npu --help')\n"),
])
def test_the_program_as_users_run_it(tmp_path, command, code, out, err):
    for name, text in FILES.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text, encoding="utf-8")
    line = command if command.startswith("printf") else "ovralite-npu " + command
    proc = subprocess.run(
        ["bash", "-c", "set -o pipefail; " + line.replace("ovralite-npu", "'{}'".format(
            PROGRAM))], cwd=str(tmp_path), capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"))
    assert (proc.returncode, proc.stderr) == (code, err.replace("$PWD", str(tmp_path)))
    assert (out in proc.stdout) if out else proc.stdout == "", proc.stdout


def test_version_says_which_module_runs_and_where():
    import ovralite
    from ovralite.api.npu_config import cli, npu_config
    proc = subprocess.run([PROGRAM, "--version"], capture_output=True, text=True, timeout=60)
    kind = "module in plain Python" if npu_config.__file__.endswith(".py") else "compiled module"
    assert proc.stdout.startswith("ovralite-npu {} ({}, ".format(ovralite.__version__, kind))
    assert cli.implementation() in proc.stdout


@pytest.mark.parametrize("command", [
    [PROGRAM, "list"],
    [sys.executable, "-m", "ovralite.api.npu_config", "list"],
    [sys.executable, "-m", "ovralite.api.npu_config.cli", "list"],
])
def test_every_entry_is_the_same_program(command):
    proc = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "") and proc.stdout.count("\n") == len(
        shipped_models())


def test_ctrl_c_ends_the_program_with_one_line():
    # The entry takes Ctrl-C before it imports anything of the package.
    proc = subprocess.run([sys.executable, "-c", "import sys, ovralite_npu; "
                           "print(sorted(m for m in sys.modules if 'ovralite' in m))"],
                          capture_output=True, text=True, timeout=60)
    assert proc.stdout.strip() == "['ovralite_npu']"
    # check - waits for its standard input: interrupted there, once it waits.
    proc = subprocess.Popen([PROGRAM, "check", "-"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 60
    while time.time() < deadline:
        with open("/proc/{}/wchan".format(proc.pid)) as handle:
            if "pipe" in handle.read():
                break
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert (proc.returncode, out, err) == (130, "", "ovralite-npu: interrupted\n")


def test_interrupt_inside_a_command_is_one_line(monkeypatch):
    from ovralite.api.npu_config import cli

    def interrupted(args, run):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "cmd_list", interrupted)
    assert run("list") == (130, "", "ovralite-npu: interrupted\n")


def test_documented_example_is_clean_and_loads(m, tmp_path):
    from ovralite.api.npu_config.check import check_file
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "docs", "configuration-files.md")) as handle:
        doc = handle.read()
    example = doc.split("```ini\n", 1)[1].split("```", 1)[0]
    path = tmp_path / "example"
    path.write_text(example)
    assert check_file(str(path)) == []
    device = m.NPUConfig(str(path)).device
    assert (device.core, device.nn_support_dtypes) == (2, ["float16", "asymmetric_quantized-u8"])


def readme_commands():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "README.md")) as handle:
        readme = handle.read()
    block = readme.split("## Command-line tool", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    return [line.split("#", 1)[0].strip() for line in block.splitlines() if line.strip()]


def test_the_readme_python_example_runs(capsys):
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "README.md")) as handle:
        example = handle.read().split("```python\n", 1)[1].split("```", 1)[0]
    exec(compile(example, "README.md", "exec"), {})
    assert "OrderedDict" in capsys.readouterr().out


@pytest.mark.parametrize("command", readme_commands())
def test_the_readme_commands_run_as_it_says(tmp_path, command):
    (tmp_path / "configs").mkdir()
    for folder in (tmp_path, tmp_path / "configs"):
        (folder / "my_model").write_text("[device]\ntarget = Mine\ncore = 2\n")
    proc = subprocess.run(["bash", "-c", command.replace("ovralite-npu", "'{}'".format(PROGRAM))],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, ""), command
    assert proc.stdout or " check " in command  # a clean check says nothing
