"""Every table of the record's settings agrees with the compiled module's one
table (src/native/settings.hpp, as conftest reads it): the loader's reads in
both implementations, the checker's keys, the documentation's table and the
benchmark's floor. A setting added in one place fails here until it is in all."""
import ast
import configparser
import os
import re

from conftest import ATTRIBUTES, DEVICE_READS, SETTINGS, SWITCHES
from ovralite.api.npu_config.check import DEVICE_KEYS

HERE = os.path.dirname(__file__)


def test_the_table_is_read_whole():
    assert sorted(s.attribute for s in SETTINGS) == sorted(ATTRIBUTES)
    assert len(SWITCHES) == 4


def test_the_loader_reads_each_key_as_the_table_says(m, models, monkeypatch):
    reads, inside = [], []

    class Recording(configparser.ConfigParser):
        def _read_as(self, read, section, option, **kwargs):
            if section == "device" and not inside:  # getint reads through get
                reads.append((option, read, kwargs.get("fallback")))
            inside.append(read)
            try:
                return getattr(super(), read)(section, option, **kwargs)
            finally:
                inside.pop()

        def get(self, section, option, **kwargs):
            return self._read_as("get", section, option, **kwargs)

        def getint(self, section, option, **kwargs):
            return self._read_as("getint", section, option, **kwargs)

        def getboolean(self, section, option, **kwargs):
            return self._read_as("getboolean", section, option, **kwargs)

    models.write("M", "[device]\n")
    monkeypatch.setattr(m, "configparser", type("Module", (), {"ConfigParser": Recording}))
    m.NPUConfig("M")
    assert reads == DEVICE_READS


def test_the_checker_knows_each_key_and_its_read():
    assert list(DEVICE_KEYS.items()) == [(key, read) for key, read, _ in DEVICE_READS]


def test_the_benchmark_floor_makes_the_loaders_reads():
    with open(os.path.join(HERE, "..", "benchmarks", "library_calls.py")) as source:
        tree = ast.parse(source.read())
    calls = sorted((node.lineno, node.args[0].value, node.func.attr,
                    ast.literal_eval(node.args[1]))
                   for node in ast.walk(tree) if isinstance(node, ast.Call) and
                   isinstance(node.func, ast.Attribute) and isinstance(node.func.value, ast.Name)
                   and node.func.value.id == "dev")
    assert [call[1:] for call in calls] == DEVICE_READS


def test_the_documentation_table_lists_each_key():
    kinds = {"Get": "text", "GetInt": "decimal integer", "UnderRoot": "text"}
    expected = []
    for s in SETTINGS:
        if s.read == "Switches":
            expected += [(w.key, "switch", "**on**" if w.fallback else "off") for w in SWITCHES]
        else:
            absent = ("the boolean true" if s.fallback is True else str(s.fallback)
                      if isinstance(s.fallback, int) else "`{}`".format(s.fallback))
            expected.append((s.key, kinds[s.read], absent))
    with open(os.path.join(HERE, "..", "docs", "configuration-files.md")) as doc:
        rows = re.findall(r"^\| `([^`]+)` \| ([^|]+?) \| ([^|]+?) \|", doc.read(), re.M)
    assert rows == expected
