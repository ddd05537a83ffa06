"""ovralite-npu: list, show, check, exit codes, and check agreeing with the loader."""
import io
import json
import os
import string
import subprocess
import sys

import pytest
import yaml
from hypothesis import given, strategies as st

from conftest import run_python
from ovralite.api.npu_config.check import DEVICE_KEYS, check_file
from ovralite.api.npu_config.cli import main, shipped_models


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), out=out, err=err)
    return code, out.getvalue(), err.getvalue()


def test_list_names_every_shipped_model(m):
    code, out, _ = run("list")
    assert code == 0
    lines = out.splitlines()
    assert [line.split()[0] for line in lines] == shipped_models()
    assert "target=VIPNANOQ pid=0X82 cores=1 dtypes=dynamic_fixed_point-8" in out


def test_show_yaml_keeps_the_mapping_order(m):
    code, out, _ = run("show", "VIPNANOQ_PID0X82")
    assert code == 0
    data = yaml.safe_load(out)
    assert list(data) == list(m.NPUConfig("VIPNANOQ_PID0X82").device.serialize())
    assert "!!" not in out  # no Python-specific tags


def test_show_json_and_path(m, tmp_path):
    path = tmp_path / "mine.ini"
    path.write_text("[device]\ncore = 3\n")
    code, out, _ = run("show", str(path), "--format", "json")
    assert code == 0 and json.loads(out)["core"] == 3
    code, out, _ = run("show", "--all", "--format", "json")
    assert sorted(json.loads(out)) == shipped_models()


@pytest.mark.parametrize("argv", [
    ["show", "no-such-model"], ["show"], ["check"], ["frobnicate"], [], ["show", "--format"],
    ["show", "--format", "xml", "--all"], ["list", "--format", "csv"], ["check", "--nope"],
    ["list", "extra"], ["check", "-", "--format"], ["show", "-", "--strict", "x"],
])
def test_usage_errors_are_one_line_and_status_2(argv, capsys):
    code, out, err = run(*argv)
    captured = capsys.readouterr()  # argparse writes to sys.stderr itself
    lines = (err + captured.err).splitlines()
    assert (code, out, captured.out, len(lines)) == (2, "", "", 1), lines
    assert lines[0].startswith("ovralite-npu: ")


def test_show_of_a_broken_file_is_reported(tmp_path):
    path = tmp_path / "bad.ini"
    path.write_text("[device]\ncore = x\n")
    code, out, err = run("show", str(path))
    assert (code, out, err) == (1, "", "ovralite-npu: {}:2: core: 'x' is not an integer\n".format(
        path))


def test_check_reports_with_file_and_line(tmp_path):
    path = tmp_path / "c.ini"
    path.write_text("[device]\ncores = 2\ncore = 0x2\nfloat16_support = maybe\n")
    code, out, _ = run("check", str(path))
    assert code == 1
    assert out.splitlines() == [
        "{}:2: key 'cores' is not read by the loader; did you mean 'core'?".format(path),
        "{}:3: core: '0x2' is not an integer".format(path),
        "{}:4: float16_support: 'maybe' is not a switch: use 1/yes/true/on or "
        "0/no/false/off".format(path),
    ]


@pytest.mark.parametrize("text,line,fragment", [
    ("[Device]\ncore = 1\n", 1, "section [Device] is not [device]"),
    ("[other]\n", 1, "no section [device]"),
    ("junk\n[device]\n", 1, "text before the first section header"),
    ("[device]\n[device]\n", 2, "section [device] is given twice (first on line 1)"),
    ("[device]\ncore = 1\ncore = 2\n", 3,
     "key 'core' is given twice in section [device] (first on line 2)"),
    ("[device]\nnoequals line\n", 2, "cannot parse line: noequals line"),
    ("[device]\ntarget = %(nope)s\n", 2, "interpolation fails"),
    ("[DEFAULT]\ncore = two\n[device]\n", 2, "core: 'two' is not an integer"),
    ("[device]\ncore = 0\n", 2, "core: 0 is no count of a device (at least 1)"),
    ("[device]\ninput_buffer_depth = -5\n", 2, "input_buffer_depth: -5 is no count"),
    ("[device]\nevis = -1\n", 2, "evis: -1 is below 0"),
    ("[device]\ncore = 1_000\n", 2, "core: '1_000' is read as 1000; write it as 1000"),
    ("[device]\ncore = +3\n", 2, "core: '+3' is read as 3; write it as 3"),
    ("[device]\nmad_per_core = 12345678901234567890123\n", 2,
     "mad_per_core: 12345678901234567890123 is larger than any device's"),
])
def test_check_problem_kinds(tmp_path, text, line, fragment):
    path = tmp_path / "c.ini"
    path.write_text(text)
    problems = check_file(str(path))
    assert problems and problems[0].line == line and fragment in problems[0].message


