"""The installed stub describes the compiled module to type checkers."""
import inspect
import os
import subprocess
import sys

import pytest

pytestmark = [pytest.mark.process]

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.slow
def test_mypy_accepts_a_sample_using_every_public_name(tmp_path):
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), os.path.join(HERE, "typing_sample.py")],
        capture_output=True, text=True, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.slow
def test_the_package_itself_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path), "-p", "ovralite"],
        capture_output=True, text=True, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.slow
def test_pyright_finds_the_public_interface_fully_typed(tmp_path):
    import shutil
    pyright = shutil.which("pyright", path=os.path.dirname(sys.executable))
    if not pyright or not shutil.which("node"):
        pytest.skip("pyright (and the node it runs on) is not installed")
    proc = subprocess.run([pyright, "--verifytypes", "ovralite", "--ignoreexternal"],
                          capture_output=True, text=True, cwd=str(tmp_path), timeout=300,
                          env=dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep
                                   + os.environ.get("PATH", "")))
    assert "Type completeness score: 100%" in proc.stdout, proc.stdout[-3000:]


@pytest.mark.slow
def test_mypy_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    sample = tmp_path / "bad.py"
    sample.write_text("from ovralite.api.npu_config import npu_config as m\n"
                      "m.DeviceConfig('t')\n"
                      "m.NPUConfig('x').device.core.upper()\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir",
                           str(tmp_path / "cache"), str(sample)],
                          capture_output=True, text=True, cwd=str(tmp_path))
    assert proc.returncode == 1
    assert 'Missing positional argument "pid"' in proc.stdout
    assert '"int" has no attribute "upper"' in proc.stdout


def test_stub_signatures_match_the_module(m):
    import ast
    stub_path = os.path.join(os.path.dirname(m.__file__), "npu_config.pyi")
    with open(stub_path) as handle:
        tree = ast.parse(handle.read())
    stubbed = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            assert ast.get_docstring(node), node.name  # what an editor shows
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    stubbed[node.name + "." + item.name] = [a.arg for a in item.args.args]
                    assert ast.get_docstring(item), node.name + "." + item.name
    for qualname, params in stubbed.items():
        cls, name = qualname.split(".")
        func = vars(getattr(m, cls))[name]
        func = getattr(func, "__func__", func)
        assert list(inspect.signature(func).parameters) == params, qualname
    assert set(stubbed) == {
        "InitOptimization.get_options", "DeviceDtype.get_quantization_dtype",
        "DeviceDtype.get_options", "DeviceConfig.__init__", "DeviceConfig.serialize",
        "NPUConfig.__init__", "NPUConfig.is_quantize_method_compatible"}
