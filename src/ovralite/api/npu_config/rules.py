"""The rules of ``ovralite-npu check``: one row per rule, its code stable.

An error is what the loader rejects (or an input that cannot be read); a
warning is what the loader passes over. docs/rules.md explains each code
with an example and the fix; the SARIF output lists them as its rules.
"""

import collections
from typing import Iterable, List, NamedTuple

__all__ = ["Rule", "RULES", "UNREADABLE", "expand"]


class Rule(NamedTuple):
    code: str
    name: str  # a short slug: SARIF's rule name, the docs' anchor text
    severity: str  # "error" or "warning"
    summary: str  # one sentence


RULES = collections.OrderedDict((rule.code, rule) for rule in [
    Rule("NPU001", "unreadable-input", "error",
         "The input cannot be read: no such file or shipped model, a directory without "
         "files, a device that fails, closed standard input."),
    Rule("NPU002", "undecodable-text", "error",
         "The file is not text in the interpreter's default encoding."),
    Rule("NPU003", "byte-order-mark", "error",
         "The file starts with a byte-order mark, which the loader reads as text."),
    Rule("NPU004", "unknown-suppression", "warning",
         "A suppression comment names no known rule code."),
    Rule("NPU101", "text-before-section", "error",
         "Text stands before the first section header."),
    Rule("NPU102", "unparsable-line", "error",
         "A line is no section header, item, continuation or comment."),
    Rule("NPU103", "duplicate-section", "error", "A section is given twice."),
    Rule("NPU104", "duplicate-key", "error", "A key is given twice in one section."),
    Rule("NPU201", "interpolation-fails", "error",
         "A value's %(name)s interpolation cannot be resolved."),
    Rule("NPU202", "not-an-integer", "error",
         "An integer setting holds something else."),
    Rule("NPU203", "not-a-switch", "error",
         "A switch holds a word other than 1/yes/true/on or 0/no/false/off."),
    Rule("NPU301", "no-device-section", "warning",
         "The file has no section [device]: every setting takes its default."),
    Rule("NPU302", "device-section-case", "warning",
         "A section named [device] in another letter case, which the loader ignores."),
    Rule("NPU303", "unread-section", "warning",
         "A section other than [device], which the loader ignores."),
    Rule("NPU304", "unread-key", "warning", "A key the loader never reads."),
    Rule("NPU305", "comment-in-value", "warning",
         "A comment after a value, which the loader keeps as part of the value."),
    Rule("NPU306", "optimization-as-switch", "warning",
         "optimization written as an off switch, which the loader keeps as true text."),
    Rule("NPU401", "number-spelling", "warning",
         "A number written with '_' or a sign, which the loader reads as plain digits."),
    Rule("NPU402", "count-below-one", "warning", "A count of a device's units below 1."),
    Rule("NPU403", "negative-level", "warning", "A level below 0."),
    Rule("NPU404", "number-too-large", "warning", "A number larger than any device's."),
])

# An input that cannot be read: always reported, whatever is selected.
UNREADABLE = "NPU001"


def expand(selectors: Iterable[str]) -> List[str]:
    """The codes that a list of codes and code prefixes ("NPU3") names, in
    table order; ValueError names the first selector that names none."""
    chosen = set()
    for selector in selectors:
        named = [code for code in RULES if code.startswith(selector.strip().upper())]
        if not selector.strip() or not named:
            raise ValueError(selector)
        chosen.update(named)
    return [code for code in RULES if code in chosen]
