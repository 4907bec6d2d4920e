"""The whole-file schema as TOML language tools use it: taplo and tombi lint files against it offline."""
import importlib.metadata
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

from tool_environment import without_sanitizers

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = sorted((REPOSITORY / "examples").glob("*.toml"))

# Files made to fail, each with the line its fault is on and the words both tools use for it.
FAULTS = {
    "typo": ("[config]\noptimisation_level = 2\n", 2, r"'optimisation_level' was unexpected|\"optimisation_level\" is not allowed"),
    "wrong_type": ('[build]\ndo_quantization = "yes"\n', 2, r'is not of types "boolean", "null"|type Boolean, but found String'),
    "above_maximum": ("[config]\noptimization_level = 4\n", 2, r"greater than the maximum of 3|must be ≤ 3"),
    "below_minimum": ("[build]\nqarv_batch_size = 0\n", 2, r"less than the minimum of 1|must be ≥ 1"),
    "empty_string": ('[config]\ntarget_platform = ""\n', 2, r"shorter than 1 character|length must be ≥ 1"),
    "negative_size": ('[load]\nmodel_type = "Onnx"\ninput_size_list = [[1, -3]]\n', 3, r"less than the minimum of 0|must be ≥ 0"),
    "missing_tag": ('[load]\nmodel = "m.onnx"\n', 1, r'"model_type" is (a )?required'),
    "unknown_table": ("[conifg]\n", 1, r"'conifg' was unexpected|\"conifg\" is not allowed"),
}


