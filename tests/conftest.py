import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

# Property tests stay quick in the suite; `make fuzz` runs a long session.
settings.register_profile(
    "suite", max_examples=120, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.register_profile(
    "long", max_examples=20000, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "suite"))

from ovralite.api.npu_config import npu_config as _module


@pytest.fixture
def m():
    """The compiled module."""
    return _module


@pytest.fixture
def fresh():
    """A module object of its own, for tests that change classes in ways
    that cannot be undone (as with any Python class, deleting a __new__ that
    was added leaves object.__new__ refusing arguments)."""
    import importlib.util
    spec = importlib.util.find_spec("ovralite.api.npu_config.npu_config")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def models(tmp_path, monkeypatch):
    """A package root of our own: ROOT_DIR points at a temporary directory
    whose config/npu_config holds the files the test writes."""
    folder = tmp_path / "config" / "npu_config"
    folder.mkdir(parents=True)
    monkeypatch.setattr(_module, "ROOT_DIR", str(tmp_path))

    class Models:
        root = str(tmp_path)
        dir = folder

        @staticmethod
        def write(name, text):
            path = folder / name
            path.write_text(textwrap.dedent(text))
            return str(path)

    return Models


def run_python(code, *flags, env=None, cwd=None, file_permissions=False, timeout=120):
    """Runs `code` in a fresh interpreter; returns the completed process.
    With file_permissions, the process is denied what file permissions deny
    even when the tests run as root (which otherwise reads any file)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    command = [sys.executable, *flags, "-c", textwrap.dedent(code)]
    # Under emulation (make test-aarch64) the interpreter runs through its
    # emulator, as the suite itself does.
    command = os.environ.get("NPU_TEST_EMULATOR", "").split() + command
    if file_permissions and os.geteuid() == 0:
        caps = "-dac_override,-dac_read_search"
        command = ["setpriv", "--inh-caps=" + caps, "--bounding-set=" + caps] + command
    return subprocess.run(command, capture_output=True, text=True, env=full_env, cwd=cwd,
                          timeout=timeout)
