"""Validation of NPU configuration files, for ``ovralite-npu check``.

The checks perform the loader's own reads (the same parser, keys and read
operations) but go on after a failure, so one run reports every problem; on
top of that they point out what the loader silently passes over: a missing
or misspelt section "device", other sections, and keys it never reads.
"""

import array
import ast
import collections
import configparser
import itertools
import os
import difflib
import re
from typing import (Any, Dict, FrozenSet, Iterator, List, NamedTuple, Optional, Tuple,
                    Union)

from ovralite.api.npu_config.rules import RULES, UNREADABLE

__all__ = ["Problem", "check_file", "DEVICE_KEYS", "SECTION", "RULES"]

SECTION = "device"

# key: the section view's read operation, in the order the loader reads the
# keys (a test holds this to what the loader reads).
DEVICE_KEYS = collections.OrderedDict([
    ("target", "get"),
    ("pid", "get"),
    ("optimization", "get"),
    ("core", "getint"),
    ("mad_per_core", "getint"),
    ("input_buffer_depth", "getint"),
    ("evis", "getint"),
    ("float16_support", "getboolean"),
    ("dynamic_fixed_point-8_support", "getboolean"),
    ("dynamic_fixed_point-16_support", "getboolean"),
    ("asymmetric_quantized-u8_support", "getboolean"),
    ("extSRAMSizes", "get"),
    ("extAXISRAMSizes", "get"),
    ("sdk_dir", "get"),
    ("simulator_config", "get"),
])

# Findings of one kind shown one by one; the rest are counted.
SHOWN_PER_KIND = 20
FALSE_WORDS = ("0", "false", "no", "off")
_INLINE_COMMENT = re.compile(r"\s[#;]")



class Problem(NamedTuple):
    """One finding of the checker: what ``ovralite-npu check`` prints.

    `path` is the file as named; `line` and `column` count from 1 (0 where
    the finding is about the whole file, or no column is known); `code` is
    the rule's (``rules.RULES``), which gives the severity; `key` is the key
    at fault, where there is one. Printed as ``FILE:LINE:COL: CODE severity:
    message``, the parts that are 0 left out."""

    path: str
    line: int
    column: int
    code: str
    message: str
    key: Optional[str] = None

    @property
    def severity(self) -> str:
        """"error" (what the loader rejects) or "warning" (what it passes over)."""
        return RULES[self.code].severity

    def as_json(self) -> Dict[str, Any]:
        return {"file": self.path, "line": self.line, "column": self.column, "code": self.code,
                "severity": self.severity, "message": self.message, "key": self.key}

    def __str__(self) -> str:
        where = self.path
        if self.line:
            where += ":{}".format(self.line)
            if self.column:
                where += ":{}".format(self.column)
        return "{}: {} {}: {}".format(where, self.code, self.severity, self.message)


# Where a finding's column is, until the line is read: where the line's text
# starts, where the value of its item starts, or the comment in that value.
_START, _VALUE, _COMMENT = -1, -2, -3
# A whole-line comment silencing codes on the line after it:
# "# ovralite-npu: ignore NPU304, NPU305".
_SUPPRESSION = re.compile(r"ovralite-npu\s*:\s*ignore\b(.*)$")


def cannot_read(error: OSError) -> str:
    """Why a file cannot be read, as a finding says it."""
    return "cannot be read: {}".format("is a directory" if isinstance(error, IsADirectoryError)
                                       else error.strerror or error)


def _new_parser() -> configparser.ConfigParser:
    # Exactly the loader's parser.
    return configparser.ConfigParser(dict_type=collections.OrderedDict)


class _Scan(NamedTuple):
    headers: Dict[str, int]  # section -> line of its first header
    # (section, key) -> line of its first item: every key the loader reads,
    # and the first keys of [device] that it does not read (those shown)
    keys: Dict[Tuple[str, str], int]
    unknown: int  # items of [device] with a key the loader does not read
    blank: bytearray  # per line: 1 where such an item or its continuation stands
    repeated: bool  # some key is given twice in [device]
    plain: bool  # every line a header (each section once), an item, its
    # continuation, blank or a comment
    suppressed: Dict[int, FrozenSet[str]]  # line -> the codes silenced there
    notes: List[Problem]  # suppression comments that name no known code


