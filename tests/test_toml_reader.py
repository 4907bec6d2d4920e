"""The TOML reader on its own: number literals at their limits, nesting limits on a small stack,
and the wording of syntax faults."""
import json
import math
import random
import subprocess
import sys
import textwrap

import pytest

import qarv_test_hooks

U128_MAX = 2**128 - 1
I128_MIN = -(2**127)


def decoded(tmp_path, literal):
    """The value of `x = literal` as the reader decodes it, or the fault's message line."""
    path = tmp_path / "numbers.toml"
    path.write_text(f"x = {literal}\n", encoding="utf-8")
    try:
        value = json.loads(qarv_test_hooks.toml_test_json(str(path)))["x"]
    except RuntimeError as error:
        return str(error).splitlines()[-1]
    return value["type"], float(value["value"]) if value["type"] == "float" else int(value["value"])


@pytest.mark.parametrize(
    "literal, value",
    [
        (str(U128_MAX), U128_MAX),
        (str(I128_MIN), I128_MIN),
        (str(2**64), 2**64),
        (str(-(2**63) - 1), -(2**63) - 1),
        ("0x" + "f" * 32, U128_MAX),
        ("0o" + oct(U128_MAX)[2:], U128_MAX),
        ("0b" + "1" * 128, U128_MAX),
        ("-0", 0),
        ("+1_000", 1000),
    ],
)
def test_integers_hold_the_whole_128_bit_range(tmp_path, literal, value):
    assert decoded(tmp_path, literal) == ("integer", value)


@pytest.mark.parametrize(
    "literal",
    [str(U128_MAX + 1), str(I128_MIN - 1), "0x1" + "0" * 32, "0b1" + "0" * 128, "9" * 60, "-" + "9" * 60],
)
def test_integers_beyond_128_bits_overflow(tmp_path, literal):
    assert decoded(tmp_path, literal) == "integer number overflowed"


@pytest.mark.parametrize(
    "literal, value",
    [
        ("1e-400", 0.0),
        ("-1e-400", -0.0),
        ("2e-324", 0.0),
        ("5e-324", 5e-324),
        ("1.7976931348623157e308", 1.7976931348623157e308),
        ("-1.7976931348623158e308", -1.7976931348623157e308),  # rounds down to the largest double
        ("1" * 201 + ".5", float("1" * 201)),
        ("0." + "3" * 151, 1 / 3),
        ("0." + "0" * 400 + "1e400", 0.1),
        ("1_000.000_1e-0_3", 1.0000001),
        ("-inf", -math.inf),
    ],
)
def test_floats_read_correctly_rounded_and_underflow_to_zero(tmp_path, literal, value):
    kind, number = decoded(tmp_path, literal)
    assert kind == "float" and number == value and math.copysign(1, number) == math.copysign(1, value)


@pytest.mark.parametrize(
    "literal",
    ["1.7976931348623159e308", "-1e309", "1" + "0" * 309 + ".0", "0.1e310", "1e99999999999999999999"],
)
def test_finite_floats_too_large_for_a_double_overflow(tmp_path, literal):
    assert decoded(tmp_path, literal) == "floating-point number overflowed"


@pytest.mark.parametrize(
    "literal",
    ["0x1p3", "0x1.8p1", "1.", ".5", "1e", "01", "00.5", "1__0", "_1", "1_", "+0x1", "0X1", "1.e5", "inf_", "nan1"],
)
def test_malformed_numbers_are_refused(tmp_path, literal):
    message = decoded(tmp_path, literal)
    assert message == "invalid number" or message == "unexpected `.`, expected a value" or message.startswith(
        "unexpected `_`"
    )


