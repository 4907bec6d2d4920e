"""The options a run reads without argparse are the very ones argparse would have read, and every
command line argparse would answer otherwise (help, an error, an abbreviation) is left to it."""
import contextlib
import io

import pytest
from hypothesis import given, settings, strategies as st

from qarv_convert.cli import _plain_options
from qarv_convert.commands import NAMES
from qarv_convert.commands.parser import build_parser


def _argparse(arguments):
    """What argparse makes of `arguments`: the options in order, or its exit status."""
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        try:
            return list(vars(build_parser(arguments).parse_args(arguments)).items())
        except SystemExit as leaving:
            return leaving.code


def _plain(arguments):
    options = _plain_options(arguments)
    return None if options is None else list(vars(options).items())


@pytest.mark.parametrize("arguments", [
    ["check", "a.toml"],
    ["check", "--no-preflight", "a.toml", "b.toml"],
    ["check", "a.toml", "b.toml", "--strict", "--format", "json"],
    ["check", "--format=json", "--samples", "3", "-C", "dir", "-"],
    ["check", "--set", "build.x=1", "--set=load.y='-z'", "a.toml", "--run", "--outputs", "o.npz"],
    ["check", "--report", "-", "a.toml"],
    ["explain", "a.toml"],
    ["explain", "--changed", "--format", "markdown", "a.toml", "-C", "d"],
    ["explain", "-"],
    ["explain", ""],
    ["plan", "--no-preflight", "--json", "a.toml"],
    ["convert", "-q", "-v", "--record", "-", "--traceback", "a.toml"],
    ["init"],
    ["init", "--force", "x.toml", "--model", "m.onnx"],
    ["batch", "a.toml", "b.toml", "--vary", "build.x=[1,2]", "-j", "2", "--engine", "ray"],
    ["schema", "--output", "s.json"],
    ["env"],
], ids=lambda arguments: " ".join(arguments) or "nothing")
def test_a_plain_command_line_reads_as_argparse_reads_it(arguments):
    plain = _plain(arguments)
    assert plain is not None, "left to argparse"
    assert plain == _argparse(arguments)


@pytest.mark.parametrize("arguments", [
    [], ["--help"], ["--version", "check"], ["chek", "a.toml"], ["--bogus", "check", "a.toml"],
    ["check"], ["check", "-h"], ["check", "--help", "a.toml"], ["check", "a.toml", "--bogus"],
    ["check", "--no-pre", "a.toml"],  # an abbreviation argparse accepts
    ["check", "a.toml", "--strict", "b.toml"],  # words apart: argparse refuses the second
    ["check", "--samples", "-1", "a.toml"], ["check", "--samples", "x", "a.toml"],
    ["check", "--format", "yaml", "a.toml"], ["check", "--strict=yes", "a.toml"], ["check", "--set", "a", "a.toml"],
    ["check", "--set", "-x=1", "a.toml"], ["check", "--set"], ["check", "-Cdir", "a.toml"], ["check", "--", "a.toml"],
    ["explain", "a.toml", "b.toml"], ["explain", "-5"], ["init", "a", "b"], ["schema", "x"], ["check", "--version"],
], ids=lambda arguments: " ".join(arguments) or "nothing")
def test_what_argparse_answers_in_its_own_words_is_left_to_it(arguments):
    assert _plain(arguments) is None


_WORDS = ["a.toml", "-", "", "x=1", "json", "text", "table", "3", "-1", "dir", "--", "-h", "--help", "--no-pre",
          "-C", "-Cdir", "--set", "--set=build.x=1", "--set=", "--format", "--format=json", "--strict", "--strict=1",
          "--samples", "--samples=2", "--no-preflight", "--changed", "--json", "--force", "--vary", "-j", "--engine",
          "ray", "--output", "--record", "-q", "--bogus", *NAMES]


@settings(max_examples=400, deadline=None)
@given(st.sampled_from(NAMES), st.lists(st.sampled_from(_WORDS), max_size=6))
def test_whenever_the_plain_reading_answers_argparse_answers_the_same(command, words):
    arguments = [command, *words]
    plain = _plain(arguments)
    if plain is not None:
        assert plain == _argparse(arguments)


def test_a_command_declared_with_more_of_argparse_is_left_to_it():
    from qarv_convert.commands.options import parse_plainly

    def add_parser(subparsers):
        group = subparsers.add_parser("x").add_mutually_exclusive_group()
        group.add_argument("--a", action="store_true")

    assert parse_plainly("x", add_parser, ["--a"]) is None