def _header(text: str) -> Optional[str]:
    """The section a stripped line heads, as the parser's "[...]" pattern
    matches it (the name runs to the line's last "]"), or None."""
    end = text.rfind("]")
    return text[1:end] if text.startswith("[") and end >= 2 else None


def _delimiter(text: str) -> int:
    """Where an item line's first "=" or ":" stands (-1 where it has none)."""
    ends = [i for i in (text.find("="), text.find(":")) if i >= 0]
    return min(ends) if ends else -1


def _option(text: str) -> Optional[str]:
    """The key of a stripped item line: what precedes its first "=" or ":"."""
    end = _delimiter(text)
    return text[:end].rstrip() if end >= 0 else None


def _lines(text: str) -> Iterator[str]:
    """The lines of `text` with their ends, as the parser reads them (from a
    StringIO of it), without a copy of the whole text."""
    start, size = 0, len(text)
    while start < size:
        end = text.find("\n", start)
        end = size if end < 0 else end + 1
        yield text[start:end]
        start = end


def _scan(text: str, parser: configparser.ConfigParser, path: str) -> _Scan:
    """Where the sections and items are, by the parser's rules for headers,
    items, continuation lines (indented deeper than their item), comments and
    blank lines (which belong to the value being read), line by line as the
    parser reads them. What it keeps grows with what is reported, not with
    the file: a file of a million unknown keys costs some bytes a line."""
    headers: Dict[str, int] = {}
    keys: Dict[Tuple[str, str], int] = {}
    defaults_shown = 0  # keys of [DEFAULT] the loader does not read, kept to report
    blank = bytearray()
    hashes = array.array("q")  # of every key of [device], to find one given twice
    unknown = 0
    section: Optional[str] = None
    current: Optional[bool] = None  # the item whose value is being read: unknown?
    indent_level = 0
    plain = True
    prefixes = tuple(getattr(parser, "_comment_prefixes", ("#", ";")))
    xform = parser.optionxform
    known = {xform(k) for k in DEVICE_KEYS}
    suppressed: Dict[int, FrozenSet[str]] = {}
    notes: List[Problem] = []
    for index, raw in enumerate(_lines(text)):
        blank.append(0)
        text_line = raw.strip()
        if not text_line:
            continue
        if text_line.startswith(prefixes):
            if "ovralite-npu" in text_line:
                suppressed[index + 2] = _suppression(text_line, index + 1, raw, path, notes)
            continue
        indent = len(raw) - len(raw.lstrip())
        if current is not None and indent > indent_level:
            blank[index] = current
            continue
        indent_level = indent
        current = None
        header = _header(text_line)
        if header is not None:
            if header in headers:
                plain = False
            section = header
            headers.setdefault(section, index + 1)
            continue
        option = _option(text_line)
        if option and section is not None:
            key = xform(option)
            current = False
            if section == SECTION:
                hashes.append(hash(key))
                if key not in known:
                    unknown += 1
                    current = True
                    blank[index] = 1
                    if unknown > SHOWN_PER_KIND + 1:
                        continue
            elif key not in known:
                if section != parser.default_section or defaults_shown >= SHOWN_PER_KIND:
                    continue
                defaults_shown += 1
            keys.setdefault((section, key), index + 1)
        else:
            plain = False
    ordered = sorted(hashes)
    del hashes
    repeated = any(a == b for a, b in zip(ordered, itertools.islice(ordered, 1, None)))
    return _Scan(headers, keys, unknown, blank, repeated, plain, suppressed, notes)


def _suppression(comment: str, line: int, raw: str, path: str,
                 notes: List[Problem]) -> FrozenSet[str]:
    """The codes a suppression comment names; a note for each word that is
    no code (and for a comment that names none)."""
    found = _SUPPRESSION.search(comment)
    if not found:
        return frozenset()
    words = [word for word in re.split(r"[\s,]+", found.group(1)) if word]
    column = raw.find(comment) + found.start(1) + 1
    for word in words:
        if word not in RULES:
            notes.append(Problem(path, line, raw.find(word) + 1, "NPU004",
                                 "'{}' is no rule code; the comment silences only the codes "
                                 "it names".format(word)))
    if not words:
        notes.append(Problem(path, line, column, "NPU004", "the suppression comment names no "
                                                           "rule code"))
    return frozenset(word for word in words if word in RULES)


