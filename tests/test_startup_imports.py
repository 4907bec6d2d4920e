"""What a command imports to start: only what it needs, so that start-up stays close to a bare
interpreter's (`make bench` measures the time; this holds the modules that cost it)."""
import json
import subprocess
import sys

import pytest

from qarv_convert.commands import NAMES

from conftest import EXAMPLES

EXAMPLE = str(EXAMPLES / "resnet50.toml")
COMMANDS = set(NAMES)
PROBE = """
import sys
from qarv_convert import main
try:
    main(sys.argv[1:])
except SystemExit:
    pass
imported = sorted(sys.modules)
import json
sys.stderr.write("\\n" + json.dumps(imported) + "\\n")
"""


def _imported(*args):
    run = subprocess.run([sys.executable, "-c", PROBE, *args], capture_output=True, text=True, timeout=60)
    return set(json.loads(run.stderr.rstrip("\n").rpartition("\n")[2]))


def _other_commands(command):
    return {f"qarv_convert.commands.{name}" for name in COMMANDS - {command}}


#: What would cost a run more than all the rest of its start: argparse with its `re`, `gettext` and
#: `locale` (a command that parses well never needs it), typing, and importlib's own imports.
PARSING = {"argparse", "re", "gettext", "locale", "typing", "warnings", "qarv_convert.commands.parser"}
#: `enum` (and `signal`, for the enums it makes), `contextlib` and the `collections` and
#: `functools` that both bring: a command that shows no diagnostics needs none of them.
ENUMS = {"enum", "signal", "contextlib", "collections", "functools"}


@pytest.mark.parametrize("args, absent", [
    (["--version"], PARSING | ENUMS | {"qarv_convert.cli", "qarv_convert.commands", "qarv_convert._native"}),
    # A check makes its diagnostics named tuples, which `collections` builds.
    (["check", "--no-preflight", EXAMPLE], PARSING | ENUMS - {"collections"} | {"importlib.util", "qarv_convert.extras",
                                            "qarv_convert.preflight.dataset", "qarv_convert.preflight.samples"}
     | _other_commands("check")),
    (["explain", EXAMPLE], PARSING | ENUMS | {"qarv_convert.preflight"} | _other_commands("explain")),
    (["plan", "--no-preflight", EXAMPLE], PARSING | _other_commands("plan")),
    # The list of commands is all --help needs of them.
    (["--help"], {"typing", "qarv_convert._native"} | _other_commands(None)),
], ids=["--version", "check", "explain", "plan", "--help"])
def test_a_command_imports_only_what_it_needs(args, absent):
    assert _imported(*args) & absent == set()


def test_a_command_given_first_still_knows_every_other_for_its_errors():
    run = subprocess.run([sys.executable, "-m", "qarv_convert", "chek"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and all(f"'{name}'" in run.stderr for name in COMMANDS)


def test_named_tuples_without_typing_behave_as_typing_makes_them():
    from typing import NamedTuple

    from qarv_convert.tuples import named_tuple

    def body(base):
        class Point(*base):
            """A point."""
            x: int
            y: int = 2

            def norm(self):
                return abs(self.x) + abs(self.y)
        return Point

    ours, theirs = named_tuple(body(())), body((NamedTuple,))
    for made in (ours, theirs):
        made.__module__ = __name__
    for point, reference in [(ours(1), theirs(1)), (ours(-3, y=4), theirs(-3, y=4))]:
        assert (tuple(point), point.norm(), repr(point)) == (tuple(reference), reference.norm(), repr(reference))
        assert point._replace(x=5) == reference._replace(x=5) and point._fields == reference._fields
    assert ours.__doc__ == "A point." and ours._field_defaults == {"y": 2}


def test_exit_statuses_are_named_ints_as_an_int_enum_makes_them():
    import enum

    from qarv_convert.status import ExitStatus

    reference = enum.IntEnum("ExitStatus", {"OK": 0, "FAILED": 1, "USAGE": 2, "INTERRUPTED": 130})
    for name, expected in reference.__members__.items():
        status = getattr(ExitStatus, name)
        assert (int(status), status.name, str(status), f"{status}", repr(status)) == (
            int(expected), expected.name, str(expected), f"{expected}", repr(expected))
        assert status == expected and hash(status) == hash(expected)


class _Failure(Exception):
    pass


@pytest.mark.parametrize("fails", [False, True], ids=["ends", "raises"])
def test_the_blocks_of_a_run_undo_what_they_did_however_the_block_ends(tmp_path, fails):
    import argparse
    import os

    from qarv_convert.commands import in_directory
    from qarv_convert.source import module_path
    from qarv_convert.streams import Streams

    reading, writing = os.pipe()
    os.write(writing, b"[build]\n")
    os.close(writing)
    started_in = os.getcwd()
    seen = {}
    try:
        with in_directory(argparse.Namespace(directory=str(tmp_path)), Streams()) as entered, \
                module_path(f"/dev/fd/{reading}") as name:
            seen.update(entered=entered, where=os.getcwd(), name=name)
            with open(name, encoding="utf-8") as text:
                seen["text"] = text.read()
            if fails:
                raise _Failure
    except _Failure:
        assert fails
    finally:
        os.close(reading)
    copy = int(seen["name"].rpartition("/")[2])
    assert (seen["entered"], seen["where"], seen["text"]) == (True, str(tmp_path), "[build]\n")
    assert copy != reading and os.getcwd() == started_in
    with pytest.raises(OSError):
        os.fstat(copy)  # the copy of the pipe's text is closed with the block


def test_severities_behave_as_the_enum_they_stand_for():
    import copy
    import enum
    import pickle

    from qarv_convert.preflight import Severity

    reference = enum.Enum("Severity", {"ERROR": "error", "WARNING": "warning"})
    assert [(m.name, m.value) for m in Severity] == [(m.name, m.value) for m in reference]
    assert len(Severity) == 2 and list(Severity.__members__) == ["ERROR", "WARNING"]
    for member, expected in zip(Severity, reference):
        assert (repr(member), str(member)) == (repr(expected), str(expected))
        assert Severity(expected.value) is member and Severity[expected.name] is member and member in Severity
        assert pickle.loads(pickle.dumps(member)) is member and copy.deepcopy(member) is member
    assert Severity.ERROR != Severity.WARNING and len({Severity.ERROR, Severity.ERROR, Severity.WARNING}) == 2
    with pytest.raises(ValueError):
        Severity("fatal")
