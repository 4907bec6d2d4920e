"""The declarations' facts that `_native` hands the command line, checked against what loading,
the conversion, `check` and `init` do with them."""
import pytest

from qarv_convert import _native


def test_every_number_or_list_key_has_plain_words_for_its_type():
    for key, facts in _native.KEYS.items():
        if facts["expected"] not in ("a boolean", "a string"):
            assert facts["expected"] in _native.TYPE_WORDS, key


@pytest.mark.parametrize("key, value", [
    (key, value) for key, facts in _native.KEYS.items()
    for value in ((facts["minimum"] - 1,) if facts["minimum"] not in (None, 0) and facts["maximum"] != 2**31 - 1 or
                  key == "build.qarv_batch_size" else ())
    if facts["minimum"] is not None
])
def test_check_warns_below_each_declared_minimum(cli, write_config, key, value):
    section, name = key.split(".")
    result = cli("check", write_config(f"[{section}]\n{name} = {value}\n"))
    assert f"`{name}` is {value}, outside the values it takes" in result.stderr


def test_init_marks_exactly_the_keys_to_choose(cli):
    starter = cli("init", "-").stdout
    marked = {(section, line.split(" = ")[0])
              for section, lines in _sections(starter) for i, line in enumerate(lines)
              if i and "CHOOSE" in lines[i - 1] and not line.startswith("#")}
    assert marked == {tuple(key.split(".")) for key, facts in _native.KEYS.items() if facts["choose"]}


def _sections(text):
    section, lines = None, []
    for line in text.split("\n"):
        if line.startswith("["):
            if section:
                yield section, lines
            section, lines = line.strip("[]"), []
        elif section:
            lines.append(line)
    yield section, lines


@pytest.mark.parametrize("inputs, runs", [("[]", False), ('["a.npy"]', True)])
def test_a_step_runs_only_when_its_list_holds_an_entry(fake_qarv, write_config, inputs, runs):
    [(table, key)] = _native.RUNS_WITH.items()
    _native.convert(write_config(f"[{table}]\n{key} = {inputs}\n"))
    assert (dict(_native.STEPS)[table] in fake_qarv.steps) is runs
