"""Validation of NPU configuration files, for ``ovralite-npu check``.

The checks perform the loader's own reads (the same parser, keys, read
operations and fallbacks) but go on after a failure, so one run reports
every problem; on top of that they point out what the loader silently
passes over: a missing or misspelt section "device" and keys it never reads.
"""

import collections
import configparser
import os
import difflib
import re
from typing import Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

__all__ = ["Problem", "check_file", "DEVICE_KEYS", "SECTION"]

SECTION = "device"

# key: (read operation, fallback), in the order the loader reads them.
DEVICE_KEYS = collections.OrderedDict([
    ("target", ("get", "VIP8000")),
    ("pid", ("get", "0XFF")),
    ("optimization", ("get", True)),
    ("core", ("getint", 1)),
    ("mad_per_core", ("getint", 64)),
    ("input_buffer_depth", ("getint", 12)),
    ("evis", ("getint", 2)),
    ("float16_support", ("getboolean", False)),
    ("dynamic_fixed_point-8_support", ("getboolean", True)),
    ("dynamic_fixed_point-16_support", ("getboolean", False)),
    ("asymmetric_quantized-u8_support", ("getboolean", False)),
    ("extSRAMSizes", ("get", "0x0")),
    ("extAXISRAMSizes", ("get", "0")),
    ("sdk_dir", ("get", "LION")),
    ("simulator_config", ("get", "VIPNANOQ_PID0X82")),
])

# Findings of one kind shown one by one; the rest are counted.
SHOWN_PER_KIND = 20
FALSE_WORDS = ("0", "false", "no", "off")
_INLINE_COMMENT = re.compile(r"\s[#;]")

# What the parser's default options accept as section headers and keys.
_SECTION_RE = re.compile(r"\[(?P<header>.+)\]")
_OPTION_RE = re.compile(r"(?P<option>.*?)\s*(?P<vi>[=:])\s*(?P<value>.*)$")


class Problem(NamedTuple):
    """One finding: printed as FILE:LINE: message (FILE: message for the file
    as a whole, line 0)."""

    path: str
    line: int
    message: str

    def __str__(self) -> str:
        if not self.line:
            return "{}: {}".format(self.path, self.message)
        return "{}:{}: {}".format(self.path, self.line, self.message)


def _new_parser() -> configparser.ConfigParser:
    # Exactly the loader's parser.
    return configparser.ConfigParser(dict_type=collections.OrderedDict)


def _locate(lines: Sequence[str], parser: configparser.ConfigParser
            ) -> Tuple[Dict[str, int], Dict[Tuple[str, str], int]]:
    """(section name -> header line, (section, key) -> line) by a scan that
    follows the parser's syntax for headers, keys and comments."""
    headers: Dict[str, int] = {}
    keys: Dict[Tuple[str, str], int] = {}
    section: Optional[str] = None
    comment_prefixes = tuple(getattr(parser, "_comment_prefixes", ("#", ";")))
    for number, raw in enumerate(lines, 1):
        text = raw.strip()
        if not text or text.startswith(comment_prefixes):
            continue
        if raw[:1].isspace() and section is not None:
            continue  # a continuation line
        header = _SECTION_RE.match(text)
        if header:
            section = header.group("header")
            headers.setdefault(section, number)
            continue
        option = _OPTION_RE.match(text)
        if option and section is not None:
            keys.setdefault((section, parser.optionxform(option.group("option").rstrip())),
                            number)
    return headers, keys


def _parse_errors(path: str, error: configparser.Error) -> List[Problem]:
    if isinstance(error, configparser.MissingSectionHeaderError):
        return [Problem(path, error.lineno,
                        "text before the first section header: {}".format(error.line.rstrip()))]
    if isinstance(error, configparser.ParsingError):
        return [Problem(path, line, "cannot parse line {}".format(text.strip()))
                for line, text in error.errors] or [Problem(path, 0, str(error))]
    line = getattr(error, "lineno", None) or 0
    message = str(error).splitlines()[0]
    return [Problem(path, line, "{}: {}".format(type(error).__name__, message))]


