"""The starter configuration of `qarv-convert init`, written from the module's key declarations."""
from __future__ import annotations

import math
from typing import Any

from qarv_convert import _native
from qarv_convert.text import printable
from qarv_convert.schema import configuration_schema

#: Keys whose default only holds a place: every conversion has to set its own value.
TO_CHOOSE = {("load", "model"): "the path of the ONNX model to convert"}

HEADER = """\
# A qarv-convert configuration, written by `qarv-convert init` (qarv-convert {version}).
# Every table and key that a conversion reads is listed with its description and default.
# A key left commented out keeps its default; remove the "# " before it to set it.
# Values marked CHOOSE are placeholders that you have to replace.
#
#   qarv-convert check --strict FILE    finds misspelt keys
#   qarv-convert explain FILE           shows every effective value
#   qarv-convert plan FILE              lists the toolkit calls without running them
"""


def _types(property: dict[str, Any]) -> list[str]:
    types = property.get("type", [])
    return [t for t in ([types] if isinstance(types, str) else types) if t != "null"]


def _kind(property: dict[str, Any], plural: bool = False) -> str:
    """What values a key takes, in words."""
    types = _types(property)
    if "array" in types:
        return ("lists" if plural else "a list") + " of " + _kind(property.get("items", {}), plural=True)
    if "integer" in types:
        low, high = property.get("minimum"), property.get("maximum")
        words = "integers" if plural else "an integer"
        if low is not None and high is not None:
            return f"{words} from {low} to {high}"
        return f"{words} from {low} up" if low is not None else words
    if "number" in types:
        return "numbers" if plural else "a number"
    if "boolean" in types:
        return "true or false"
    if "string" in types:
        if property.get("minLength"):
            return "non-empty strings" if plural else "a non-empty string"
        return "strings" if plural else "a string"
    return "any value"


def _example(property: dict[str, Any]) -> Any:
    """A value of the key's type and within its limits, to show the form of one it has no default for."""
    types = _types(property)
    if "array" in types:
        return [_example(property.get("items", {}))]
    if "integer" in types:
        return property.get("minimum", 0)
    if "number" in types:
        return 0.0
    if "boolean" in types:
        return False
    return "..."


def _toml_string(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return '"' + "".join(f"\\u{ord(c):04X}" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in escaped) + '"'


def toml_value(value: Any) -> str:
    """`value` (a JSON value other than null) as a TOML value."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return ("-inf" if value < 0 else "inf") if math.isinf(value) else "nan" if math.isnan(value) else repr(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return _toml_string(value)
    if isinstance(value, list):
        return "[" + ", ".join(toml_value(item) for item in value) + "]"
    raise TypeError(f"no TOML form for {value!r}")


def _comment(text: str) -> list[str]:
    return [f"# {line}".rstrip() for line in printable(text).split("\n")]


def _key(section: str, name: str, property: dict[str, Any]) -> list[str]:
    lines = _comment(property["description"]) if property.get("description") else []
    if "const" in property:
        lines.append(f"# Required; always {toml_value(property['const'])}.")
        return lines + [f"{name} = {toml_value(property['const'])}"]
    default = property.get("default")
    if (section, name) in TO_CHOOSE:
        lines.append(f"# CHOOSE {TO_CHOOSE[section, name]}; {toml_value(default)} only holds the place.")
        return lines + [f"{name} = {toml_value(default)}"]
    if default is None:
        lines.append(f"# Default: not set. Takes {_kind(property)}, for example:")
        return lines + [f"# {name} = {toml_value(_example(property))}"]
    lines.append(f"# Default: {toml_value(default)}. Takes {_kind(property)}.")
    return lines + [f"# {name} = {toml_value(default)}"]


def _from_graph(model: str, graph: dict[str, Any]) -> dict[tuple[str, str], list[str]]:
    """The lines of the keys that a model's graph decides: its path, inputs, outputs and their
    sizes (a dynamic size marked CHOOSE), and normalization placeholders of its channel count."""
    inputs = graph["inputs"]
    filled = {
        ("load", "model"): [f"model = {toml_value(model)}"],
        ("load", "inputs"): [f"inputs = {toml_value([i['name'] for i in inputs])}"],
        ("load", "outputs"): [f"outputs = {toml_value([o['name'] for o in graph['outputs']])}"],
    }
    if inputs and all(i["shape"] is not None for i in inputs):
        sizes = [[d if isinstance(d, int) else 1 for d in i["shape"]] for i in inputs]
        dynamic = [f"`{d}` of `{i['name']}`" if isinstance(d, str) else f"dimension {axis} of `{i['name']}`"
                   for i in inputs for axis, d in enumerate(i["shape"]) if not isinstance(d, int)]
        line = f"input_size_list = {toml_value(sizes)}"
        if dynamic:
            line += f"  # CHOOSE the sizes of {', '.join(dynamic)} (1 holds the place)"
        filled["load", "input_size_list"] = [line]
    four = [i["shape"] for i in inputs if i["shape"] is not None and len(i["shape"]) == 4 and isinstance(i["shape"][1], int)]
    if four:
        channels = four[0][1]
        filled["config", "mean_values"] = [f"# mean_values = {toml_value([0.0] * channels)}"]
        filled["config", "std_values"] = [f"# std_values = {toml_value([1.0] * channels)}"]
    return filled


def starter_configuration(version: str, model: str | None = None, graph: dict[str, Any] | None = None) -> str:
    """A configuration file with every table and key, each described, ready to be filled in; with
    a model's graph, the keys it decides are filled in from it."""
    filled = _from_graph(model, graph) if model is not None and graph is not None else {}
    sections = configuration_schema()["properties"]
    parts = [HEADER.format(version=version)]
    # Tables in the order the conversion uses them, one per toolkit step.
    for section, _method in _native.STEPS:
        document = sections[section]
        parts.append(f"\n[{section}]\n")
        required = document.get("required", [])
        # A table's required keys first: its other keys mean nothing without them.
        for name, property in sorted(document.get("properties", {}).items(), key=lambda item: item[0] not in required):
            lines = _key(section, name, property)
            if (section, name) in filled:
                # The description stays; the value is the model's.
                lines = [line for line in lines[:-1] if "CHOOSE" not in line] + filled[section, name]
            parts.append("\n" + "\n".join(lines) + "\n")
    return "".join(parts)
