"""The module's Python surface: attributes, argument matching and how failures are raised."""
import importlib
import pathlib

import pytest

import qarv_convert_inner

FUNCTIONS = [qarv_convert_inner.rust_convert, qarv_convert_inner.rust_explain]


def test_module_surface():
    assert qarv_convert_inner.__all__ == ["rust_convert", "rust_explain"]
    assert qarv_convert_inner.__doc__ == ""
    assert importlib.import_module("qarv_convert_inner") is qarv_convert_inner
    for function in FUNCTIONS:
        assert function.__doc__ is None
        assert function.__text_signature__ == "(path)"
        assert function.__module__ == "qarv_convert_inner"
        assert getattr(qarv_convert_inner, function.__name__) is function


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "{}() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "{}() takes 1 positional arguments but 2 were given"),
        ((), {"p": "a"}, "{}() got an unexpected keyword argument 'p'"),
        (("a",), {"path": "b"}, "{}() got multiple values for argument 'path'"),
    ],
)
def test_argument_matching(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message.format(function.__name__)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("value, type_name", [(123, "int"), (pathlib.Path("x.toml"), "PosixPath"), (b"x", "bytes")])
def test_path_must_be_str(function, value, type_name):
    with pytest.raises(TypeError) as caught:
        function(value)
    assert str(caught.value) == f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_path_by_keyword_or_position_and_str_subclass(function, tmp_path):
    class Text(str):
        pass

    missing = str(tmp_path / "missing.toml")
    for call in (lambda: function(missing), lambda: function(path=missing), lambda: function(Text(missing))):
        with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
            call()


def test_lone_surrogate_path_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        qarv_convert_inner.rust_explain("config-\udc80.toml")


def test_run_failure_is_a_plain_runtime_error(tmp_path, capfd):
    with pytest.raises(RuntimeError) as caught:
        qarv_convert_inner.rust_convert(str(tmp_path / "missing.toml"))
    assert type(caught.value) is RuntimeError
    assert caught.value.args == ("No such file or directory (os error 2)",)
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    assert capfd.readouterr() == ("", "")
