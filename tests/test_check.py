"""The checker: what it finds and where."""
import string

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

from ovralite.api.npu_config.check import DEVICE_KEYS, check_file


def test_reports_with_file_line_column_and_code(tmp_path):
    path = tmp_path / "c.ini"
    path.write_text("[device]\ncores = 2\ncore   =   0x2\nfloat16_support=maybe\n")
    problems = check_file(str(path), name="mine")
    assert [str(p) for p in problems] == [
        "mine:2:1: NPU304 warning: key 'cores' is not read by the loader; did you mean 'core'?",
        "mine:3:12: NPU202 error: core: '0x2' is not an integer",
        "mine:4:17: NPU203 error: float16_support: 'maybe' is not a switch: use 1/yes/true/on "
        "or 0/no/false/off",
    ]
    assert problems[1].as_json() == {"file": "mine", "line": 3, "column": 12, "code": "NPU202",
                                     "severity": "error", "message": "core: '0x2' is not an "
                                     "integer", "key": "core"}


# text, where ("LINE:COL"), code, what the message says. A comment line
# "# ovralite-npu: ignore CODES" silences those codes on the next line.
@pytest.mark.parametrize("text,where,code,fragment", [
    ("[Device]\ncore = 1\n", "1:1", "NPU302", "section [Device] is not [device]"),
    ("[other]\n", "1:0", "NPU301", "no section [device]"),
    ("[device]\n[extra]\na = 1\n", "2:1", "NPU303", "section [extra] is not read by the loader"),
    ("[DEFAULT]\ncores = 2\n[device]\n", "2:1", "NPU304",
     "key 'cores' in [DEFAULT] is not read by the loader; did you mean 'core'?"),
    ("junk\n[device]\n", "1:1", "NPU101", "text before the first section header: junk"),
    ("[device]\n  [device]\n", "2:3", "NPU103",
     "section [device] is given twice (first on line 1)"),
    ("[device]\ncore = 1\ncore = 2\n", "3:1", "NPU104",
     "key 'core' is given twice in section [device] (first on line 2)"),
    ("[device]\nnoequals line\n", "2:1", "NPU102", "cannot parse line: noequals line"),
    ("[device]\ntarget = %(nope)s\n", "2:10", "NPU201", "interpolation fails"),
    ("[DEFAULT]\ncore = two\n[device]\n", "2:8", "NPU202", "core: 'two' is not an integer"),
    ("[device]\ncore = 0\n", "2:8", "NPU402", "core: 0 is no count of a device (at least 1)"),
    ("[device]\ninput_buffer_depth = -5\n", "2:22", "NPU402",
     "input_buffer_depth: -5 is no count"),
    ("[device]\nevis = -1\n", "2:8", "NPU403", "evis: -1 is below 0"),
    ("[device]\ncore = 1_000\n", "2:8", "NPU401",
     "core: '1_000' is read as 1000; write it as 1000"),
    ("[device]\ncore: +3\n", "2:7", "NPU401", "core: '+3' is read as 3; write it as 3"),
    ("[device]\nmad_per_core = 12345678901234567890123\n", "2:16", "NPU404",
     "mad_per_core: 12345678901234567890123 is larger than any device's"),
    ("[device]\ntarget = VIP8000 # the usual\n", "2:18", "NPU305",
     "target: '# the usual' is part of the value: the loader takes no comments after a value"),
    ("[device]\nmad_per_core = 64 ; per core\n", "2:19", "NPU305",
     "'; per core' is part of the value"),
    ("[device]\noptimization = false\n", "2:16", "NPU306",
     "optimization: the loader keeps false as text"),
    ("\ufeff[device]\ncore = 1\n", "1:1", "NPU003",
     "the file starts with a byte-order mark, which the "
     "loader reads as text before the first section header; save the file without it"),
    (b"[device]\ntarget = ab\xff\n", "2:12", "NPU002", "not valid"),
    (None, "0:0", "NPU001", "cannot be read: No such file or directory"),
    ("[device]\n# ovralite-npu: ignore NPU304\ncores = 2\nevis = -1\n", "4:8", "NPU403",
     "below 0"),
    ("[device]\n; ovralite-npu: ignore NPU403,NPU404\nevis = -1\ncore: 0\n", "4:7", "NPU402", ""),
    ("[device]\n# ovralite-npu: ignore NPU403 NPU999\nevis = -1\n", "2:31", "NPU004",
     "'NPU999' is no rule code; the comment silences only the codes it names"),
    ("[device]\n#ovralite-npu: ignore\nevis = -1\n", "2:22", "NPU004",
     "the suppression comment names no rule code"),
    ("[device]\n# ovralite-npu: ignore NPU104\ncore = 1\ncore = 2\n", "4:1", "NPU104", "twice"),
])
def test_problem_kinds(tmp_path, text, where, code, fragment):
    path = tmp_path / "c.ini"
    if isinstance(text, bytes):
        path.write_bytes(text)
    elif text is not None:
        path.write_bytes(text.encode("utf-8"))
    problems = check_file(str(path))
    first = problems[0] if problems else None
    assert first and "{}:{}".format(first.line, first.column) == where and \
        first.code == code and fragment in first.message, problems


def test_counts_what_it_does_not_show(tmp_path):
    path = tmp_path / "c.ini"
    path.write_text("[device]\n" + "".join("key{} = 1\n".format(i) for i in range(500)))
    problems = check_file(str(path))
    assert len(problems) == 21
    assert str(problems[-1]) == "{}:22:1: NPU304 warning: and 480 more keys not read by the " \
        "loader".format(path)


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


# --- the checker agrees with the loader, on generated files ----------------------

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
    errors = [p for p in problems if p.severity == "error"]
    # Each finding stands where its file has a line, its column within it.
    rows = text.split("\n")
    assert all(0 <= p.line <= len(rows) and 0 <= p.column <= len(rows[p.line - 1]) + 1
               for p in problems), problems
    saved = m.ROOT_DIR
    m.ROOT_DIR = str(tmp_path)
    try:
        m.NPUConfig("M")
        loaded = True
    except Exception:
        loaded = False
    finally:
        m.ROOT_DIR = saved
    assert loaded != bool(errors), (text, errors)
