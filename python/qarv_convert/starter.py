"""The starter configuration of `qarv-convert init`, written from the module's key declarations."""
from __future__ import annotations

import math
from typing import Any, NamedTuple

from qarv_convert import _native
from qarv_convert.text import cut, printable
from qarv_convert.schema import configuration_schema

#: Keys every conversion sets to its own value: what to choose, and the value that holds the place.
TO_CHOOSE = {tuple(key.split(".")): (facts["choose"], facts["placeholder"])
             for key, facts in _native.KEYS.items() if facts["choose"] is not None}
#: Tables a fresh file leaves commented out: their step runs only with entries in one of their
#: lists, which a fresh file cannot know, so written empty they would only draw a warning.
COMMENTED_TABLES = set(_native.RUNS_WITH)
#: Placeholders of keys whose type's plain example would be wrong as a value (a zero deviation divides by zero).
EXAMPLES = {("config", "std_values"): [1.0], ("config", "mean_values"): [0.0]}
#: The most channels given one placeholder value each; more get one CHOOSE marker.
MAX_PLACEHOLDER_CHANNELS = 64


class NotWritable(ValueError):
    """Text from the model that a configuration cannot hold (it is not valid Unicode)."""


class Starter(NamedTuple):
    text: str
    to_choose: int  #: how many values are marked CHOOSE

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
    # C0 controls and DEL must be escaped; the C1 ones may stand but would drive a terminal that shows the file.
    return '"' + "".join(f"\\u{ord(c):04X}" if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F else c for c in escaped) + '"'


def quoted(text: str) -> str:
    """`text` (a name from a model) as a TOML string, safe anywhere in the file, comments included:
    no character of it can end the comment or the string."""
    return _toml_string(text)


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
        what, placeholder = TO_CHOOSE[section, name]
        lines.append(f"# CHOOSE {what}; {toml_value(placeholder)} only holds the place.")
        return lines + [f"{name} = {toml_value(placeholder)}"]
    if default is None:
        lines.append(f"# Default: not set. Takes {_kind(property)}, for example:")
        return lines + [f"# {name} = {toml_value(EXAMPLES.get((section, name), _example(property)))}"]
    lines.append(f"# Default: {toml_value(default)}. Takes {_kind(property)}.")
    return lines + [f"# {name} = {toml_value(default)}"]


def _utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _check_names(graph: dict[str, Any]) -> None:
    """Refuses names that no TOML file can hold: the reader hands bytes that are not UTF-8 over as
    lone surrogates, and no escape writes them."""
    for info in graph["inputs"] + graph["outputs"]:
        for text in [info["name"], *(d for d in info["shape"] or [] if isinstance(d, str))]:
            if not _utf8(text):
                shown, length = cut(text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace"))
                owner, owner_length = cut(quoted(info["name"]))
                what = f"name `{shown}`{length}" if text == info["name"] \
                    else f"dimension name `{shown}`{length} of {owner}{owner_length}"
                raise NotWritable(f"the {what} is not valid UTF-8, and a configuration holds only UTF-8") from None


def _from_graph(model: str, graph: dict[str, Any]) -> dict[tuple[str, str], list[str]]:
    """The lines of the keys that a model's graph decides: its path, inputs, outputs and their
    sizes (a dynamic size marked CHOOSE), and normalization placeholders of its channel count."""
    from qarv_convert.preflight.formats import InputNeed, channel_count

    _check_names(graph)
    if not _utf8(model):
        raise NotWritable("its path is not valid UTF-8, and a configuration holds only UTF-8")
    inputs = graph["inputs"]
    filled = {
        ("load", "model"): [f"model = {toml_value(model)}"],
        ("load", "inputs"): [f"inputs = {toml_value([i['name'] for i in inputs])}"],
        ("load", "outputs"): [f"outputs = {toml_value([o['name'] for o in graph['outputs']])}"],
    }
    if inputs and all(i["shape"] is not None for i in inputs):
        sizes = [[d if isinstance(d, int) else 1 for d in i["shape"]] for i in inputs]
        dynamic = [f"{quoted(d)} of {quoted(i['name'])}" if isinstance(d, str) else f"dimension {axis} of {quoted(i['name'])}"
                   for i in inputs for axis, d in enumerate(i["shape"]) if not isinstance(d, int)]
        line = f"input_size_list = {toml_value(sizes)}"
        if dynamic:
            line += f"  # CHOOSE the sizes of {', '.join(dynamic)} (1 holds the place)"
        filled["load", "input_size_list"] = [line]
    four = [i["shape"] for i in inputs if i["shape"] is not None and len(i["shape"]) == 4]
    # Where the sizes do not tell the layout apart, the channels are where ONNX puts them: first.
    channels = next((count for count in (channel_count(InputNeed("", shape, shape)) or
                                         (shape[1] if isinstance(shape[1], int) else None) for shape in four) if count), None)
    if channels is not None and channels <= MAX_PLACEHOLDER_CHANNELS:
        filled["config", "mean_values"] = [f"# mean_values = {toml_value([0.0] * channels)}"]
        filled["config", "std_values"] = [f"# std_values = {toml_value([1.0] * channels)}"]
    elif channels is not None:
        for key, value in (("mean_values", 0.0), ("std_values", 1.0)):
            filled["config", key] = [f"# {key} = [{toml_value(value)}, ...]  # CHOOSE one value for each of the "
                                     f"{channels} channels"]
    return filled


def starter_configuration(version: str, model: str | None = None, graph: dict[str, Any] | None = None) -> Starter:
    """A configuration file with every table and key, each described, ready to be filled in; with
    a model's graph, the keys it decides are filled in from it (`model` the path as the file is to
    hold it). Raises `NotWritable` for a graph whose names no configuration can hold."""
    filled = _from_graph(model, graph) if model is not None and graph is not None else {}
    sections = configuration_schema()["properties"]
    parts = [HEADER.format(version=version)]
    # Tables in the order the conversion uses them, one per toolkit step.
    for section, _method in _native.STEPS:
        document = sections[section]
        commented = section in COMMENTED_TABLES
        if commented:
            parts.append(f"\n# Not run unless written: remove the \"# \" before the table and its keys to run it.\n"
                         f"# [{section}]\n")
        else:
            parts.append(f"\n[{section}]\n")
        required = document.get("required", [])
        # A table's required keys first: its other keys mean nothing without them.
        for name, property in sorted(document.get("properties", {}).items(), key=lambda item: item[0] not in required):
            lines = _key(section, name, property)
            if (section, name) in filled:
                # The description stays; the value is the model's.
                lines = [line for line in lines[:-1] if "CHOOSE" not in line] + filled[section, name]
            if commented:
                lines = [line if line.startswith("#") else f"# {line}" for line in lines]
            parts.append("\n" + "\n".join(lines) + "\n")
    text = "".join(parts)
    return Starter(text, sum("# CHOOSE " in line for line in text.split("\n")))
