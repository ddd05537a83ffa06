"""What ``ovralite-npu show`` and ``check`` report: the rules chosen, the
paths left out and whether warnings fail, from the command line and from the
``[tool.ovralite-npu]`` table of the nearest pyproject.toml.

The table is looked for as ruff looks for its own: from the current
directory up, the first pyproject.toml that has one; a pyproject.toml on
the way that cannot be read is an error. The command line comes after the
table: its ``--select`` replaces the table's choice, its ``--ignore`` takes
codes off what is chosen, its ``--exclude`` adds patterns and ``--strict``
makes warnings fail.
"""

import difflib
import fnmatch
import os
import sys
from typing import Any, Dict, FrozenSet, List, NamedTuple, Optional, Sequence, Tuple

from ovralite.api.npu_config.rules import RULES, expand

__all__ = ["UsageError", "Settings", "settings", "find_table"]

TABLE = "ovralite-npu"
# Each setting of the table: its type as TOML writes it, and its check.
KEYS = {"select": "a list of rule codes", "ignore": "a list of rule codes",
        "exclude": "a list of glob patterns", "strict": "true or false"}


class UsageError(Exception):
    """A mistake in what the user asked for; said in one line, status 2."""


class Settings(NamedTuple):
    codes: FrozenSet[str]  # the rules reported
    exclude: Tuple[Tuple[str, str], ...]  # (glob, the folder it is relative to)
    strict: bool  # a warning fails the run as an error does

    def excluded(self, path: str) -> bool:
        """Whether a pattern matches the file's name, or its path (or that of
        a folder on it) from the pattern's folder."""
        if not self.exclude:
            return False
        absolute = os.path.abspath(path)
        for pattern, base in self.exclude:
            parts = os.path.relpath(absolute, base).replace(os.sep, "/").split("/")
            candidates = parts + ["/".join(parts[:end]) for end in range(2, len(parts) + 1)]
            pattern = pattern.rstrip("/") or pattern
            if any(fnmatch.fnmatchcase(candidate, pattern) for candidate in candidates):
                return True
        return False


def _codes(selectors: Sequence[str], where: str) -> List[str]:
    try:
        return expand(selectors)
    except ValueError as exc:
        word = str(exc)
        close = difflib.get_close_matches(word.strip().upper(), list(RULES), n=1, cutoff=0.6)
        raise UsageError("{}: '{}' is no rule code{} (see 'ovralite-npu rules')".format(
            where, word, "; did you mean '{}'?".format(close[0]) if close else "")) from None


def _load_toml(path: str) -> Dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        try:
            import tomli as tomllib  # type: ignore[import-not-found,no-redef,unused-ignore]
        except ImportError:
            raise UsageError("{}: reading it needs tomli before Python 3.11, a dependency of "
                             "the package that is not installed (pip install tomli).".format(
                                 path)) from None
    try:
        with open(path, "rb") as handle:
            return tomllib.load(handle)
    except (OSError, ValueError) as exc:  # TOMLDecodeError, UnicodeDecodeError are ValueErrors
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise UsageError("{}: cannot be read as TOML: {}.".format(
            path, reason.rstrip("."))) from None


def find_table(start: str) -> Tuple[Optional[str], Dict[str, Any]]:
    """The nearest pyproject.toml from `start` up that has a
    [tool.ovralite-npu] table, and the table; (None, {}) where none has."""
    folder = os.path.abspath(start)
    while True:
        path = os.path.join(folder, "pyproject.toml")
        if os.path.lexists(path) and not os.path.isdir(path):
            tool = _load_toml(path).get("tool")
            table = tool.get(TABLE) if isinstance(tool, dict) else None
            if table is not None:
                if not isinstance(table, dict):
                    raise UsageError("{}: tool.{} is a table of settings, not a value.".format(
                        path, TABLE))
                return path, table
        parent = os.path.dirname(folder)
        if parent == folder:
            return None, {}
        folder = parent


def _checked(path: str, table: Dict[str, Any]) -> Dict[str, Any]:
    """The table's settings, each of the type it must be."""
    for key, value in table.items():
        where = "{}: [tool.{}]".format(path, TABLE)
        if key not in KEYS:
            close = difflib.get_close_matches(key, list(KEYS), n=1)
            raise UsageError("{} has no setting '{}'{} The settings are {}.".format(
                where, key, "; did you mean '{}'?".format(close[0]) if close else ".",
                ", ".join(KEYS)))
        fits = isinstance(value, bool) if key == "strict" else (
            isinstance(value, list) and all(isinstance(item, str) for item in value))
        if not fits:
            raise UsageError("{}: {} takes {}, not {!r}.".format(where, key, KEYS[key], value))
    return table


def settings(select: Optional[Sequence[str]], ignore: Sequence[str], exclude: Sequence[str],
             strict: bool, start: Optional[str] = None) -> Settings:
    """The settings of a run: the table's, then the command line's."""
    here = os.getcwd() if start is None else start
    path, table = find_table(here)
    codes = set(RULES)
    base = here
    if path is not None:
        table = _checked(path, table)
        base = os.path.dirname(path)
        where = "{}: [tool.{}]".format(path, TABLE)
        if "select" in table:
            codes = set(_codes(table["select"], where + " select"))
        codes -= set(_codes(table.get("ignore", []), where + " ignore"))
    if select is not None:
        codes = set(_codes(select, "--select"))
    codes -= set(_codes(ignore, "--ignore"))
    patterns = tuple((pattern, base) for pattern in table.get("exclude", [])) + tuple(
        (pattern, here) for pattern in exclude)
    return Settings(frozenset(codes), patterns, bool(strict or table.get("strict", False)))