@pytest.mark.parametrize(
    "text, position, message",
    [
        ("[build\n", (1, 7), "unexpected newline, expected `.`, `]`"),
        ("[[a]\n", (1, 5), "unexpected newline, expected `]]`"),
        ("a = 1 2\n", (1, 7), "unexpected `2`, expected newline, `#`"),
        ("a = [1 2]\n", (1, 8), "unexpected `2`, expected `,`, `]`"),
        ("a = {b = 1 c = 2}\n", (1, 12), "unexpected `c`, expected `,`, `}`"),
        ("a", (1, 2), "unexpected end of input, expected `.`, `=`"),
        ("a+b = 1\n", (1, 2), "unexpected `+`, expected `.`, `=`"),
        ("é = 1\n", (1, 1), "unexpected `é`, expected a key"),
        ("`a` = 1\n", (1, 1), "unexpected '`', expected a key"),
        ("a = \n", (1, 5), "unexpected newline, expected a value"),
        ('a = "\\q"\n', (1, 6), "invalid escape sequence, expected `b`, `t`, `n`, `f`, `r`, `e`, `\"`, `\\`, `x`, `u`, `U`"),
        ('a = "\\uD800"\n', (1, 6), "invalid escape sequence, expected a Unicode scalar value"),
        ('a = "b\n', (1, 7), 'unterminated string, expected `"`'),
        ("a = 1 # \x01\n", (1, 9), "control character in a comment"),
        ("a = 1\r\n\rb = 2\n", (2, 1), "carriage return without a line feed"),
        ("a = 2024-02-30\n", (1, 5), "invalid date-time"),
        # Faults next to and inside empty arrays and inline tables among an array's elements.
        ("a = [[], [] []]\n", (1, 13), "unexpected `[`, expected `,`, `]`"),
        ("a = [[], [ # \x01\n]]\n", (1, 14), "control character in a comment"),
        ("a = [1, [}]\n", (1, 10), "unexpected `}`, expected a value"),
        ("a = [{}, {]\n", (1, 11), "unexpected `]`, expected a key"),
        ("a = [{}, {}, {\n}}\n", (2, 2), "unexpected `}`, expected `,`, `]`"),
        ("a = [[], [\n", (1, 12), "unexpected end of input, expected a value"),
    ],
)
def test_syntax_faults_name_what_was_expected(tmp_path, text, position, message):
    path = tmp_path / "fault.toml"
    path.write_bytes(text.encode())
    with pytest.raises(RuntimeError) as caught:
        qarv_test_hooks.toml_test_json(str(path))
    lines = str(caught.value).splitlines()
    assert lines[0] == f"TOML parse error at line {position[0]}, column {position[1]}"
    assert lines[-1] == message


# Each document is read on a thread with a 256 KiB stack, in a child process so that an overflow
# cannot take the test run down with it. Every form of depth counts towards one limit of 1,024.
SMALL_STACK = textwrap.dedent(
    """
    import sys, threading
    import qarv_convert_inner
    sys.modules["qarv"] = None
    results = []

    def load(path):
        try:
            qarv_convert_inner.rust_convert(path)
        except RuntimeError as error:
            results.append(str(error))

    threading.stack_size(256 * 1024)
    thread = threading.Thread(target=load, args=(sys.argv[1],))
    thread.start()
    thread.join()
    print(results[0])
    """
)


def nested(form, depth):
    if form == "arrays":
        return "a = " + "[" * depth + "]" * depth + "\n"
    if form == "arrays around a value":
        return "a = " + "[" * (depth - 1) + "1" + "]" * (depth - 1) + "\n"
    if form == "inline tables":
        return "a = " + "{a = " * (depth - 1) + "1" + "}" * (depth - 1) + "\n"
    if form == "dotted keys":
        return ".".join(["a"] * depth) + " = 1\n"
    if form == "table header":
        return "[" + ".".join(["a"] * depth) + "]\n"
    if form == "array of tables":
        return "[[" + ".".join(["a"] * (depth - 1)) + "]]\n"
    raise ValueError(form)


LIMIT = 1024

FORMS = ["arrays", "arrays around a value", "inline tables", "dotted keys", "table header", "array of tables"]


