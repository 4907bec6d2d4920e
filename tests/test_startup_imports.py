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
#: `enum`, and `signal` for the enums it makes: a command that shows no diagnostics needs neither.
ENUMS = {"enum", "signal"}


@pytest.mark.parametrize("args, absent", [
    (["--version"], PARSING | ENUMS | {"qarv_convert.cli", "qarv_convert.commands", "qarv_convert._native"}),
    (["check", "--no-preflight", EXAMPLE], PARSING | {"signal", "importlib.util", "qarv_convert.extras",
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