def check_file(path: Union[str, "os.PathLike[str]"]) -> List[Problem]:
    """Every problem of the configuration file at `path`, in line order."""
    path = os.fspath(path)
    parser = _new_parser()
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as exc:
        return [Problem(path, 0, "cannot be read: {}".format(exc.strerror or exc))]
    try:
        # The loader reads with the interpreter's default text encoding.
        with open(path, encoding=None) as handle:
            text = handle.read()
    except UnicodeDecodeError as exc:
        line = data[:exc.start].count(b"\n") + 1
        return [Problem(path, line, "not valid {} text: {}".format(exc.encoding, exc.reason))]
    if text.startswith("\ufeff"):
        return [Problem(path, 1, "the file starts with a byte-order mark, which the loader "
                                 "reads as text before the first section header: save the "
                                 "file without it")]
    try:
        parser.read_string(text, source=path)
    except configparser.Error as exc:
        return _parse_errors(path, exc)
    headers, keys = _locate(text.splitlines(), parser)
    problems: List[Problem] = []
    if SECTION not in parser:
        near = [name for name in parser.sections() if name.lower() == SECTION]
        if near:
            problems.append(Problem(path, headers.get(near[0], 0),
                                    "section [{}] is not [device]: section names are "
                                    "case-sensitive, so the loader ignores it".format(near[0])))
        else:
            problems.append(Problem(path, 1, "no section [device]: the loader uses "
                                             "its defaults for every setting"))
        return problems
    problems.extend(_unknown_keys(path, parser, keys))
    problems.extend(_surprising_values(path, parser, keys))
    problems.extend(_bad_values(path, parser, keys, headers))
    return sorted(problems, key=lambda p: p.line)


def _unknown_keys(path: str, parser: configparser.ConfigParser,
                  keys: Dict[Tuple[str, str], int]) -> Iterator[Problem]:
    known = {parser.optionxform(k): k for k in DEVICE_KEYS}
    unknown = [(line, key) for (section, key), line in keys.items()
               if section == SECTION and key not in known]
    for line, key in unknown[:SHOWN_PER_KIND]:
        close = difflib.get_close_matches(key, list(known), n=1, cutoff=0.6)
        hint = "; did you mean '{}'?".format(known[close[0]]) if close else ""
        yield Problem(path, line, "key '{}' is not read by the loader{}".format(key, hint))
    if len(unknown) > SHOWN_PER_KIND:
        rest = len(unknown) - SHOWN_PER_KIND
        yield Problem(path, unknown[SHOWN_PER_KIND][0],
                      "and {} more key{} not read by the loader".format(
                          rest, "" if rest == 1 else "s"))


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
            yield Problem(path, line, "'{}': '{}' is part of the value: the loader takes no "
                                      "comments after a value".format(
                                          key, value[comment.start() + 1:]))
        if key == "optimization" and value.strip().lower() in FALSE_WORDS:
            yield Problem(path, line, "'optimization': the loader keeps {} as text, not as a "
                                      "switch, and a text that is not empty counts as true; "
                                      "use enable_all, disable_all or manual".format(value))


def _bad_values(path: str, parser: configparser.ConfigParser, keys: Dict[Tuple[str, str], int],
                headers: Dict[str, int]) -> Iterator[Problem]:
    section = parser[SECTION]
    for key, (read, fallback) in DEVICE_KEYS.items():
        try:
            getattr(section, read)(key, fallback)
        except (ValueError, configparser.Error) as exc:
            name = parser.optionxform(key)
            line = keys.get((SECTION, name)) or keys.get((parser.default_section, name)) \
                or headers.get(SECTION, 0)
            yield Problem(path, line, "'{}': {}".format(key, _describe(read, exc)))


def _describe(read: str, error: Exception) -> str:
    if isinstance(error, configparser.InterpolationError):
        return "interpolation fails: {}".format(str(error).splitlines()[0])
    if read == "getint":
        return "not a decimal integer ({})".format(error)
    if read == "getboolean":
        words = "1/yes/true/on or 0/no/false/off"
        return "not a switch: use {} ({})".format(words, error)
    return str(error)