def load_on_small_stack(tmp_path, text):
    path = tmp_path / "deep.toml"
    path.write_text(text, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-c", SMALL_STACK, str(path)], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("form", FORMS)
def test_nesting_at_the_limit_loads(tmp_path, form):
    assert load_on_small_stack(tmp_path, nested(form, LIMIT)).startswith("ModuleNotFoundError: ")


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("depth", [LIMIT + 1, 150_000])
def test_nesting_past_the_limit_is_refused_with_a_position(tmp_path, form, depth):
    output = load_on_small_stack(tmp_path, nested(form, depth))
    assert output.startswith("TOML parse error at line 1, column ")
    assert output.rstrip().endswith(f"nesting deeper than {LIMIT} levels")


# Documents of other readers' suites nest arrays and inline tables 1,000 deep. Their decoded form
# is compared as text, so that no recursive JSON decoder needs to walk it.
@pytest.mark.parametrize(
    "text, expected",
    [
        ("a = " + "[" * 1000 + "]" * 1000, '{"a":' + "[" * 1000 + "]" * 1000 + "}"),
        ("a = " + "[" * 999 + "'x'" + "]" * 999, '{"a":' + "[" * 999 + '{"type":"string","value":"x"}' + "]" * 999 + "}"),
        ("a = " + "{b = " * 999 + "1" + "}" * 999,
         '{"a":' + '{"b":' * 999 + '{"type":"integer","value":"1"}' + "}" * 999 + "}"),
        ("a = [" + "{b = [" * 499 + "]}" * 499 + "]", '{"a":[' + '{"b":[' * 499 + "]}" * 499 + "]}"),
    ],
    ids=["arrays", "arrays around a string", "inline tables", "both"],
)
def test_thousand_deep_documents_decode(tmp_path, text, expected):
    path = tmp_path / "deep.toml"
    path.write_text(text + "\n", encoding="utf-8")
    assert qarv_test_hooks.toml_test_json(str(path)) == expected
    assert load_on_small_stack(tmp_path, text + "\n").startswith("ModuleNotFoundError: ")


@pytest.mark.parametrize(
    "text, fault",
    [
        # Dotted keys may extend a table that headers only passed through...
        ("[a.b.c]\n[a]\nb.d = 1\n", None),
        # ...which then belongs to the dotted keys: no header may define it afterwards.
        ("[a.b.c]\n[a]\nb.d = 1\n[a.b]\n", "duplicate key"),
        ("[a.b.c]\n[a]\nb.d = 1\n[a.b.e]\n", None),
        # A table that a header defined is closed to dotted keys written elsewhere.
        ("[a.b]\n[a]\nb.c = 1\n", "duplicate key"),
        ("a = {b = 1}\n[a.c]\n", "duplicate key"),
        ("[[a]]\n[a.b]\nx = 1\n[[a]]\n[a.b]\n", None),
        ("a = [{b = 1}]\n[[a]]\n", "duplicate key"),
        # Inside an inline table newlines may separate pairs, but a value starts on its key's line.
        ("a = {\n  b = 1,\n  c.d = 2,\n}\n", None),
        ("a = { b =\n 1 }\n", "unexpected newline, expected a value"),
        ("a = {b.c = 1, b = 2}\n", "duplicate key"),
    ],
)
def test_table_rules(tmp_path, text, fault):
    path = tmp_path / "tables.toml"
    path.write_text(text, encoding="utf-8")
    if fault is None:
        qarv_test_hooks.toml_test_json(str(path))
        return
    with pytest.raises(RuntimeError) as caught:
        qarv_test_hooks.toml_test_json(str(path))
    assert str(caught.value).splitlines()[-1] == fault


@pytest.mark.parametrize(
    "literal, value",
    [
        ('"""\r\na\r\nb\\\r\n  c"""', "a\nbc"),
        ("'''\r\na\r\nb'''", "a\nb"),
        ('"""a\nb"""', "a\nb"),
        ('"a\\tb\\e\\x41\\u00e9\\U0001F600"', "a\tb\x1bAé\U0001F600"),
        ("'C:\\path'", "C:\\path"),
    ],
)
def test_strings_decode_with_line_ends_as_line_feeds(tmp_path, literal, value):
    path = tmp_path / "strings.toml"
    path.write_bytes(f"x = {literal}\n".encode())
    assert json.loads(qarv_test_hooks.toml_test_json(str(path)))["x"] == {"type": "string", "value": value}


SPANS = (
    "\ufeff  [ \"a b\" . 'c' ]  # a header among blanks\n"
    "[\"t\".u.v]\n"
    "[t]\n"
    'w = { p.q = "a\\"}" , r = [ ] }\n'
    's = """x"""""\n'
    "e = [ {a = 1}, \"x\", [2, # ] }\n 3] ]\n"
    "c = [ # c\n 1, 2 ]\n"
    "[[arr]]\n"
    "n = 1\n"
    "[[arr]]\n"
    "[t.u]\n"
    "\"k\\u0041\" = 'lit]'\n"
    "m.n = 2\n"
    "[g.h.i]\n"
    "[g]\n"
    "h.j = 1\n"
    "[big]\n" + "".join(f"k{i} = {i}\n" for i in range(10)) + '"\\u0071" = {}\n'
)


@pytest.mark.parametrize(
    "path, key, value",
    [
        ("a b", '"a b"', "[ \"a b\" . 'c' ]"),
        ("a b.c", "'c'", "[ \"a b\" . 'c' ]"),
        # A table that a later header defines is that header's, key and all.
        ("t", "t", "[t]"),
        ("t.u", "u", "[t.u]"),
        ("t.u.v", "v", '["t".u.v]'),
        ("t.w", "w", '{ p.q = "a\\"}" , r = [ ] }'),
        ("t.w.p", "p", "p"),
        ("t.w.p.q", "q", '"a\\"}"'),
        ("t.w.r", "r", "[ ]"),
        ("t.s", "s", '"""x"""""'),
        ("t.e", "e", '[ {a = 1}, "x", [2, # ] }\n 3] ]'),
        ("t.e[0]", None, "{a = 1}"),
        ("t.e[1]", None, '"x"'),
        ("t.e[2]", None, "[2, # ] }\n 3]"),
        ("t.e[2][1]", None, "3"),
        ("t.c[0]", None, "1"),
        ("t.c[1]", None, "2"),
        ("arr", "arr", "[[arr]]"),
        ("arr[0].n", "n", "1"),
        ("arr[1]", None, "[[arr]]"),
        ("t.u.kA", '"k\\u0041"', "'lit]'"),
        ("t.u.m", "m", "m"),
        ("t.u.m.n", "n", "2"),
        # Walked into by a dotted key, a table keeps the header that made it.
        ("g.h", "h", "[g.h.i]"),
        ("g.h.j", "j", "1"),
        ("big.k9", "k9", "9"),
        ("big.q", '"\\u0071"', "{}"),
    ],
)
def test_spans_cover_each_key_and_value_as_written(tmp_path, path, key, value):
    file = tmp_path / "spans.toml"
    file.write_text(SPANS, encoding="utf-8")
    assert json.loads(qarv_test_hooks.toml_spans(str(file)))[path] == [key, value]


@pytest.mark.parametrize("seed", range(40))
def test_positions_found_together_match_those_found_one_by_one(seed):
    rng = random.Random(seed)
    pieces = ["a", " ", "\t", "\n", "\r\n", "é", "€", "😀", "\xff", "[", "x = 1"]
    text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 60))).encode("utf-8", "surrogateescape")
    text = text.replace("\xff".encode(), b"\xff")
    # Spans start on a character's first byte, or past the end of the text.
    starts = [i for i in range(len(text)) if text[i] & 0xC0 != 0x80] + [len(text), len(text) + 3]
    spans = [(start, start + rng.choice([0, 1, 3, 40])) for start in rng.choices(starts, k=rng.randint(1, 30))]
    single, batched = json.loads(qarv_test_hooks.text_positions(text, spans))
    assert batched == single


