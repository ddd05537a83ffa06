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

from conftest import PROGRAM, run_shell
from ovralite.api.npu_config.cli import main, shipped_models

pytestmark = [pytest.mark.process, pytest.mark.program]



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
    (["chek", "."], "ovralite-npu --help"),
    (["--strict", "list"], "ovralite-npu list --help"),
    (["--format", "sarif", "show", "x"], "ovralite-npu show --help"),
    (["check", "--format", "xml", "x"], "ovralite-npu check --help"),
    (["check", "x", "--ignore", "NPU999"], None),
    (["show", "x", "--select", ""], None),
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
# warnings), a directory tree with a hidden part, Device ([Device]), a file
# named as a shipped model, binary junk, and a FIFO in a folder of its own.
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
    "VIPNANOQ_PID0X82": "[device]\ncore = two\n",
    "junk/blob": b"\x7fELF\x02\x01\x01\x00\xff\xfe\x00",
    "pipes/": None,
}
BAD_LINES = ["./bad:2:8: NPU202 error: core: 'two' is not an integer",
             "./bad:3:12: NPU305 warning: target: '# note' is part of the value: the loader "
             "takes no comments after a value",
             "./bad:4:16: NPU306 warning: optimization: the loader keeps false as text, not as "
             "a switch, and a text that is not empty counts as true; use enable_all, "
             "disable_all or manual",
             "./bad:5:1: NPU304 warning: key 'corez' is not read by the loader; did you mean "
             "'core'?"]
TYPO = "./typo:2:1: NPU304 warning: key 'cores' is not read by the loader; did you mean 'core'?"
SHADOW = "VIPNANOQ_PID0X82:2:8: NPU202 error: core: 'two' is not an integer\n"
ERR = "ovralite-npu: "
# File permissions deny root too, in what follows $drop (as conftest.run_python does).
AS_USER = ("drop=; [ $(id -u) != 0 ] || drop='setpriv --inh-caps=-dac_override,-dac_read_search "
           "--bounding-set=-dac_override,-dac_read_search'; ")


def toml(*lines):
    """bash writing p/pyproject.toml of these lines (and making p/q)."""
    return "mkdir -p p/q && printf '%s\\n' {} > p/pyproject.toml && ".format(
        " ".join("'{}'".format(line) for line in lines))