def _without_unknown_keys(text: str, scan: _Scan) -> str:
    """The text for the parser: with many keys in [device] that the loader
    never reads, their lines blanked (line numbers stay), so that parsing a
    large file costs what its known keys cost. Only where that changes
    nothing the loader could see: a plain file, one [device] header, no key
    given twice there and no interpolation that could name a blanked key."""
    if (scan.unknown <= SHOWN_PER_KIND or not scan.plain or "%(" in text
            or scan.repeated):
        return text
    # Runs of kept lines as slices of the text, runs of blanked ones as their
    # line ends: a few pieces, whatever the number of lines.
    blank = scan.blank
    pieces: List[str] = []
    start = run = 0  # where the current run starts; its kind
    position = 0
    for flag in blank:
        end = text.find("\n", position)
        end = len(text) if end < 0 else end + 1
        if flag != run:
            pieces.append("\n" * text.count("\n", start, position) if run
                          else text[start:position])
            start, run = position, flag
        position = end
    pieces.append("\n" * text.count("\n", start, position) if run else text[start:position])
    return "".join(pieces)


def _first_line(text: str, parser: configparser.ConfigParser, section: str, key: str) -> int:
    """The line of the first item of `key` in `section` (0 if none)."""
    current = None
    for index, raw in enumerate(_lines(text)):
        line = raw.strip()
        header = _header(line)
        if header is not None:
            current = header
        elif current == section and _option(line) is not None \
                and parser.optionxform(_option(line) or "") == key:
            return index + 1
    return 0


def _unquoted(text: str) -> str:
    """A line as the parser quotes it in its error (repr), as written."""
    try:
        value = ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text.strip()
    return value.strip() if isinstance(value, str) else text.strip()


def _parse_errors(path: str, error: configparser.Error, scan: "_Scan", text: str,
                  parser: configparser.ConfigParser) -> List[Problem]:
    """The parser's error in the user's words, the file and line said once."""
    if isinstance(error, configparser.MissingSectionHeaderError):
        return [Problem(path, error.lineno, _START, "NPU101",
                        "text before the first section header: {}".format(error.line.strip()))]
    if isinstance(error, configparser.ParsingError):
        return [Problem(path, line, _START, "NPU102",
                        "cannot parse line: {}".format(_unquoted(text)))
                for line, text in error.errors] or [Problem(path, 0, 0, "NPU102", str(error))]
    line = getattr(error, "lineno", None) or 0
    if isinstance(error, configparser.DuplicateOptionError):
        section = str(error.section)
        first: Optional[int] = scan.keys.get((section, error.option)) or _first_line(
            text, parser, section, error.option)
        return [Problem(path, line, _START, "NPU104",
                        "key '{}' is given twice in section [{}]{}".format(
                            error.option, section,
                            " (first on line {})".format(first) if first else ""),
                        error.option)]
    if isinstance(error, configparser.DuplicateSectionError):
        section = str(error.section)
        first = scan.headers.get(section)
        return [Problem(path, line, _START, "NPU103", "section [{}] is given twice{}".format(
            section, " (first on line {})".format(first) if first else ""))]
    return [Problem(path, line, _START, "NPU102", str(error).splitlines()[0])]