# Elements of an array that are scalars, empty arrays or empty inline tables are read again from
# the text when asked for; an element of any other kind makes the reader store every element
# instead. Either way the document must read the same.
EMPTY_ELEMENTS = {
    "plain": ("[], []", 2),
    "spaced": ("[ ], [\t], [  ]", 3),
    "brackets in comments": ("[\n  # note ] }\n], [ # [\n]", 2),
    "among scalars": ("1, [], 'a', [ ], 2.5, {}, true", 7),
    "commas on their own lines": ("[]\n, # c\n[] \n", 2),
    "inline tables": ("{ }, {\n}, {# }\n}", 3),
    "nested": ("[[], []], [[ ]]", 2),
    "date-times": ("1979-05-27, [], 07:32:00, {}", 4),
}
# Where the elements stand: (document, path of the array, index of the first, elements besides).
# Some arrays go on with an element that cannot be read again, first or last.
SURROUNDINGS = {
    "alone": ("a = [{}]", "a", 0, 0),
    "with a trailing comma": ("a = [{},]", "a", 0, 0),
    "after a stored element": ("a = [[0], {}]", "a", 1, 1),
    "before a non-empty array": ("a = [{}, [0]]", "a", 0, 1),
    "before an escaped string": ('a = [{}, "\\t"]', "a", 0, 1),
    "before an inline table": ("a = [{}, {b = 1}]", "a", 0, 1),
    "in an inline table": ("a = {b = [{}]}", "a.b", 0, 0),
    "in an array of tables": ("[[t]]\n[[t]]\nb = [{}]", "t[1].b", 0, 0),
}


