"""The README's configuration reference agrees with what the module defines."""
import json
import pathlib
import re

from qarv_convert.schema import configuration_schema

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def test_configuration_reference_matches_the_schema():
    documented = {}
    section = None
    for line in README.read_text().splitlines():
        if heading := re.fullmatch(r"#### `\[(\w+)\]`", line):
            section = heading[1]
        elif section and (row := re.fullmatch(r"\| `(\w+)` \| [^|]+ \| ([^|]+) \| (.*) \|", line)):
            documented[(section, row[1])] = (row[2], row[3].replace("\\|", "|"))

    expected = {}
    for name, document in configuration_schema()["properties"].items():
        for key, property in document["properties"].items():
            if "default" not in property:
                default = "required"
            elif property["default"] is None:
                default = "not set"
            else:
                default = "`" + json.dumps(property["default"]) + "`"
            expected[(name, key)] = (default, property.get("description", ""))
    assert documented == expected
