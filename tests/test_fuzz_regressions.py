"""Inputs that once broke loading under the sanitizers or the fuzzer: each loads or is refused, never crashes."""
import pathlib

import pytest

import qarv_convert_inner
from qarv_convert import _native

REGRESSIONS = sorted((pathlib.Path(__file__).parent / "fuzz" / "regressions").iterdir())


@pytest.mark.parametrize("path", REGRESSIONS, ids=lambda path: path.name)
def test_regression_input_loads_or_is_refused(path, capfd):
    try:
        qarv_convert_inner.rust_explain(str(path))
    except RuntimeError as error:
        assert str(error).startswith("TOML parse error at line ")
        assert capfd.readouterr().out == ""
    else:
        assert capfd.readouterr().out.startswith("\n[Configuration Summary]\n")
        assert all(warning.startswith("warning at line ") for warning in _native.ignored_entries(str(path)))