def check_file(path: Union[str, "os.PathLike[str]"], name: Optional[str] = None) -> List[Problem]:
    """Every finding in the configuration file at `path`, in line order, as
    ``ovralite-npu check`` reports them, named `name` (by default the path).

    The file is read as the loader reads it. An unreadable file is one
    finding (NPU001); the findings its suppression comments name for a line
    are left out. Choosing rules (``--select``, ``--ignore``) is the
    caller's: filter on ``Problem.code``."""
    source = os.fspath(path)
    path = source if name is None else name
    parser = _new_parser()
    try:
        # The loader reads with the interpreter's default text encoding.
        with open(source, encoding=None) as handle:
            text = handle.read()
    except UnicodeDecodeError as exc:
        try:
            with open(source, "rb") as handle:
                before = handle.read(exc.start)
            line = before.count(b"\n") + 1
            column = len(before) - before.rfind(b"\n")
        except OSError:
            line = column = 0
        return [Problem(path, line, column, "NPU002", "not valid {} text: {}".format(
            exc.encoding, exc.reason))]
    except OSError as exc:
        return [Problem(path, 0, 0, UNREADABLE, cannot_read(exc))]
    if text.startswith("\ufeff"):
        return [Problem(path, 1, 1, "NPU003", "the file starts with a byte-order mark, which "
                                              "the loader reads as text before the first "
                                              "section header; save the file without it")]
    scan = _scan(text, parser, path)
    try:
        parser.read_string(_without_unknown_keys(text, scan), source=path)
    except configparser.Error as exc:
        return _placed(_parse_errors(path, exc, scan, text, parser), text, scan)
    return _placed(_findings(path, parser, scan), text, scan)


def _findings(path: str, parser: configparser.ConfigParser, scan: "_Scan") -> List[Problem]:
    headers, keys = scan.headers, scan.keys
    problems: List[Problem] = list(scan.notes)
    if SECTION not in parser:
        near = [name for name in parser.sections() if name.lower() == SECTION]
        if near:
            problems.append(Problem(path, headers.get(near[0], 0), _START, "NPU302",
                                    "section [{}] is not [device]: section names are "
                                    "case-sensitive, so the loader ignores it".format(near[0])))
        else:
            problems.append(Problem(path, 1, 0, "NPU301", "no section [device]: the loader "
                                                          "uses its defaults for every setting"))
        return problems
    problems.extend(_unknown_keys(path, parser, scan))
    problems.extend(Problem(path, headers.get(other, 0), _START, "NPU303",
                            "section [{}] is not read by the loader".format(other))
                    for other in parser.sections() if other != SECTION)
    problems.extend(_surprising_values(path, parser, keys))
    problems.extend(_bad_values(path, parser, keys, headers))
    return problems


def _placed(problems: List[Problem], text: str, scan: "_Scan") -> List[Problem]:
    """The findings in line order, without those a suppression comment
    silences, each column read off its line."""
    kept = sorted((problem for problem in problems
                   if problem.code not in scan.suppressed.get(problem.line, ())),
                  key=lambda problem: problem.line)
    wanted = {problem.line for problem in kept if problem.column < 0}
    lines: Dict[int, str] = {}
    if wanted:
        last = max(wanted)
        for index, raw in enumerate(_lines(text), 1):
            if index in wanted:
                lines[index] = raw
            if index >= last:
                break
    return [problem._replace(column=_column(lines.get(problem.line, ""), problem.column))
            if problem.column < 0 else problem for problem in kept]


def _column(raw: str, anchor: int) -> int:
    """Where, counted from 1, the anchor stands on the line `raw` (0 if not)."""
    text = raw.rstrip("\r\n")
    start = len(text) - len(text.lstrip())
    if not text.strip():
        return 0
    if anchor == _START:
        return start + 1
    end = _delimiter(text)
    if end < 0:
        return start + 1
    value = len(text) - len(text[end + 1:].lstrip())
    if anchor == _COMMENT:
        comment = _INLINE_COMMENT.search(text, value - 1)
        if comment:
            return comment.start() + 2
    return value + 1 if value < len(text) else end + 1


def _unknown_keys(path: str, parser: configparser.ConfigParser, scan: _Scan) -> Iterator[Problem]:
    known = {parser.optionxform(k): k for k in DEVICE_KEYS}
    unknown = [(line, key) for (section, key), line in scan.keys.items()
               if section == SECTION and key not in known]
    def hint(key: str) -> str:
        close = difflib.get_close_matches(key, list(known), n=1, cutoff=0.6)
        return "; did you mean '{}'?".format(known[close[0]]) if close else ""

    for line, key in unknown[:SHOWN_PER_KIND]:
        yield Problem(path, line, _START, "NPU304",
                      "key '{}' is not read by the loader{}".format(key, hint(key)), key)
    if scan.unknown > SHOWN_PER_KIND:
        rest = scan.unknown - SHOWN_PER_KIND
        yield Problem(path, unknown[SHOWN_PER_KIND][0], _START, "NPU304",
                      "and {} more key{} not read by the loader".format(
                          rest, "" if rest == 1 else "s"))
    # [DEFAULT] gives its keys to every section: those the loader does not
    # read pass over [device] as well.
    for (section, key), line in scan.keys.items():
        if section == parser.default_section and key not in known:
            yield Problem(path, line, _START, "NPU304",
                          "key '{}' in [{}] is not read by the loader{}".format(
                              key, section, hint(key)), key)


