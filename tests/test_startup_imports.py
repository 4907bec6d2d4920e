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
import json, sys
from qarv_convert import main
status = main(sys.argv[1:])
sys.stderr.write("\\n" + json.dumps(sorted(sys.modules)) + "\\n")
"""


def _imported(*args):
    run = subprocess.run([sys.executable, "-c", PROBE, *args], capture_output=True, text=True, timeout=60)
    modules = set(json.loads(run.stderr.rstrip("\n").rpartition("\n")[2]))
    # The probe's own json import is not the command's.
    return modules - {"json", "json.decoder", "json.scanner", "json.encoder", "_json"}


def _other_commands(command):
    return {f"qarv_convert.commands.{name}" for name in COMMANDS - {command}}


@pytest.mark.parametrize("args, absent", [
    (["--version"], {"argparse", "typing", "qarv_convert.cli", "qarv_convert.commands", "qarv_convert._native"}),
    (["check", "--no-preflight", EXAMPLE], {"typing", "importlib.util"} | _other_commands("check")),
    (["explain", EXAMPLE], {"typing", "qarv_convert.preflight"} | _other_commands("explain")),
], ids=["--version", "check", "explain"])
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