def read(tmp_path, text):
    path = tmp_path / "elements.toml"
    path.write_text(text, encoding="utf-8")
    return json.loads(qarv_test_hooks.toml_test_json(str(path))), json.loads(qarv_test_hooks.toml_spans(str(path)))


def below(spans, path):
    """The spans of the values inside the value at `path`, by their path from it."""
    return {key[len(path):]: span for key, span in spans.items() if key.startswith((path + "[", path + "."))}


@pytest.mark.parametrize("surrounding", SURROUNDINGS)
@pytest.mark.parametrize("shape", EMPTY_ELEMENTS)
def test_empty_arrays_and_tables_among_elements_read_like_stored_ones(tmp_path, shape, surrounding):
    elements, count = EMPTY_ELEMENTS[shape]
    form, path, first, besides = SURROUNDINGS[surrounding]
    decoded, spans = read(tmp_path, form.replace("{}", elements, 1) + "\n")
    array = decoded
    for step in path.replace("[1]", ".1").split("."):
        array = array[int(step)] if step.isdigit() else array[step]
    assert len(array) == count + besides
    # The reference: each element alone under a key of its own, where it is always stored.
    for index in range(first, first + count):
        span = spans[f"{path}[{index}]"][1]
        alone, alone_spans = read(tmp_path, f"x = {span}\n")
        assert array[index] == alone["x"]
        assert span == alone_spans["x"][1]
        assert below(spans, f"{path}[{index}]") == below(alone_spans, "x")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a = [[], [ ], [\n# ]\n]]", {"a": [[], [], []]}),
        ("a = [[], 1, {}]", {"a": [[], {"type": "integer", "value": "1"}, {}]}),
        ("a = [[[], []], [{}], []]", {"a": [[[], []], [{}], []]}),
        ("a = [[], [],]\nb = [{},]", {"a": [[], []], "b": [{}]}),
    ],
)
def test_arrays_of_empty_containers_decode(tmp_path, text, expected):
    assert read(tmp_path, text + "\n")[0] == expected
