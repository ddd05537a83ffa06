"""The findings of ``ovralite-npu check`` in each output format: text lines,
JSON or YAML records, GitHub Actions workflow commands (annotations on a
pull request) and SARIF 2.1.0 (code-scanning dashboards)."""

import json
import os
import pathlib
import urllib.parse
from typing import Any, Dict, List, Sequence, TextIO

import ovralite
from ovralite.api.npu_config.check import Problem
from ovralite.api.npu_config.rules import RULES

FORMATS = ("text", "json", "yaml", "github", "sarif")
SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"


def write_data(data: Any, form: str, out: TextIO) -> None:
    """`data` as YAML (for text too) or JSON, its text as written (not escaped)."""
    if form == "json":
        out.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    else:
        import yaml  # type: ignore[import-untyped,unused-ignore]

        out.write(yaml.safe_dump(data, sort_keys=False, default_flow_style=False,
                                 allow_unicode=True))


def write_findings(found: Sequence[Problem], form: str, out: TextIO) -> None:
    if form == "text":
        out.writelines(str(problem) + "\n" for problem in found)
    elif form == "github":
        out.writelines(_workflow_command(problem) + "\n" for problem in found)
    elif form == "sarif":
        write_data(sarif(found), "json", out)
    else:
        write_data([problem.as_json() for problem in found], form, out)


def _escaped(text: str, is_property: bool = False) -> str:
    # The escapes of the runner's workflow commands: a value may hold no
    # line end, and a property no ":" or "," either.
    text = text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    return text.replace(":", "%3A").replace(",", "%2C") if is_property else text


def _workflow_command(problem: Problem) -> str:
    where = [("file", problem.path)]
    if problem.line:
        where.append(("line", str(problem.line)))
        if problem.column:
            where.append(("col", str(problem.column)))
    where.append(("title", problem.code))
    return "::{} {}::{}".format(problem.severity, ",".join(
        "{}={}".format(name, _escaped(value, True)) for name, value in where),
        _escaped(problem.message))


def _artifact(path: str) -> Dict[str, str]:
    """Where a file is, as SARIF says it: relative to the folder the run
    started in (%SRCROOT%) where it lies below it, else as a file URI."""
    absolute = os.path.abspath(path)
    relative = os.path.relpath(absolute)
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        return {"uri": pathlib.PurePath(absolute).as_uri()}
    return {"uri": urllib.parse.quote(relative.replace(os.sep, "/")), "uriBaseId": "%SRCROOT%"}


def sarif(found: Sequence[Problem]) -> Dict[str, Any]:
    """A SARIF 2.1.0 log of one run, every rule listed, the findings its results."""
    index = {code: number for number, code in enumerate(RULES)}
    results: List[Dict[str, Any]] = []
    for problem in found:
        location: Dict[str, Any] = {"artifactLocation": _artifact(problem.path)}
        if problem.line:
            location["region"] = {"startLine": problem.line}
            if problem.column:
                location["region"]["startColumn"] = problem.column
        results.append({"ruleId": problem.code, "ruleIndex": index[problem.code],
                        "level": problem.severity, "message": {"text": problem.message},
                        "locations": [{"physicalLocation": location}]})
    root = pathlib.PurePath(os.getcwd()).as_uri().rstrip("/") + "/"
    return {
        "$schema": SARIF_SCHEMA,
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {
                "name": "ovralite-npu",
                "version": ovralite.__version__,
                "rules": [{"id": rule.code, "name": rule.name,
                           "shortDescription": {"text": rule.summary},
                           "defaultConfiguration": {"level": rule.severity}}
                          for rule in RULES.values()],
            }},
            "originalUriBaseIds": {"%SRCROOT%": {"uri": root}},
            "columnKind": "unicodeCodePoints",
            "results": results,
        }],
    }
