"""Hardening: long mixed runs with flat memory, a hostile toolkit, and calls from many threads at once."""
import collections
import gc
import os
import sys
import threading
import time
import tracemalloc
import weakref

import pytest

from qarv_convert_inner import rust_convert, rust_explain

from qarv_convert.toolkit_proxy import STEPS

FULL = """
    [config]
    mean_values = [123.675, 116.28, 103.53]
    std_values = [58.395, 57.12, 57.375]
    target_platform = "tx9300"
    [load]
    model_type = "Onnx"
    model = "net.onnx"
    inputs = ["input"]
    input_size_list = [[1, 3, 224, 224]]
    outputs = ["logits"]
    [build]
    dataset = "dataset.txt"
    qarv_batch_size = 8
    [accuracy_analysis]
    inputs = ["cat.jpg"]
    [export]
    export_path = "net.qarv"
"""

SUMMARY_HEADING = "\n[Configuration Summary]\n\n"


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def outcome_of(function, path):
    try:
        function(path)
    except RuntimeError as error:
        assert type(error) is RuntimeError and error.__cause__ is None
        return str(error)
    return None


class stdout_to:
    """Points file descriptor 1 somewhere else for a while; the summary bypasses `sys.stdout`."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        target = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        os.dup2(target, 1)
        os.close(target)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)


Scenario = collections.namedtuple("Scenario", "function path outcomes state message steps")


def stress_scenarios(fake, write_config, tmp_path):
    full = write_config(FULL, name="full.toml")
    not_utf8 = tmp_path / "latin1.toml"
    not_utf8.write_bytes(b'[build]\ndataset = "caf\xe9"\n')
    broken = {
        "missing": str(tmp_path / "absent.toml"),
        "directory": str(tmp_path),
        "not-utf8": str(not_utf8),
        "syntax": write_config("[build\n", name="syntax.toml"),
        "type": write_config('[build]\ndo_quantization = "yes"\n', name="type.toml"),
        "no-tag": write_config('[load]\nmodel = "m.onnx"\n', name="tag.toml"),
    }
    expected_ends = {
        "missing": "No such file or directory (os error 2)",
        "directory": "Is a directory (os error 21)",
        "not-utf8": "stream did not contain valid UTF-8",
        "syntax": "\n",
        "type": 'invalid type: string "yes", expected a boolean\n',
        "no-tag": "missing field `model_type`\n",
    }
    scenarios = [Scenario(rust_convert, full, {}, None, None, list(STEPS)),
                 Scenario(rust_explain, full, {}, None, None, [])]
    for name, path in broken.items():
        for function in (rust_convert, rust_explain):
            message = outcome_of(function, path)
            assert message.endswith(expected_ends[name]), (name, message)
            scenarios.append(Scenario(function, path, {}, None, message, []))
    for index, step in enumerate(STEPS):
        scenarios.append(Scenario(rust_convert, full, {step: 3}, None,
                                  f"RuntimeError: qarv.{step} failed with code 3", list(STEPS[: index + 1])))
        scenarios.append(Scenario(rust_convert, full, {step: lambda step=step: KeyError(step)}, None,
                                  f"KeyError: '{step}'", list(STEPS[: index + 1])))
    scenarios += [
        Scenario(rust_convert, full, {"QARV": lambda: ValueError("init")}, None, "ValueError: init", []),
        Scenario(rust_convert, full, {}, "no-class", "AttributeError: module 'qarv.api' has no attribute 'QARV'", []),
        Scenario(rust_convert, full, {}, "no-package",
                 "ModuleNotFoundError: import of qarv.api halted; None in sys.modules", []),
        Scenario(rust_convert, full, {"build": None}, None,
                 "TypeError: 'NoneType' object cannot be interpreted as an integer", list(STEPS[:3])),
        Scenario(rust_convert, full, {"load_onnx": 2**40}, None,
                 "OverflowError: out of range integral type conversion attempted", list(STEPS[:2])),
        Scenario(rust_convert, full, {"export_qarv": -2**100}, None,
                 "OverflowError: Python int too large to convert to C long", list(STEPS)),
    ]
    return scenarios


@pytest.mark.memory_bound
def test_hundred_thousand_mixed_calls_keep_memory_flat(fake_qarv, write_config, tmp_path):
    scenarios = stress_scenarios(fake_qarv, write_config, tmp_path)
    toolkit_class = fake_qarv.api.QARV

    def enter(state):
        if state == "no-class":
            del fake_qarv.api.QARV
        elif state == "no-package":
            sys.modules["qarv.api"] = None

    def leave(state):
        fake_qarv.api.QARV = toolkit_class
        sys.modules["qarv.api"] = fake_qarv.api

    def run_rounds(rounds):
        for _ in range(rounds):
            for scenario in scenarios:
                fake_qarv.outcomes = scenario.outcomes
                fake_qarv.calls.clear()
                enter(scenario.state)
                try:
                    message = outcome_of(scenario.function, scenario.path)
                finally:
                    leave(scenario.state)
                if message != scenario.message or fake_qarv.steps != scenario.steps:
                    pytest.fail(f"{scenario}: got {message!r} after {fake_qarv.steps}")

    rounds = -(-100_000 // len(scenarios))
    warm_up = rounds // 10
    # The first rounds run traced too, so that caches and free lists are full before the baseline.
    tracemalloc.start()
    try:
        with stdout_to(os.devnull):
            run_rounds(warm_up)
            gc.collect()
            traced_before, rss_before = tracemalloc.get_traced_memory()[0], rss_bytes()
            run_rounds(rounds - warm_up)
            gc.collect()
            traced_after, rss_after = tracemalloc.get_traced_memory()[0], rss_bytes()
    finally:
        tracemalloc.stop()
    assert fake_qarv.live == 0
    # 90,000 calls: a leaked Python object in one call out of a thousand would exceed the first
    # bound, and 16 bytes of native memory lost per call the second.
    assert traced_after - traced_before < 32_000, traced_after - traced_before
    assert rss_after - rss_before < 1_000_000, rss_after - rss_before


@pytest.mark.parametrize(
    "namespace, message",
    [
        ({"config": 5}, "TypeError: 'int' object is not callable"),
        ({"load_onnx": None}, "TypeError: 'NoneType' object is not callable"),
        ({"export_qarv": "export"}, "TypeError: 'str' object is not callable"),
        ({"build": property(lambda self: 1 / 0)}, "ZeroDivisionError: division by zero"),
        ({"accuracy_analysis": staticmethod(lambda: 0)},
         "TypeError: <lambda>() got an unexpected keyword argument 'inputs'"),
        ({"__getattribute__": lambda self, name: (_ for _ in ()).throw(AttributeError(name))},
         "AttributeError: config"),
    ],
    ids=["int", "none", "str", "raising-property", "wrong-signature", "no-attributes"],
)
def test_toolkit_with_unusable_methods(fake_qarv, write_config, namespace, message):
    base = fake_qarv.api.QARV
    fake_qarv.api.QARV = type("QARV", (base,), namespace)
    assert outcome_of(rust_convert, write_config(FULL)) == message


@pytest.mark.parametrize(
    "toolkit_class, message",
    [
        (5, "TypeError: 'int' object is not callable"),
        (lambda: None, "AttributeError: 'NoneType' object has no attribute 'config'"),
        (object, "AttributeError: 'object' object has no attribute 'config'"),
    ],
    ids=["not-callable", "returns-none", "bare-object"],
)
def test_unusable_toolkit_class(fake_qarv, write_config, toolkit_class, message):
    fake_qarv.api.QARV = toolkit_class
    assert outcome_of(rust_convert, write_config(FULL)) == message


def test_toolkit_calling_back_into_the_module(fake_qarv, write_config, tmp_path):
    """A step that itself converts and explains: the runs nest without sharing anything."""
    outer = write_config(FULL, name="outer.toml")
    inner = write_config("[export]\nexport_path = 'inner.qarv'", name="inner.toml")
    failing = write_config("[build]\nqarv_batch_size = 1", name="failing.toml")
    summaries = tmp_path / "summary.txt"

    def config_step():
        if len(fake_qarv.calls) > 1:  # only the outer run's config reaches back
            return 0
        assert outcome_of(rust_convert, inner) is None
        with stdout_to(str(summaries)):
            assert rust_explain(inner) is None
        fake_qarv.outcomes["build"] = lambda: 0 if fake_qarv.steps.count("build") == 1 else 9
        # The inner failure propagates out of the outer step and is flattened twice.
        rust_convert(failing)

    fake_qarv.outcomes["config"] = config_step
    message = outcome_of(rust_convert, outer)
    assert message == "RuntimeError: RuntimeError: qarv.build failed with code 9"
    assert [(name, args) for name, args, _ in fake_qarv.calls] == [
        ("config", ()),
        ("config", ()), ("load_onnx", ("model.onnx",)), ("build", ()), ("export_qarv", ("inner.qarv",)),
        ("config", ()), ("load_onnx", ("model.onnx",)), ("build", ()),
    ]
    assert summaries.read_text().startswith(SUMMARY_HEADING + "[config]\n")
    gc.collect()
    assert fake_qarv.live == 0


def test_unbounded_reentry_ends_in_recursion_error(fake_qarv, write_config):
    path = write_config("")
    fake_qarv.outcomes["config"] = lambda: rust_convert(path)
    message = outcome_of(rust_convert, path)
    wrappers, _, innermost = message.partition("RecursionError: maximum recursion depth exceeded")
    assert innermost == "" or innermost.startswith(" while")
    assert set(wrappers.split(": ")[:-1]) == {"RuntimeError"}
    gc.collect()
    assert fake_qarv.live == 0


class ThreadToolkit:
    """A `qarv.api` whose objects log each step, with the argument that tells the calling thread's
    file apart, into a list private to the calling thread."""

    def __init__(self):
        self.local = threading.local()
        self.instances = weakref.WeakSet()
        self.lock = threading.Lock()
        toolkit = self

        class QARV:
            def __init__(self):
                with toolkit.lock:
                    toolkit.instances.add(self)
                toolkit.local.runs.append([])

            def log(self, entry):
                toolkit.local.runs[-1].append(entry)
                time.sleep(0)  # lets another thread in while this run is half done
                return 0

            def config(self, **kwargs):
                return self.log(("config", kwargs["custom_string"]))

            def load_onnx(self, model, **kwargs):
                return self.log(("load_onnx", model))

            def build(self, **kwargs):
                self.log(("build", kwargs["qarv_batch_size"]))
                return kwargs["qarv_batch_size"] % 4

            def accuracy_analysis(self, **kwargs):
                return self.log(("accuracy_analysis", kwargs["inputs"][0]))

            def export_qarv(self, path):
                return self.log(("export_qarv", path))

        self.api = type(sys)("qarv.api")
        self.api.QARV = QARV
        self.package = type(sys)("qarv")
        self.package.api = self.api


def test_calls_from_many_threads(monkeypatch, write_config, tmp_path, capfd):
    toolkit = ThreadToolkit()
    monkeypatch.setitem(sys.modules, "qarv", toolkit.package)
    monkeypatch.setitem(sys.modules, "qarv.api", toolkit.api)
    threads, calls = 8, 200

    def config_text(index, batch):
        return f"""
            [config]
            custom_string = "thread-{index}"
            [load]
            model_type = "Onnx"
            model = "m{index}.onnx"
            [build]
            qarv_batch_size = {batch}
            [accuracy_analysis]
            inputs = ["i{index}.jpg"]
            [export]
            export_path = "o{index}.qarv"
        """

    files = [(write_config(config_text(i, 4 * i), name=f"ok{i}.toml"),
              write_config(config_text(i, 4 * i + 1 + i % 3), name=f"fail{i}.toml")) for i in range(threads)]
    capfd.readouterr()
    expected_summaries = []
    for good, _ in files:
        rust_explain(good)
        expected_summaries.append(capfd.readouterr().out)

    def expected_run(index, failing):
        run = [("config", f"thread-{index}"), ("load_onnx", f"m{index}.onnx")]
        if failing:
            return run + [("build", 4 * index + 1 + index % 3)]
        return run + [("build", 4 * index), ("accuracy_analysis", f"i{index}.jpg"), ("export_qarv", f"o{index}.qarv")]

    start = threading.Barrier(threads)
    problems = []

    def worker(index):
        toolkit.local.runs = []
        good, bad = files[index]
        missing = str(tmp_path / f"missing{index}.toml")
        expected_runs = []
        try:
            start.wait()
            for call in range(calls):
                kind = call % 4
                if kind == 0:
                    assert rust_explain(good) is None
                elif kind == 1:
                    assert rust_convert(good) is None
                    expected_runs.append(expected_run(index, False))
                elif kind == 2:
                    code = 1 + index % 3
                    assert outcome_of(rust_convert, bad) == f"RuntimeError: qarv.build failed with code {code}"
                    expected_runs.append(expected_run(index, True))
                else:
                    assert outcome_of(rust_convert, missing) == "No such file or directory (os error 2)"
            assert toolkit.local.runs == expected_runs
        except BaseException as error:  # reported from the main thread
            problems.append((index, error))

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
        for thread in workers:
            thread.start()
        for thread in workers:
            thread.join()
    finally:
        sys.setswitchinterval(switch_interval)
    assert problems == []

    printed = capfd.readouterr().out
    # Each summary is written whole while its thread holds the interpreter lock, so the output
    # is the expected summaries in some order, none interleaved with another.
    pieces = [SUMMARY_HEADING + piece for piece in printed.split(SUMMARY_HEADING)[1:]]
    assert printed.startswith(SUMMARY_HEADING)
    assert collections.Counter(pieces) == collections.Counter(
        {summary: calls // 4 for summary in expected_summaries})
    gc.collect()
    assert len(toolkit.instances) == 0
