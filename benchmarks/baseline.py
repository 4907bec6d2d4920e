"""The pure-Python reference the benchmarks compare against: the same loading, checks, defaults,
keyword dictionaries, toolkit calls and summary tables, written plainly on `tomllib`."""
import json
import math
import operator
import os
import re
import tomllib
from array import array


class ConfigurationError(Exception):
    pass


def _fail(key, value, expected):
    raise ConfigurationError(f"{key}: invalid {type(value).__name__} {value!r}, expected {expected}")


# Checkers take (key, value) and return the value as the record holds it.

def _bool(key, value):
    if type(value) is not bool:
        _fail(key, value, "a boolean")
    return value


def _str(key, value):
    if type(value) is not str:
        _fail(key, value, "a string")
    return value


def _integer(low, high, name):
    def check(key, value):
        if type(value) is not int:
            _fail(key, value, name)
        if not low <= value <= high:
            _fail(key, value, name)
        return value

    return check


_u8 = _integer(0, 255, "u8")
_i32 = _integer(-2**31, 2**31 - 1, "i32")
_u64 = _integer(0, 2**64 - 1, "usize")


def _list(element):
    def check(key, value):
        if type(value) is not list:
            _fail(key, value, "a sequence")
        return [element(key, item) for item in value]

    return check


def _f32_list(key, value):
    if type(value) is not list:
        _fail(key, value, "a sequence")
    for item in value:
        if type(item) is not float and type(item) is not int:
            _fail(key, item, "f32")
    return array("f", value).tolist()  # rounded to single precision, widened back


_str_list = _list(_str)

# Per section: key -> (checker, default, description). Declaration order is the keyword order.
CONFIG = {
    "mean_values": (_f32_list, None, "Mean values for normalization."),
    "std_values": (_f32_list, None, "Standard deviation values for normalization."),
    "quantized_dtype": (_str, "asymmetric_quantized-8", "Quantized dtype. [asymmetric_quantized-8]"),
    "quantized_algorithm": (_str, "normal", "Quantized algorithm. [normal, mmse]"),
    "quantized_method": (_str, "channel", "Quantized method. [channel, group, layers]"),
    "target_platform": (_str, None,
                        "target platform [tx9100, tx9200, tx9300, tx9400, tx9500, ty9600B, ty9700, ...]"),
    "quant_img_RGB2BGR": (_bool, False, "BGR channel order instead of RGB"),
    "float_dtype": (_str, "float16", "float_dtype [float16, float32, bfloat16]"),
    "optimization_level": (_u8, 3, "Optimization level [0, 1, 2, 3]"),
    "custom_string": (_str, None, "A custom string to add to the model."),
    "remove_weight": (_bool, False, "Remove the weights from the model."),
    "compress_weight": (_bool, False, "Compress the model weights."),
    "inputs_yuv_fmt": (_str, None, "Input YUV format."),
    "single_core_mode": (_bool, False, "Single core mode."),
}
LOAD = {
    "model": (_str, "model.onnx", "Path to the ONNX model file"),
    "inputs": (_str_list, None, 'Optional list of input names (e.g. ["input0"])'),
    "input_size_list": (_list(_list(_u64)), None, "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])"),
    "input_initial_val_file": (_str, None, "Path to a `.npy` or `.npz` file containing a list of NumPy arrays"),
    "outputs": (_str_list, None, "Optional list of output names"),
}
BUILD = {
    "do_quantization": (_bool, True, "Whether to quantize the model (default: true)"),
    "dataset": (_str, None, "Path to dataset file for quantization (default: None)"),
    "qarv_batch_size": (_i32, None, "Batch size for inference (default: None)"),
    "auto_hybrid": (_bool, False, "Enable automatic hybrid quantization (default: false)"),
}
ANALYSIS = {
    "inputs": (_str_list, [], "Input file paths for accuracy analysis."),
    "output_dir": (_str, None, "Directory where accuracy snapshots and analysis files are written."),
    "target": (_str, None, "Optional target hardware platform for board-side analysis."),
    "device_id": (_str, None, "Optional target device ID."),
}
EXPORT = {"export_path": (_str, None, "")}


def _defaults(fields):
    return {key: (list(default) if type(default) is list else default) for key, (_, default, _) in fields.items()}


def _section(table, fields, name, skip=None):
    if type(table) is not dict:
        raise ConfigurationError(f"{name}: expected a table")
    record = _defaults(fields)
    for key in sorted(table):  # the first fault in byte order of key is the one reported
        if key != skip and key in fields:
            record[key] = fields[key][0](key, table[key])
    return record