@pytest.mark.parametrize("command, code, out, err", [
    # A pipe is read once: shown, with no finding from a second, empty read.
    ("show <(printf '[device]\\ncore = 3\\n') --format json", 0, '"core": 3', ""),
    ("printf '[device]\\ncore = two\\n' | ovralite-npu show -", 1, "",
     "<stdin>:2:8: NPU202 error: core: 'two' is not an integer\n"),
    ("printf '[device]\\ncores = 2\\n' | ovralite-npu check - --format json", 0,
     '"file": "<stdin>"', ""),
    # A FIFO named is read; one met in a walk is left out, never waited on.
    ("mkfifo pipes/f && { printf '[device]\\ncore = x\\n' > pipes/f & } && "
     "ovralite-npu check pipes/f", 1, "pipes/f:2:8: NPU202", ""),
    ("mkfifo pipes/f && ovralite-npu check pipes", 2,
     "pipes: NPU001 error: a directory without configuration files\n", ""),
    # Output that cannot be written: one line, status 1; a reader that stops
    # reading leaves the status to what the run found.
    ("--help > /dev/full", 1, "", ERR + "cannot write the output: No space left on device\n"),
    ("--version > /dev/full", 1, "", ERR + "cannot write the output: No space left on device\n"),
    ("show --all > /dev/full", 1, "", ERR + "cannot write the output: No space left on device\n"),
    ("check ./bad | true", 1, "", ""),
    ("check ./typo ./bad | head -1", 1, TYPO + "\n", ""),
    ("list | head -1", 0, "VIP8000NANOSI_PLUS_PID0XAD", ""),
    # Every argument of check is a path, as linters take them; shipped
    # models by --model. show: an existing path wins over a model's name.
    ("check VIPNANOQ_PID0X82", 1, SHADOW, ""),
    ("check .", 1, "./VIPNANOQ_PID0X82:2:8: NPU202", ""),
    ("check --model VIPNANOQ_PID0X82 --model VIPNANOQI_PID0X88", 0, "", ""),
    ("show VIPNANOQ_PID0X82 -q", 1, "", SHADOW),
    ("show --model VIPNANOQ_PID0X82 --format json", 0, '"target": "VIPNANOQ"', ""),
    ("check VIPNANOQI_PID0X88", 2, "VIPNANOQI_PID0X88: NPU001 error: no such file or "
     "directory; for the shipped model of that name, use --model VIPNANOQI_PID0X88\n", ""),
    ("check --model vipnanoq_pid0x82", 2, "vipnanoq_pid0x82: NPU001 error: no shipped model of "
     "that name; did you mean 'VIPNANOQ_PID0X82'? (see 'ovralite-npu list')\n", ""),
    ("show vipnanoq_pid0x82", 2, "", "vipnanoq_pid0x82: NPU001 error: no such file or "
     "directory, and no shipped model of that name; did you mean 'VIPNANOQ_PID0X82'? (see "
     "'ovralite-npu list')\n"),
    # Inputs that cannot be read are findings (NPU001, status 2), the
    # readable ones still checked, in the order named.
    ("check - <&-", 2, "<stdin>: NPU001 error: standard input is closed\n", ""),
    ("show - <&-", 2, "", "<stdin>: NPU001 error: standard input is closed\n"),
    (AS_USER + "chmod 000 good && $drop ovralite-npu check ./good", 2, "./good: NPU001 error: "
     "cannot be read: Permission denied\n", ""),
    ("check /proc/self/mem", 2, "/proc/self/mem: NPU001 error: cannot be read: Input/output "
     "error\n", ""),
    ("check ./good ./typo ./bad ./nope", 2, "\n".join([TYPO] + BAD_LINES) +
     "\n./nope: NPU001 error: no such file or directory\n", ""),
    ("check ./nope --format json", 2, '"code": "NPU001"', ""),
    ("check junk", 1, "junk/blob:1:", ""),
    ("check ./tree", 0, "./tree/sub/b:2:1: NPU304 warning: key 'cores' is not read by the "
     "loader; did you mean 'core'?\n", ""),
    # Status: warnings alone pass unless --strict, for check and show alike.
    ("check ./typo --strict", 1, TYPO + "\n", ""),
    ("show ./Device --strict -q", 1, "", "./Device:1:1: NPU302 warning: section [Device] is "
     "not [device]: section names are case-sensitive, so the loader ignores it\n"),
    ("show -q ./typo", 0, "", TYPO + "\n"),
    # Rules chosen by code or prefix; files left out by glob.
    ("check ./bad --select NPU2,NPU304", 1, BAD_LINES[0] + "\n" + BAD_LINES[3] + "\n", ""),
    ("check ./bad --ignore NPU202 --ignore NPU3", 0, "", ""),
    ("check --select NPU3 ./bad ./nope --ignore NPU305,NPU306", 2,
     BAD_LINES[3] + "\n./nope: NPU001",
     ""),
    ("check . --exclude 'VIP*' --exclude junk --exclude bad --exclude pipes", 0,
     "./tree/sub/b:2:1: NPU304", ""),
    ("check ./bad --exclude bad", 0, "", ""),
    # The same settings from [tool.ovralite-npu] of the nearest pyproject.toml
    # that has the table; the command line after it.
    (toml("[tool.ovralite-npu]", 'ignore = ["NPU202"]') + "cd p/q && ovralite-npu check "
     "../../bad --select NPU202", 1, "../../bad:2:8: NPU202", ""),
    (toml("[tool.ovralite-npu]", 'ignore = ["NPU2"]') + "cd p/q && ovralite-npu check ../../bad",
     0, "../../bad:3:12: NPU305", ""),
    (toml("[tool.ovralite-npu]", "strict = true") + "printf '[project]' > p/q/pyproject.toml && "
     "cd p/q && ovralite-npu check ../../typo", 1, "NPU304", ""),
    (toml("[tool.ovralite-npu]", 'exclude = ["q/*"]') + "cp bad typo p/q && cd p && "
     "ovralite-npu check q && ovralite-npu check ../bad --exclude 'b*' -q", 0, "", ""),
    (toml("[tool.ovralite-npu]", 'selct = ["NPU2"]') + "cd p/q && ovralite-npu check ../../good",
     2, "", ERR + "$PWD/p/pyproject.toml: [tool.ovralite-npu] has no setting 'selct'; did you "
     "mean 'select'? The settings are select, ignore, exclude, strict.\n"),
    (toml("[tool.ovralite-npu]", 'strict = "yes"') + "cd p && ovralite-npu show ../good", 2, "",
     ERR + "$PWD/p/pyproject.toml: [tool.ovralite-npu]: strict takes true or false, not "
     "'yes'.\n"),
    (toml("[tool.ovralite-npu]", 'ignore = ["NPU9"]') + "cd p && ovralite-npu check ../good", 2,
     "", ERR + "$PWD/p/pyproject.toml: [tool.ovralite-npu] ignore: 'NPU9' is no rule code; did "
     "you mean 'NPU404'? (see 'ovralite-npu rules')\n"),
    (toml("[tool]", "ovralite-npu = 3") + "cd p && ovralite-npu check ../good", 2, "",
     ERR + "$PWD/p/pyproject.toml: tool.ovralite-npu is a table of settings, not a value.\n"),
    ("mkdir p && printf 'x = [' > p/pyproject.toml && cd p && ovralite-npu check ../good", 2, "",
     ERR + "$PWD/p/pyproject.toml: cannot be read as TOML: ..."),
    ("mkdir p && printf '\\xff\\xfe' > p/pyproject.toml && cd p && ovralite-npu list -q && "
     "ovralite-npu check ../good", 2, "", ERR + "$PWD/p/pyproject.toml: cannot be read as "
     "TOML: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte.\n"),
    ("mkdir -p p/pyproject.toml && cd p && ovralite-npu check ../good", 0, "", ""),
    # show's findings are check's lines, on standard error; its output has
    # one shape for the arguments given, whatever fails.
    ("show ./bad", 1, "", "".join(line + "\n" for line in BAD_LINES)),
    ("show ./bad --format json", 1, "", BAD_LINES[0] + "\n" + "".join(
        line + "\n" for line in BAD_LINES[1:])),
    ("show ./good ./nope --format json", 2, '{\n  "./good": {',
     "./nope: NPU001 error: no such file or directory\n"),
    ("show ./tree --format json", 0, '"./tree/a": {',
     "./tree/sub/b:2:1: NPU304 warning: key 'cores' is not read by the loader; did you mean "
     "'core'?\n"),
    # Output formats for CI.
    ("check ./bad --format github --select NPU202,NPU304", 1,
     "::error file=./bad,line=2,col=8,title=NPU202::core: 'two' is not an integer\n"
     "::warning file=./bad,line=5,col=1,title=NPU304::key 'corez' is not read by the loader; "
     "did you mean 'core'?\n", ""),
    ("check ./nope --format github", 2,
     "::error file=./nope,title=NPU001::no such file or directory\n", ""),
    ("check ./bad --format sarif -q", 1, "", ""),
    # Options before or after the command, and between paths.
    ("-q check ./bad", 1, "", ""),
    ("--format json --strict check ./typo", 1, '"code": "NPU304"', ""),
    ("check ./typo --format json ./bad -q", 1, "", ""),
    ("--format json list", 0, '"VIPNANOQ_PID0X82": {', ""),
    # One name per file, as typed; the same file once.
    ("show \"$PWD/good\" ./good --format json", 0, '"core": 2', ""),
    ("check ./typo \"$PWD/typo\"", 0, TYPO + "\n", ""),
    # Text as written, in every format.
    ("show ./cafe", 0, "target: Caf\u00e9 NPU\n", ""),
    ("show ./cafe --format json", 0, '"target": "Caf\u00e9 NPU"', ""),
    ("check --all -q --strict", 0, "", ""),
    ("", 2, "", "usage: ovralite-npu [-h] [--version] [OPTION ...] COMMAND [ARG ...]\n" + ERR +
     "name a command: list, show, check, rules (see 'ovralite-npu --help')\n"),
])
def test_the_program_as_users_run_it(tmp_path, command, code, out, err):
    for name, text in FILES.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        if name.endswith("/"):
            (tmp_path / name).mkdir()
        elif isinstance(text, bytes):
            (tmp_path / name).write_bytes(text)
        elif text is not None:
            (tmp_path / name).write_text(text, encoding="utf-8")
    line = command if "ovralite-npu " in command else "ovralite-npu " + command
    proc = run_shell("set -o pipefail; " + line, tmp_path, env={"PYTHONIOENCODING": "utf-8"})
    err = err.replace("$PWD", str(tmp_path))
    if err.endswith("..."):  # the rest is the TOML reader's own words, which vary
        err, proc.stderr = err[:-3], proc.stderr[:len(err) - 3]
    assert (proc.returncode, proc.stderr) == (code, err)
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


def test_the_readme_python_examples_run(capsys, tmp_path, monkeypatch):
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "README.md")) as handle:
        examples = [part.split("```", 1)[0] for part in handle.read().split("```python\n")[1:]]
    monkeypatch.chdir(tmp_path)
    (tmp_path / "configs").mkdir()
    (tmp_path / "configs" / "my_model").write_text("[device]\ncores = 2\n")
    for example in examples:
        exec(compile(example, "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert "OrderedDict" in out and "VIPNANOQ_PID0X82" in out and \
        "2 1 NPU304 warning key 'cores' is not read" in out


@pytest.mark.parametrize("command", readme_commands())
def test_the_readme_commands_run_as_it_says(tmp_path, command):
    (tmp_path / "configs").mkdir()
    for folder in (tmp_path, tmp_path / "configs"):
        (folder / "my_model").write_text("[device]\ntarget = Mine\ncore = 2\n")
    proc = run_shell(command, tmp_path)
    assert (proc.returncode, proc.stderr) == (0, ""), command
    assert proc.stdout or " check " in command  # a clean check says nothing
