"""Conformance against the shared toml-test corpus for TOML 1.1.0: valid documents load and decode
to the corpus's values, invalid ones are refused with a positioned report (or the UTF-8 error)."""
import json
import math
import pathlib
import re

import pytest

import qarv_convert_inner
import qarv_test_hooks

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "toml-test"
LISTING = CORPUS / "files-toml-1.1.0"

# Documents the parser judges differently from the corpus, each with the reason.
KNOWN_DEVIATIONS = {}


def corpus_files(kind):
    if not LISTING.exists():
        return [pytest.param(None, marks=pytest.mark.skip(reason="toml-test corpus not present"))]
    names = [n for n in LISTING.read_text().split() if n.startswith(kind + "/") and n.endswith(".toml")]
    return [
        pytest.param(n, marks=pytest.mark.xfail(reason=KNOWN_DEVIATIONS[n], strict=True))
        if n in KNOWN_DEVIATIONS
        else n
        for n in names
    ]


@pytest.mark.parametrize("name", corpus_files("valid"))
def test_valid_document_loads(name, capfd):
    assert qarv_convert_inner.rust_explain(str(CORPUS / name)) is None
    capfd.readouterr()


def comparable(value):
    """A toml-test JSON value with the freedoms of its encoding taken out: floats and integers as
    numbers, date-times with a nine-digit fraction."""
    if isinstance(value, list):
        return [comparable(v) for v in value]
    if set(value) == {"type", "value"} and isinstance(value["value"], str):
        kind, text = value["type"], value["value"]
        if kind == "float":
            number = float(text)
            return kind, "nan" if math.isnan(number) else number
        if kind == "integer":
            return kind, int(text)
        if kind in ("datetime", "datetime-local", "time-local"):
            whole, fraction, rest = re.fullmatch(r"(.*\d\d:\d\d:\d\d)(?:\.(\d+))?(.*)", text).groups()
            return kind, f"{whole}.{(fraction or '').ljust(9, '0')}{rest}"
        return kind, text
    return {key: comparable(v) for key, v in value.items()}


@pytest.mark.parametrize("name", corpus_files("valid"))
def test_valid_document_decodes_to_the_corpus_values(name):
    expected = json.loads((CORPUS / name).with_suffix(".json").read_text(encoding="utf-8"))
    decoded = json.loads(qarv_test_hooks.toml_test_json(str(CORPUS / name)))
    assert comparable(decoded) == comparable(expected)


@pytest.mark.parametrize("name", corpus_files("invalid"))
def test_invalid_document_is_refused(name, capfd):
    with pytest.raises(RuntimeError) as caught:
        qarv_convert_inner.rust_explain(str(CORPUS / name))
    message = str(caught.value)
    assert message.startswith("TOML parse error at line ") or message == "stream did not contain valid UTF-8"
    assert capfd.readouterr().out == ""