def _surprising_values(path: str, parser: configparser.ConfigParser,
                       keys: Dict[Tuple[str, str], int]) -> Iterator[Problem]:
    """Values the loader accepts but that hardly mean what they say."""
    section = parser[SECTION]
    for key in DEVICE_KEYS:
        name = parser.optionxform(key)
        if name not in section:
            continue
        value = section.get(name, raw=True) or ""
        line = keys.get((SECTION, name)) or keys.get((parser.default_section, name)) or 0
        comment = _INLINE_COMMENT.search(value)
        if comment:
            yield Problem(path, line, _COMMENT, "NPU305",
                          "{}: '{}' is part of the value: the loader takes no comments after "
                          "a value".format(key, value[comment.start() + 1:]), key)
        if key == "optimization" and value.strip().lower() in FALSE_WORDS:
            yield Problem(path, line, _VALUE, "NPU306",
                          "optimization: the loader keeps {} as text, not as a switch, and a "
                          "text that is not empty counts as true; use enable_all, disable_all "
                          "or manual".format(value), key)


def _bad_values(path: str, parser: configparser.ConfigParser, keys: Dict[Tuple[str, str], int],
                headers: Dict[str, int]) -> Iterator[Problem]:
    section = parser[SECTION]
    for key, read in DEVICE_KEYS.items():
        name = parser.optionxform(key)
        if name not in section:
            continue  # the loader takes its fallback, unread
        line = keys.get((SECTION, name)) or keys.get((parser.default_section, name)) \
            or headers.get(SECTION, 0)
        try:
            value = getattr(section, read)(key)
        except (ValueError, configparser.Error) as exc:
            code, reason = _describe(read, section, key, exc)
            yield Problem(path, line, _VALUE, code, "{}: {}".format(key, reason), key)
            continue
        if read == "getint" and name in section:
            yield from _unlikely_number(path, line, key, section.get(key, raw=True) or "", value)


# The integer settings: whether a device's value is a count (at least 1);
# the others are levels, at least 0.
COUNTS = ("core", "mad_per_core", "input_buffer_depth")
LARGEST = 2 ** 31 - 1  # no device's setting is larger


def _unlikely_number(path: str, line: int, key: str, written: str,
                     value: int) -> Iterator[Problem]:
    """Numbers the loader takes but no device file should hold."""
    text = written.strip()
    if "_" in text or (text[:1] in ("+", "-") and value >= 0):
        yield Problem(path, line, _VALUE, "NPU401",
                      "{}: '{}' is read as {}; write it as {}".format(key, text, value, value),
                      key)
    if key in COUNTS and value < 1:
        yield Problem(path, line, _VALUE, "NPU402",
                      "{}: {} is no count of a device (at least 1)".format(key, value), key)
    elif value < 0:
        yield Problem(path, line, _VALUE, "NPU403", "{}: {} is below 0".format(key, value), key)
    if value > LARGEST:
        yield Problem(path, line, _VALUE, "NPU404",
                      "{}: {} is larger than any device's".format(key, value), key)


def _describe(read: str, section: "configparser.SectionProxy", key: str,
              error: Exception) -> Tuple[str, str]:
    """The rule a failed read breaks, and why in the user's words."""
    if isinstance(error, configparser.InterpolationError):
        return "NPU201", "interpolation fails: {}".format(str(error).splitlines()[0])
    try:
        written = "'{}'".format(" ".join((section.get(key) or "").split("\n")))
    except configparser.Error:
        written = "the value"
    if read == "getint":
        return "NPU202", "{} is not an integer".format(written)
    if read == "getboolean":
        return "NPU203", "{} is not a switch: use 1/yes/true/on or 0/no/false/off".format(
            written)
    return "NPU201", str(error)
