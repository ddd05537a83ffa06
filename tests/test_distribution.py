"""The wheels `make wheels` builds: installed into a clean environment where
no compiler can be found, the package works (skipped when none was built)."""
import glob
import os
import platform
import subprocess
import sys
import zipfile

import pytest

pytestmark = [pytest.mark.process]

DIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dist")
TAG = "cp{0}{1}-cp{0}{1}{2}".format(*sys.version_info[:2], getattr(sys, "abiflags", ""))


def built_wheel(kind):
    """The wheel of dist/ of a kind: "platform" (this interpreter's, this
    machine's) or "pure" (the module in plain Python, for any)."""
    if kind == "platform" and sys.implementation.name != "cpython":
        pytest.skip("no platform wheel is built for this interpreter")
    pattern = ("ovralite-*-{}-*manylinux*_{}.whl".format(TAG, platform.machine())
               if kind == "platform" else "ovralite-*-py3-none-any.whl")
    wheels = glob.glob(os.path.join(DIST, pattern))
    if not wheels:
        pytest.skip("no {} wheel for this interpreter in dist/ (make wheels)".format(kind))
    return wheels[0]


@pytest.mark.parametrize("kind, module", [("platform", "compiled module"),
                                          ("pure", "module in plain Python")])
def test_wheel_installs_and_runs_without_a_compiler(tmp_path, kind, module):
    wheel = built_wheel(kind)
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], check=True)
    bin_dir = str(env_dir / "bin")
    # Only the new environment's programs (no cc, c++, gcc or cmake to find)
    # and its own packages (a PYTHONPATH of the caller's would win).
    env = {name: value for name, value in os.environ.items() if not name.startswith("PYTHON")}
    env["PATH"] = bin_dir
    subprocess.run([sys.executable, "-m", "pip", "--python", os.path.join(bin_dir, "python"),
                    "install", "-q", "--only-binary", "ovralite", wheel],
                   check=True, env=env, cwd=str(tmp_path))
    program = os.path.join(bin_dir, "ovralite-npu")
    proc = subprocess.run([program, "list"], env=env, cwd=str(tmp_path), capture_output=True,
                          text=True)
    assert proc.returncode == 0, proc.stderr
    assert len(proc.stdout.splitlines()) == 4
    version = subprocess.run([program, "--version"], env=env, capture_output=True, text=True)
    assert "({}, ".format(module) in version.stdout


def test_pip_takes_the_platform_wheel_before_the_pure_one(tmp_path):
    built_wheel("platform"), built_wheel("pure")
    proc = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps",
                           "--no-index", "--find-links", DIST, "-d", str(tmp_path), "ovralite"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert [os.path.basename(w) for w in glob.glob(str(tmp_path / "*.whl"))] == [
        os.path.basename(built_wheel("platform"))]


def test_sdist_holds_what_users_read():
    import tarfile
    sdists = glob.glob(os.path.join(DIST, "ovralite-*.tar.gz"))
    if not sdists:
        pytest.skip("no sdist in dist/ (make wheels)")
    with tarfile.open(sdists[0]) as sdist:
        names = [name.split("/", 1)[1] for name in sdist.getnames() if "/" in name]
    assert "docs/configuration-files.md" in names and "LICENSE" in names


@pytest.mark.parametrize("kind", ["platform", "pure"])
def test_wheel_metadata_as_users_read_it(kind):
    with zipfile.ZipFile(built_wheel(kind)) as wheel:
        names = wheel.namelist()
        metadata = next(wheel.read(n).decode() for n in names if n.endswith(".dist-info/METADATA"))
    import ovralite
    assert "Version: {}\n".format(ovralite.__version__) in metadata
    assert "Classifier: Programming Language :: Python :: {}.{}\n".format(
        *sys.version_info[:2]) in metadata
    assert any(n.endswith("/LICENSE") for n in names)
    assert "make test" not in metadata  # the users' description, not the developers'
    assert not any(n.startswith(("tests/", "benchmarks/", "tools/")) for n in names)