def test_check_undecodable_and_missing_files(tmp_path):
    path = tmp_path / "c.ini"
    path.write_bytes(b"[device]\ntarget = \xff\n")
    assert check_file(str(path))[0].line == 2
    assert "cannot be read" in check_file(str(tmp_path / "absent"))[0].message


def test_documented_example_is_clean_and_loads(m, tmp_path):
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "docs", "configuration-files.md")) as handle:
        doc = handle.read()
    example = doc.split("```ini\n", 1)[1].split("```", 1)[0]
    path = tmp_path / "example"
    path.write_text(example)
    assert check_file(str(path)) == []
    device = m.NPUConfig(str(path)).device
    assert (device.core, device.nn_support_dtypes) == (2, ["float16", "asymmetric_quantized-u8"])


def test_shipped_models_are_clean(m):
    folder = os.path.join(m.ROOT_DIR, "config", "npu_config")
    for name in shipped_models():
        assert check_file(os.path.join(folder, name)) == []


def test_module_entry_point_and_console_script():
    proc = subprocess.run([sys.executable, "-m", "ovralite.api.npu_config", "--help"],
                          capture_output=True, text=True)
    assert proc.returncode == 0 and "check" in proc.stdout and "show" in proc.stdout
    script = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")
    proc = subprocess.run([script, "list"], capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stdout


# --- check agrees with the loader, on generated files --------------------------

KEYS = list(DEVICE_KEYS) + ["cores", "Core", "extra"]
WORDS = ["1", "0", "yes", "no", "true", "false", "on", "off", "maybe", "2", "0x2", "-3",
         "64", "", "%(core)s", "%(nope)s", "100%", "%%", "LION", "/abs/dir", "\u00e9t\u00e9"]
value = st.one_of(st.sampled_from(WORDS), st.text(string.printable.strip(), max_size=6))
line = st.one_of(
    st.builds(lambda k, v: "{} = {}".format(k, v), st.sampled_from(KEYS), value),
    st.builds(lambda k, v: "{}: {}".format(k, v), st.sampled_from(KEYS), value),
    st.sampled_from(["[device]", "[Device]", "[DEFAULT]", "[other]", "# comment", "; note",
                     "  continued", "", "junk", "[device"]),
)


@given(lines=st.lists(line, max_size=12), raw=st.booleans())
def test_check_agrees_with_the_loader(m, tmp_path, lines, raw):
    folder = tmp_path / "config" / "npu_config"
    folder.mkdir(parents=True, exist_ok=True)
    text = "\n".join((["[device]"] if raw else []) + lines) + "\n"
    path = folder / "M"
    path.write_text(text)
    problems = check_file(str(path))
    saved = m.ROOT_DIR
    m.ROOT_DIR = str(tmp_path)
    try:
        m.NPUConfig("M")
        loaded = True
    except Exception:
        loaded = False
    finally:
        m.ROOT_DIR = saved
    if not problems:
        assert loaded, text
    if not loaded:
        assert problems, text


# --- what users meet ------------------------------------------------------------

@pytest.mark.parametrize("command", ["show", "check"])
def test_one_rule_for_what_every_command_takes(tmp_path, monkeypatch, command):
    folder = tmp_path / "folder"
    folder.mkdir()
    code, out, err = run(command, str(folder))
    assert (code, out) == (2, "") and err == \
        "ovralite-npu: {}: a directory without configuration files\n".format(folder)
    code, out, err = run(command, str(tmp_path / "absent"))
    assert (code, out, err) == (2, "", "ovralite-npu: {}: no such file\n".format(
        tmp_path / "absent"))
    code, out, err = run(command, "NO_SUCH_MODEL")
    assert (code, out) == (2, "") and "no shipped model 'NO_SUCH_MODEL'" in err
    # A directory: each file in it, by name; a shipped model by its name.
    (folder / "b").write_text("[device]\ncore = 2\n")
    (folder / "a").write_text("[device]\ncore = x\n")
    code, out, err = run(command, str(folder), "VIPNANOQ_PID0X82")
    assert code == 1
    assert str(folder / "a") in (out if command == "check" else err)
    (folder / "a").write_text("[device]\ncore = 3\n")
    code, out, _ = run(command, str(folder), "VIPNANOQ_PID0X82", "--format", "json")
    assert code == 0
    if command == "show":
        assert [v["core"] for v in json.loads(out).values()] == [3, 2, 1]
    else:
        assert json.loads(out) == []
    assert run(command, "--all", "-q") == (0, "", "")


def test_show_refuses_what_is_no_readable_file(tmp_path, monkeypatch):
    # A bare name is a shipped model, even with a file of that name here.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "VIPNANOQ_PID0X82").write_text("[device]\ncore = 7\n")
    (tmp_path / "local").write_text("[device]\ncore = 7\n")
    assert json.loads(run("show", "VIPNANOQ_PID0X82", "--format", "json")[1])["core"] == 1
    code, _, err = run("show", "local")
    assert code == 2 and "write ./local" in err
    assert json.loads(run("show", "./local", "--format", "json")[1])["core"] == 7


def test_show_of_a_file_without_read_permission_fails(tmp_path):
    path = tmp_path / "locked"
    path.write_text("[device]\ncore = 2\n")
    os.chmod(str(path), 0)
    proc = run_python("""
        import sys
        from ovralite.api.npu_config.cli import main
        sys.exit(main(["show", {!r}]))
    """.format(str(path)), file_permissions=True)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.strip() == "ovralite-npu: {}: cannot be read: Permission denied".format(path)


def test_errors_name_the_file_and_the_key(tmp_path):
    good, bad = tmp_path / "good", tmp_path / "bad"
    good.write_text("[device]\ncore = 2\n")
    bad.write_text("[device]\ntarget = T\ncore = two\n")
    code, out, err = run("show", str(good), str(bad))
    assert (code, out) == (1, "")
    first, *details = err.splitlines()
    assert (first, details) == ("ovralite-npu: {}:3: core: 'two' is not an integer".format(bad),
                                [])


def test_several_models_have_one_shape_in_both_formats(m):
    names = ["VIPNANOQ_PID0X82", "VIP9000PICO_PID0XEE", "VIPNANOQ_PID0X82"]
    code, as_yaml, _ = run("show", *names)
    code_json, as_json, _ = run("show", *names, "--format", "json")
    assert code == code_json == 0
    assert yaml.safe_load(as_yaml) == json.loads(as_json)
    assert list(json.loads(as_json)) == names[:2]  # the repeated name shown once
    assert json.loads(as_json)[names[0]] == json.loads(run("show", names[0], "--format",
                                                            "json")[1])


def test_version_interrupt_and_a_closed_pipe(monkeypatch, capsys):
    import ovralite
    from ovralite.api.npu_config import cli
    assert run("--version")[0] == 0
    assert capsys.readouterr().out == "ovralite-npu {}\n".format(ovralite.__version__)

    def interrupted(args, out, err):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "cmd_list", interrupted)
    assert run("list") == (130, "", "ovralite-npu: interrupted\n")
    monkeypatch.undo()
    script = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")
    proc = subprocess.run(
        ["bash", "-c", "set -o pipefail; '{}' show --all | head -1".format(script)],
        capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "") and proc.stdout.count("\n") == 1


