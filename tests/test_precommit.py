"""The pre-commit hook that the repository offers: its manifest, and the hook run by pre-commit."""
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

from onnx_fixtures import classifier
from tool_environment import sanitizer_settings, without_sanitizers

clientlib = pytest.importorskip("pre_commit.clientlib", reason="pre-commit is not installed (pip install pre-commit)")
yaml = pytest.importorskip("yaml", reason="PyYAML is not installed (pre-commit brings it)")

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
MANIFEST = REPOSITORY / ".pre-commit-hooks.yaml"
README = REPOSITORY / "README.md"

GOOD = '[build]\ndo_quantization = false\n'
TYPO = '[config]\nquant_img_rgb2bgr = true\n'
BROKEN = '[build]\ndo_quantization = "yes"\n'


def hook():
    (only,) = clientlib.load_manifest(str(MANIFEST))
    return only


def readme_configuration():
    """The .pre-commit-config.yaml that the README shows."""
    text = README.read_text(encoding="utf-8")
    found = re.search(r"```yaml\n(# \.pre-commit-config\.yaml\n.*?)```", text, re.S)
    assert found, "the README shows no .pre-commit-config.yaml"
    return found[1]


def test_the_manifest_passes_pre_commits_own_rules():
    entry = hook()
    assert entry["id"] == "qarv-convert-check"
    assert entry["entry"] == "qarv-convert check"
    assert entry["language"] == "python"
    assert entry["pass_filenames"] and entry["args"] == []


@pytest.mark.parametrize("name, chosen", [
    ("conversions/resnet50.toml", True),
    ("ml/conversion/detector.toml", True),
    ("resnet50.qarv.toml", True),
    ("pyproject.toml", False),
    ("conversions/notes.md", False),
    ("myconversions/x.toml", False),
])
def test_the_default_pattern_chooses_conversion_files(name, chosen):
    from identify.identify import tags_from_filename

    entry = hook()
    picked = bool(re.search(entry["files"], name)) and set(entry["types"]) <= tags_from_filename(name)
    assert picked == chosen


def test_the_readme_configuration_is_valid(tmp_path):
    path = tmp_path / ".pre-commit-config.yaml"
    path.write_text(readme_configuration(), encoding="utf-8")
    (repo,) = clientlib.load_config(str(path))["repos"]
    assert [entry["id"] for entry in repo["hooks"]] == ["qarv-convert-check"]


def git(directory, *args):
    subprocess.run(["git", *args], cwd=directory, check=True, capture_output=True, env=without_sanitizers())


@pytest.fixture
def project(tmp_path):
    """A git repository with the hook configured as the README shows it, but run from this
    environment (`language: system`) instead of an environment pre-commit would build; returns a
    function that stages files and runs pre-commit on them."""
    configured = yaml.safe_load(readme_configuration())["repos"][0]["hooks"][0]
    local = {key: value for key, value in hook().items() if key in ("id", "name", "entry", "files", "types")}
    local.update(configured, language="system")
    # pre-commit and git run as they are; the hook, which loads the module, as this run does.
    if settings := sanitizer_settings():
        local["entry"] = shlex.join(["env", *(f"{name}={value}" for name, value in settings.items())]) + " " + local["entry"]
    directory = tmp_path / "project"
    directory.mkdir()
    (directory / ".pre-commit-config.yaml").write_text(
        yaml.safe_dump({"repos": [{"repo": "local", "hooks": [local]}]}), encoding="utf-8")
    classifier(directory / "model.onnx")  # what the files name, from the directory the hook runs in
    git(directory, "init", "-q")
    environment = dict(without_sanitizers(), PRE_COMMIT_HOME=str(tmp_path / "cache"),
                       PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))

    def run(files):
        for name, text in files.items():
            (directory / name).parent.mkdir(parents=True, exist_ok=True)
            (directory / name).write_text(text, encoding="utf-8")
        git(directory, "add", *files)
        return subprocess.run([sys.executable, "-m", "pre_commit", "run", "--color=never"], cwd=directory,
                              env=environment, capture_output=True, text=True, timeout=120)

    return run


def test_a_good_file_passes_and_other_toml_files_are_left_alone(project):
    ran = project({"conversions/resnet50.toml": GOOD, "pyproject.toml": TYPO})
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert re.search(r"qarv-convert check\.+Passed", ran.stdout)


@pytest.mark.parametrize("text, report", [
    (BROKEN, 'invalid type: string "yes", expected a boolean'),
    (TYPO, "did you mean `quant_img_RGB2BGR`?"),  # a warning fails the commit with --strict
])
def test_a_bad_file_fails_the_commit_with_the_report(project, text, report):
    ran = project({"conversions/bad.toml": text})
    assert ran.returncode == 1
    assert re.search(r"qarv-convert check\.+Failed", ran.stdout)
    assert report in ran.stdout