def tool(name):
    """The tool's executable from its PyPI package, found beside this interpreter's packages; or skip."""
    found = None
    try:
        files = importlib.metadata.distribution(name).files or []
        found = next((str(pathlib.Path(file.locate()).resolve()) for file in files
                      if file.parent.name == "bin" and file.name == name), None)
    except importlib.metadata.PackageNotFoundError:
        pass
    found = found or shutil.which(name, path=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    if found is None:
        pytest.skip(f"{name} is not installed (pip install {name})")
    try:
        subprocess.run([found, "--version"], check=True, capture_output=True, timeout=30, env=without_sanitizers())
    except (OSError, subprocess.SubprocessError) as error:
        pytest.skip(f"{name} cannot run here: {error}")
    return found


def offline_environment(tmp_path):
    """No color codes, and caches inside the test's directory; neither tool may reach a network."""
    return dict(without_sanitizers(), NO_COLOR="1", TOMBI_OFFLINE="1", XDG_CACHE_HOME=str(tmp_path / "cache"),
                HOME=str(tmp_path))


def lint_with_taplo(directory, files, schema=None):
    command = [tool("taplo"), "lint", "--no-auto-config", "--colors", "never",
               "--cache-path", str(directory / "cache")]
    if schema is not None:
        command += ["--schema", schema.as_uri()]
    return subprocess.run(command + [str(f) for f in files], cwd=directory, capture_output=True, text=True,
                          env=offline_environment(directory), timeout=120)


def lint_with_tombi(directory, files, schema=None):
    if schema is not None:
        # The project's own tombi.toml maps every file to the schema; the catalog stays off.
        (directory / "tombi.toml").write_text(
            f'[schema]\ncatalog = {{ paths = [] }}\n\n[[schemas]]\npath = "{schema.as_posix()}"\n'
            'include = ["**/*.toml"]\n', encoding="utf-8")
    command = [tool("tombi"), "lint", "--offline", "--error-on-warnings"]
    return subprocess.run(command + [str(f) for f in files], cwd=directory, capture_output=True, text=True,
                          env=offline_environment(directory), timeout=120)


LINTERS = {"taplo": lint_with_taplo, "tombi": lint_with_tombi}


@pytest.fixture
def workspace(tmp_path, cli):
    """A directory holding the schema as `schema --output` writes it."""
    directory = tmp_path / "work"
    directory.mkdir()
    assert cli("schema", "--output", directory / "schema.json").returncode == 0
    return directory


def starter_files(directory, cli):
    """Every form of `init` output: as written, with a `#:schema` line, and with every key taken in."""
    plain = cli("init", "-").stdout
    files = {"init.toml": plain,
             "uncommented.toml": re.sub(r"(?m)^# (\w+ = |\[)", r"\1", plain)}
    assert cli("init", "--schema", "./schema.json", directory / "directive.toml").returncode == 0
    files["directive.toml"] = (directory / "directive.toml").read_text(encoding="utf-8")
    for name, text in files.items():
        (directory / name).write_text(text, encoding="utf-8")
    return [directory / name for name in files]


@pytest.mark.parametrize("linter", LINTERS)
def test_examples_and_starter_files_pass(linter, workspace, cli):
    files = [shutil.copy(example, workspace) for example in EXAMPLES] + starter_files(workspace, cli)
    ran = LINTERS[linter](workspace, files, workspace / "schema.json")
    assert ran.returncode == 0, ran.stdout + ran.stderr


@pytest.mark.parametrize("linter", LINTERS)
@pytest.mark.parametrize("fault", FAULTS)
def test_faults_are_reported_at_their_line(linter, fault, workspace):
    text, line, words = FAULTS[fault]
    path = workspace / f"{fault}.toml"
    path.write_text(text, encoding="utf-8")
    ran = LINTERS[linter](workspace, [path], workspace / "schema.json")
    report = ran.stdout + ran.stderr
    assert ran.returncode != 0, report
    assert f"{path.name}:{line}:" in report
    assert re.search(words, report), report


@pytest.mark.parametrize("linter", LINTERS)
def test_the_schema_directive_alone_points_the_tools_at_the_schema(linter, workspace, cli):
    # No --schema and no tombi.toml: the first line that `init --schema` writes is all they go by.
    good = workspace / "directive.toml"
    assert cli("init", "--schema", "./schema.json", good).returncode == 0
    bad = workspace / "bad.toml"
    bad.write_text("#:schema ./schema.json\n[config]\noptimization_level = 9\n", encoding="utf-8")
    assert LINTERS[linter](workspace, [good]).returncode == 0
    ran = LINTERS[linter](workspace, [bad])
    assert ran.returncode != 0 and "bad.toml:3:" in ran.stdout + ran.stderr


def test_a_directive_line_is_a_comment_to_the_module(workspace, cli):
    path = workspace / "directive.toml"
    assert cli("init", "--schema", "./schema.json", path).returncode == 0
    text = path.read_text(encoding="utf-8")
    assert text.startswith("#:schema ./schema.json\n# A qarv-convert configuration")
    without = workspace / "without.toml"
    without.write_text(text.split("\n", 1)[1], encoding="utf-8")
    assert cli("explain", path).stdout == cli("explain", without).stdout != ""
    # check finds the same in both, one line further down.
    from qarv_convert.preflight import check_file

    def found(name, shift):
        return [(d.severity, d.key, d.message, d.line and d.line - shift, d.column)
                for d in check_file(str(name), model_and_data=False).diagnostics]

    assert found(path, 1) == found(without, 0)
    assert cli("check", "--strict", path).returncode == cli("check", "--strict", without).returncode


@pytest.mark.parametrize("value", ["", "a\nb", "x\ry", "tab\there"])
def test_init_refuses_a_directive_that_would_not_stay_one_line(value, tmp_path, cli):
    path = tmp_path / "new.toml"
    ran = cli("init", "--schema", value, path)
    assert ran.returncode == 2 and "--schema" in ran.stderr
    assert not path.exists()


def test_every_key_carries_its_hover_documentation(cli):
    schema = json.loads(cli("schema").stdout)
    for section, document in schema["properties"].items():
        for key, property in document["properties"].items():
            docs = property["x-taplo"]["docs"]
            assert docs.get("main") == property.get("description"), (section, key)
            if "default" in property:
                default = property["default"]
                assert docs["defaultValue"] == ("not set" if default is None else f"`{json.dumps(default)}`")


def test_the_schema_states_the_ranges_that_loading_holds_integers_to(cli, write_config):
    # The 32-bit batch size: its upper bound is the loader's, one past it fails to load.
    batch = json.loads(cli("schema").stdout)["properties"]["build"]["properties"]["qarv_batch_size"]
    assert (batch["minimum"], batch["maximum"]) == (1, 2**31 - 1)
    largest = write_config(f"[build]\ndo_quantization = false\nqarv_batch_size = {2**31 - 1}\n")
    assert cli("check", "--no-preflight", "--strict", largest).returncode == 0
    failed = cli("check", write_config(f"[build]\nqarv_batch_size = {2**31}\n"))
    assert failed.returncode == 1 and "expected i32" in failed.stderr


def hover(directory, text, line, character):
    """What tombi's language server shows on hovering over `line`:`character` of a file holding `text`."""
    server = subprocess.Popen([tool("tombi"), "lsp", "--offline"], cwd=directory, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=offline_environment(directory))

    def send(message):
        body = json.dumps({"jsonrpc": "2.0", **message}).encode()
        server.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        server.stdin.flush()

    def answer(number):
        while True:
            length = None
            while (header := server.stdout.readline()) not in (b"\r\n", b""):
                name, _, value = header.decode().partition(":")
                if name.lower() == "content-length":
                    length = int(value)
            assert length is not None, "the language server closed"
            message = json.loads(server.stdout.read(length))
            if "method" in message and "id" in message:  # the server asks something: nothing to tell
                send({"id": message["id"], "result": None})
            elif message.get("id") == number:
                return message

    watchdog = threading.Timer(60, server.kill)  # a stuck server closes its output: the reads end
    watchdog.start()
    try:
        root = directory.as_uri()
        send({"id": 1, "method": "initialize", "params": {"processId": None, "rootUri": root, "capabilities": {}}})
        answer(1)
        send({"method": "initialized", "params": {}})
        uri = (directory / "hovered.toml").as_uri()
        send({"method": "textDocument/didOpen", "params": {
            "textDocument": {"uri": uri, "languageId": "toml", "version": 1, "text": text}}})
        # The server reads the document and its schema in the background: until it has, a hover
        # finds nothing.
        for number in range(100, 150):
            send({"id": number, "method": "textDocument/hover", "params": {
                "textDocument": {"uri": uri}, "position": {"line": line, "character": character}}})
            if (result := answer(number)["result"]) is not None:
                return result["contents"]["value"]
            time.sleep(0.1)
        pytest.fail("the language server showed nothing on hover")
    finally:
        watchdog.cancel()
        server.kill()
        server.wait()


def test_hovering_a_key_shows_its_description_default_and_limits(workspace):
    shown = hover(workspace, "#:schema ./schema.json\n[config]\noptimization_level = 2\n", 2, 3)
    assert "Optimization level [0, 1, 2, 3]" in shown
    assert "Default: `3`" in shown and "Maximum: `3`" in shown


def limit_cases(schema):
    """For every top-level key with a limit: (section, key, a value at the limit, one past it)."""
    for section, document in schema["properties"].items():
        for key, property in document["properties"].items():
            if "minimum" in property:
                yield section, key, property["minimum"], property["minimum"] - 1
            if "maximum" in property:
                yield section, key, property["maximum"], property["maximum"] + 1
            if property.get("minLength") == 1:
                yield section, key, "x", ""


def test_check_holds_values_to_the_limits_the_schema_states(cli, tmp_path):
    from qarv_convert.preflight import check_file
    from qarv_convert.starter import toml_value

    schema = json.loads(cli("schema").stdout)
    cases = list(limit_cases(schema))
    assert {(section, key) for section, key, _, _ in cases} == {
        ("config", "optimization_level"), ("config", "target_platform"), ("build", "qarv_batch_size")}
    for section, key, inside, outside in cases:
        for value, faulty in ((inside, False), (outside, True)):
            path = tmp_path / "limit.toml"
            path.write_text(f"[{section}]\n{key} = {toml_value(value)}\n", encoding="utf-8")
            report = check_file(str(path), model_and_data=False)
            # A value the loader cannot hold fails to load; any other comes back as a warning on its key.
            flagged = [d for d in report.diagnostics if d.key in (f"{section}.{key}", "")]
            assert bool(flagged) == faulty, (section, key, value, report.diagnostics)


def test_schema_output_writes_what_schema_prints_and_reports_a_missing_folder(tmp_path, cli):
    written = tmp_path / "schema.json"
    assert cli("schema", "--output", written).returncode == 0
    assert written.read_text(encoding="utf-8") == cli("schema").stdout
    missing = tmp_path / "no" / "schema.json"
    failed = cli("schema", "--output", missing)
    assert failed.returncode == 1 and failed.stderr == f"qarv-convert: {missing}: No such file or directory\n"
    assert cli("init", "--schema", "https://example.com/s.json", "-").stdout.startswith(
        "#:schema https://example.com/s.json\n# A qarv-convert")