def test_check_warns_about_what_surprises_authors(tmp_path):
    path = tmp_path / "c.ini"
    path.write_bytes("\ufeff[device]\ncore = 1\n".encode("utf-8"))
    assert [str(p) for p in check_file(str(path))] == [
        "{}:1: the file starts with a byte-order mark, which the loader reads as text "
        "before the first section header: save the file without it".format(path)]
    path.write_text("[device]\ntarget = VIP8000 # the usual\noptimization = false\n"
                    "mad_per_core = 64 ; per core\n")
    messages = [(p.line, p.message) for p in check_file(str(path))]
    assert (2, "target: '# the usual' is part of the value: the loader takes no comments "
               "after a value") in messages
    assert any(line == 3 and "optimization: the loader keeps false as text" in message
               for line, message in messages)
    assert any(line == 4 and "'; per core' is part of the value" in message
               for line, message in messages)
    path.write_text("junk line\n[device]\n")
    assert str(check_file(str(path))[0]) == \
        "{}:1: text before the first section header: junk line".format(path)
    assert str(check_file(str(tmp_path / "absent"))[0]) == \
        "{}: cannot be read: No such file or directory".format(tmp_path / "absent")


def test_check_counts_what_it_does_not_show(tmp_path):
    path = tmp_path / "c.ini"
    path.write_text("[device]\n" + "".join("key{} = 1\n".format(i) for i in range(500)))
    problems = check_file(str(path))
    assert len(problems) == 21
    assert str(problems[-1]) == "{}:22: and 480 more keys not read by the loader".format(path)


def test_log_messages_are_shown_once_with_the_root_logger_configured(monkeypatch):
    import logging
    from ovralite.api.npu_config import cli
    from ovralite.api.ovra_log import OVRALog

    real = cli._module()

    class Module:
        ROOT_DIR = real.ROOT_DIR

        @staticmethod
        def NPUConfig(name):
            OVRALog.e("Config for NPU {} does not exists!".format(name))
            return real.NPUConfig(name)

    root_stream = io.StringIO()
    root = logging.getLogger()
    handler = logging.StreamHandler(root_stream)
    root.addHandler(handler)
    monkeypatch.setattr(cli, "_module", lambda: Module)
    try:
        code, _, err = run("show", "VIPNANOQ_PID0X82")
    finally:
        root.removeHandler(handler)
    assert code == 0 and err.count("does not exists!") == 1 and root_stream.getvalue() == ""
    assert logging.getLogger("ovralite").propagate


