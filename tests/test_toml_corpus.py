"""Conformance against the shared toml-test corpus for TOML 1.1.0: valid documents load, invalid
ones are refused with a positioned report (or the UTF-8 error)."""
import pathlib

import pytest

import qarv_convert_inner

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


@pytest.mark.parametrize("name", corpus_files("invalid"))
def test_invalid_document_is_refused(name, capfd):
    with pytest.raises(RuntimeError) as caught:
        qarv_convert_inner.rust_explain(str(CORPUS / name))
    message = str(caught.value)
    assert message.startswith("TOML parse error at line ") or message == "stream did not contain valid UTF-8"
    assert capfd.readouterr().out == ""
