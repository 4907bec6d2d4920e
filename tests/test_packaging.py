"""The distributable wheel: what it holds, and that it installs and runs where no compiler is."""
import os
import pathlib
import subprocess
import sys
import tomllib
import zipfile

import pytest

# `build.env`, not `build`: the checkout's own build/ directory would pass for a namespace package.
pytest.importorskip("build.env", reason="building the wheel needs the `build` package (make deps installs it)")

pytestmark = pytest.mark.packaging

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "resnet50.toml"
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
# `make test` passes the build directory of its own installation, so the wheel reuses that build.
BUILD_DIR = os.environ.get("QARV_WHEEL_BUILD_DIR", str(ROOT / "build" / "wheel"))


@pytest.fixture(scope="session")
def wheel(tmp_path_factory):
    """Builds the wheel once per session, from the source tree and without an isolated environment."""
    out = tmp_path_factory.mktemp("dist")
    subprocess.run(
        [sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(out),
         f"-Cbuild-dir={BUILD_DIR}", str(ROOT)],
        check=True, stdout=subprocess.DEVNULL, timeout=900,
    )
    (path,) = out.glob("*.whl")
    return path


@pytest.fixture(scope="session")
def installed(wheel, tmp_path_factory):
    """A fresh virtual environment with only the wheel in it, installed and run with PATH limited
    to the environment's own bin, so nothing can be compiled on the way."""
    venv = tmp_path_factory.mktemp("venv") / "venv"
    # Without a pip of its own (making one takes seconds); this suite's pip installs into it.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=300)
    env = {"PATH": str(venv / "bin"), "HOME": str(venv), "LANG": "C.UTF-8", "PIP_CONFIG_FILE": os.devnull,
           "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
    subprocess.run([sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"), "install",
                    "--no-index", "--no-deps", "--quiet", str(wheel)],
                   check=True, env=env, cwd=venv, timeout=300)
    return venv, env


def run_installed(installed, *args):
    venv, env = installed
    return subprocess.run(args, env=env, cwd=venv, capture_output=True, text=True, timeout=60)


def test_wheel_holds_the_package_and_nothing_test_only(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    sources = {str(path.relative_to(ROOT / "python")) for path in (ROOT / "python").rglob("*")
               if path.is_file() and "__pycache__" not in path.parts}
    assert sources <= names
    for expected in ["qarv_convert/py.typed", "qarv_convert/_native.pyi", "qarv_convert_inner-stubs/__init__.pyi",
                     "qarv_convert/_version.py"]:
        assert expected in names
    assert any(name.startswith("qarv_convert_inner.cpython-") and name.endswith(".so") for name in names)
    assert any(name.startswith("qarv_convert/_native.cpython-") and name.endswith(".so") for name in names)
    # The command is our own script, for the installer to point at its interpreter; the launcher an
    # entry point would make imports `re` before anything of ours runs.
    script = zipfile.ZipFile(wheel).read(f"qarv_convert-{VERSION}.data/scripts/qarv-convert").decode()
    assert script.startswith("#!python\n") and "from qarv_convert import main" in script
    assert "import re" not in script
    # Everything lies under the two packages, the module, the script and the metadata: no tests, no
    # stand-in toolkit (`qarv`), no native test extension, no compiled object left from the build.
    tops = {name.split("/")[0] for name in names}
    assert {top for top in tops if not top.startswith("qarv_convert_inner.cpython-")} == {
        "qarv_convert", "qarv_convert_inner-stubs", f"qarv_convert-{VERSION}.dist-info", f"qarv_convert-{VERSION}.data"}
    assert {name for name in names if name.startswith(f"qarv_convert-{VERSION}.data/")} == {
        f"qarv_convert-{VERSION}.data/scripts/qarv-convert"}
    built = {name for name in names if name.endswith(".so")}
    assert len(built) == 2, built


def test_installed_wheel_runs_without_the_source_tree(installed, tmp_path):
    venv, _ = installed
    # The example's model and samples, made here where onnx is installed; the installed package
    # reads them with its own reader, without onnx or NumPy.
    subprocess.run([sys.executable, str(ROOT / "examples" / "make_model.py"), "--into", str(tmp_path)],
                   check=True, capture_output=True, timeout=120)
    where = run_installed(installed, "python", "-c",
                          "import qarv_convert, qarv_convert_inner; print(qarv_convert.__file__); "
                          "print(qarv_convert_inner.__file__)")
    assert where.returncode == 0, where.stderr
    assert all(line.startswith(str(venv)) for line in where.stdout.splitlines())

    version = run_installed(installed, "qarv-convert", "--version")
    assert (version.returncode, version.stdout.split()[-1]) == (0, VERSION), version.stderr

    check = run_installed(installed, "qarv-convert", "check", "--strict", "-C", str(tmp_path), str(EXAMPLE))
    assert check.returncode == 0 and "warning" not in check.stderr, check.stderr

    explain = run_installed(installed, "qarv-convert", "explain", str(EXAMPLE))
    assert explain.returncode == 0, explain.stderr
    assert "[Configuration Summary]" in explain.stdout
    assert "resnet50.onnx" in explain.stdout