@pytest.mark.parametrize("extra", [
    "",
    "core = 2\n  3\n",          # a continuation line makes core's value "2\n3"
    "evis = 2\n\n  x\n",        # a blank line inside the value, then its continuation
    "core = 1\ncore = 2\n",     # a key given twice
    "k5 = again\n",             # a key the loader never reads, given twice
    "target = %(k5)s\n",        # interpolation naming a key the loader never reads
    "[device]\n",               # the section given twice
])
def test_many_unknown_keys_are_parsed_as_the_loader_parses_them(tmp_path, monkeypatch, extra):
    from ovralite.api.npu_config import check
    path = tmp_path / "c.ini"
    body = "".join("k{0} = {0}\n  more {0}\n\n".format(i) if i % 3 else "k{} = v\n".format(i)
                   for i in range(60))
    path.write_text("[DEFAULT]\nx = 1\n[device]\n" + body + extra + "pid = 0x1\n[other]\na = b\n")
    reduced = check_file(str(path))
    monkeypatch.setattr(check, "_without_unknown_keys", lambda text, *rest: text)
    assert reduced == check_file(str(path))


CAFE = "[device]\ntarget = Caf\u00e9 NPU\ncore = 2\n"


@pytest.mark.parametrize("argv,stdin,stdout,code,expected_out,expected_err", [
    # Text as written, in both formats.
    (["show", "{file}"], None, None, 0, "target: Caf\u00e9 NPU\n", ""),
    (["show", "{file}", "--format", "json"], None, None, 0, '"target": "Caf\u00e9 NPU"', ""),
    # A full disk: one line, status 1, nothing more at exit.
    (["show", "--all"], None, "/dev/full", 1, "",
     "ovralite-npu: cannot write the output: No space left on device\n"),
    # Standard input, for check.
    (["check", "-"], "[device]\ncores = 2\n", None, 1,
     "<stdin>:2: key 'cores' is not read by the loader; did you mean 'core'?\n", ""),
    (["check", "-", "--format", "json"], "[device]\ncore = two\n", None, 1,
     '"key": "core",\n    "severity": "error"', ""),
    (["check", "-", "-q"], "[device]\ncore = two\n", None, 1, "", ""),
    (["show", "-", "--format", "json"], "[device]\ncore = 5\n", None, 0, '"core": 5', ""),
    (["show", "-"], "[device]\ncore = two\n", None, 1, "",
     "ovralite-npu: <stdin>:2: core: 'two' is not an integer\n"),
    (["list", "--format", "yaml"], None, None, 0, "VIPNANOQ_PID0X82:\n  target: VIPNANOQ\n", ""),
    # What check would report is said by show too; --strict makes it fail.
    (["show", "{dir}/Device"], None, None, 0, "target: ", "ovralite-npu: warning: {dir}/Device:1: "
     "section [Device] is not [device]: section names are case-sensitive, so the loader "
     "ignores it\n"),
    (["show", "{dir}/Device", "--strict", "-q"], None, None, 1, "", ""),
])
def test_the_program_as_users_run_it(tmp_path, argv, stdin, stdout, code, expected_out,
                                     expected_err):
    path = tmp_path / "cafe"
    path.write_text(CAFE, encoding="utf-8")
    (tmp_path / "Device").write_text("[Device]\ncore = 2\n")
    expected_err = expected_err.format(dir=tmp_path)
    script = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")
    with open(stdout, "w") if stdout else open(os.devnull) as sink:
        proc = subprocess.run([script] + [a.format(file=path, dir=tmp_path) for a in argv],
                              input=stdin,
                              stdout=sink if stdout else subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=60,
                              env=dict(os.environ, PYTHONIOENCODING="utf-8"))
    assert (proc.returncode, proc.stderr) == (code, expected_err)
    assert expected_out in (proc.stdout or "")


def test_ctrl_c_ends_the_program_with_one_line():
    import signal
    import time
    script = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")
    # check - waits for its standard input: interrupted there, once it waits.
    proc = subprocess.Popen([script, "check", "-"], stdin=subprocess.PIPE,
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
    script = os.path.join(os.path.dirname(sys.executable), "ovralite-npu")
    proc = subprocess.run(["bash", "-c", command.replace("ovralite-npu", "'{}'".format(script))],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (0, ""), command
    assert proc.stdout or " check " in command  # a clean check says nothing