def load_configuration(path):
    """The file as a dict of section records, every key filled; `accuracy_analysis` may be None."""
    with open(path, "rb") as file:
        document = tomllib.load(file)
    configuration = {"config": _defaults(CONFIG), "load": _defaults(LOAD), "build": _defaults(BUILD),
                     "accuracy_analysis": None, "export": _defaults(EXPORT)}
    for name in sorted(document):
        table = document[name]
        if name == "load":
            if type(table) is not dict:
                raise ConfigurationError("load: expected a table")
            if "model_type" not in table:
                raise ConfigurationError("missing field `model_type`")
            if table["model_type"] != "Onnx" or type(table["model_type"]) is not str:
                raise ConfigurationError("unknown variant")
            configuration["load"] = _section(table, LOAD, name, skip="model_type")
        elif name == "config":
            configuration["config"] = _section(table, CONFIG, name)
        elif name == "build":
            configuration["build"] = _section(table, BUILD, name)
        elif name == "accuracy_analysis":
            configuration["accuracy_analysis"] = _section(table, ANALYSIS, name)
        elif name == "export":
            configuration["export"] = _section(table, EXPORT, name)
    return configuration


# The conversion ------------------------------------------------------------------------------

def _keywords(record, fields, always=(), leave_out=()):
    return {key: record[key] for key in fields
            if key not in leave_out and (record[key] is not None or key in always)}


def _check(step, result):
    code = operator.index(result)
    if not -2**31 <= code <= 2**31 - 1:
        raise RuntimeError("OverflowError: out of range integral type conversion attempted")
    if code:
        raise RuntimeError(f"RuntimeError: qarv.{step} failed with code {code}")


def convert(path):
    configuration = load_configuration(path)
    try:
        from qarv.api import QARV
        toolkit = QARV()
    except Exception as error:
        raise RuntimeError(f"{type(error).__qualname__}: {error}") from None
    _check("config", toolkit.config(**_keywords(configuration["config"], CONFIG, always=("target_platform",))))
    load = configuration["load"]
    keywords = _keywords(load, LOAD, leave_out=("model", "input_initial_val_file"))
    if load["input_initial_val_file"] is not None:
        raise NotImplementedError("initial values are not part of the benchmark")
    _check("load_onnx", toolkit.load_onnx(load["model"], **keywords))
    _check("build", toolkit.build(**_keywords(configuration["build"], BUILD)))
    analysis = configuration["accuracy_analysis"]
    if analysis is not None and analysis["inputs"]:
        _check("accuracy_analysis", toolkit.accuracy_analysis(**_keywords(analysis, ANALYSIS, always=("inputs",))))
    _check("export_qarv", toolkit.export_qarv(configuration["export"]["export_path"]))


# The summary ---------------------------------------------------------------------------------

def _json_form(value):
    if type(value) is float:
        return value if math.isfinite(value) else None
    if type(value) is list:
        return [_json_form(item) for item in value]
    return value


def _cell(value):
    if type(value) is str:
        return value
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def _same(a, b):
    if type(a) is not type(b):
        return False
    if type(a) is list:
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    return a == b


_SPACE_AFTER_TEXT = re.compile(r"(?<=\S)\s")


def _lines(text):
    lines = text.split("\n")
    if len(lines) > 1 and lines[-1] == "":
        lines.pop()
    return [_SPACE_AFTER_TEXT.sub(" ", line[:-1] if line.endswith("\r") else line) for line in lines]


def render_box_table(rows):
    cells = [[_lines(text) for text in row] for row in rows]
    widths = [max(len(line) for row in cells for line in row[column]) for column in range(len(rows[0]))]
    out = ["╔" + "╤".join("═" * width for width in widths) + "╗"]
    rule = "╟" + "┼".join("─" * width for width in widths) + "╢"
    for index, row in enumerate(cells):
        if index:
            out.append(rule)
        for line in range(max(len(cell) for cell in row)):
            out.append("║" + "│".join((cell[line] if line < len(cell) else "").ljust(width)
                                      for cell, width in zip(row, widths)) + "║")
    out.append("╚" + "╧".join("═" * width for width in widths) + "╝")
    return "\n".join(out)


def _explain_section(name, record, fields):
    rows = [["Key", "Value", "Default", "Set by User?", "Description"]]
    defaults = _defaults(fields)
    for key in sorted(fields):
        value, default = _json_form(record[key]), _json_form(defaults[key])
        rows.append([key, _cell(value), _cell(default), "No" if _same(value, default) else "Yes", fields[key][2]])
    return f"[{name}]\n{render_box_table(rows)}\n\n"


def explain(path):
    configuration = load_configuration(path)
    os.write(1, b"\n[Configuration Summary]\n\n")
    sections = [("config", CONFIG), ("load", LOAD), ("build", BUILD), ("accuracy_analysis", ANALYSIS),
                ("export", EXPORT)]
    for name, fields in sections:
        if configuration[name] is not None:
            os.write(1, _explain_section(name, configuration[name], fields).encode())
