"""The module's edge under attack, each case in its own process since failing means a crash:
memory exhausted at every allocation, a toolkit panic that is a SystemExit, endless re-entry with
a raised recursion limit, small stacks, and an interpreter initialised twice in one process."""
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import qarv_convert_inner

try:
    import _testcapi
except ImportError:
    _testcapi = None

MODULE_DIRECTORY = os.path.dirname(qarv_convert_inner.__file__)

# A toolkit whose every step succeeds, installed before the module is used.
FAKE_TOOLKIT = """
import sys, types
class QARV:
    def config(self, **kw): return 0
    def load_onnx(self, model, **kw): return 0
    def build(self, **kw): return 0
    def accuracy_analysis(self, **kw): return 0
    def export_qarv(self, path): return 0
api = types.ModuleType("qarv.api"); api.QARV = QARV
package = types.ModuleType("qarv"); package.api = api
sys.modules["qarv"], sys.modules["qarv.api"] = package, api
"""

FULL = """
[config]
mean_values = [123.675, 116.28, 103.53]
target_platform = "tx9300"
[load]
model_type = "Onnx"
inputs = ["input"]
input_size_list = [[1, 3, 224, 224]]
[build]
dataset = "dataset.txt"
[accuracy_analysis]
inputs = ["cat.jpg"]
[export]
export_path = "net.qarv"
"""


def run_python(script, *args, stack_kib=None, timeout=120):
    """Runs `script` in a fresh interpreter; with `stack_kib`, under that stack limit."""
    preexec = None
    if stack_kib is not None:
        import resource

        def preexec():
            resource.setrlimit(resource.RLIMIT_STACK, (stack_kib * 1024, resource.RLIM_INFINITY))

    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          timeout=timeout, preexec_fn=preexec)


def assert_no_crash(result):
    assert result.returncode >= 0 and result.returncode != 134, (
        f"died by signal {-result.returncode}" if result.returncode < 0 else "aborted", result.stderr[-2000:])


# Fails every allocation from the k-th one of the call on. The hooks come off as soon as the call
# ends; until then not even an `except` clause could run, so the outcome is read from the exit: 0
# and "ok" for a call that succeeded, 1 with the exception's name for one that raised.
SWEEP = FAKE_TOOLKIT + """
import _testcapi, os
import qarv_convert_inner
function = getattr(qarv_convert_inner, sys.argv[1])
if sys.argv[4] == "closed":
    os.close(1)  # the summary's write fails: an internal failure, raised as PanicException
else:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
_testcapi.set_nomemory(int(sys.argv[3]), 0)
try:
    function(sys.argv[2])
finally:
    _testcapi.remove_mem_hooks()
sys.stderr.write("ok")
"""


@pytest.mark.skipif(_testcapi is None or not hasattr(_testcapi, "set_nomemory"),
                    reason="this interpreter has no _testcapi.set_nomemory fault injector")
@pytest.mark.parametrize("function, output", [("rust_convert", "null"), ("rust_explain", "closed")])
def test_exhausted_memory_at_every_allocation_never_aborts(function, output, tmp_path):
    # A summary is made in C++ alone; the interpreter allocates for it only once the write fails
    # and the failure is raised as PanicException, so its sweep runs with standard output closed.
    path = tmp_path / "full.toml"
    path.write_text(FULL)
    outcomes = {}
    for k in range(1, 5000):
        result = run_python(SWEEP, function, str(path), str(k), output, timeout=60)
        assert_no_crash(result)
        last = result.stderr.strip().splitlines()[-1]
        if result.returncode == 0 or "PanicException: failed printing to stdout" in last:
            assert result.stderr.endswith("ok") or output == "closed", result.stderr[-2000:]
            break
        outcomes[k] = last.split(":")[0].rsplit(".", 1)[-1]
    else:
        pytest.fail("the call never ran to its end")
    # The sweep met the allocations of a whole call: a conversion makes its toolkit, names and
    # keywords; a failed summary its exception.
    assert len(outcomes) >= (40 if function == "rust_convert" else 1), outcomes
    assert set(outcomes.values()) <= {"MemoryError", "PanicException", "RuntimeError"}, outcomes


PANIC_AS_SYSTEM_EXIT = FAKE_TOOLKIT + """
import qarv_convert_inner
class PanicException(SystemExit):
    pass
def config(self, **kw):
    raise PanicException("from the toolkit")
QARV.config = config
if sys.argv[1] == "hook":
    def hook(*args):
        raise SystemExit(7)
    sys.excepthook = hook
    QARV.config = lambda self, **kw: (_ for _ in ()).throw(type("PanicException", (BaseException,), {})("x"))
try:
    qarv_convert_inner.rust_convert(sys.argv[2])
except BaseException as error:
    print("raised", type(error).__name__, error.__module__ if hasattr(error, "__module__") else "", error)
print("still running")
"""


@pytest.mark.parametrize("variant", ["system-exit-class", "hook"])
def test_panic_banner_does_not_obey_system_exit(tmp_path, variant):
    path = tmp_path / "c.toml"
    path.write_text(FULL)
    result = run_python(PANIC_AS_SYSTEM_EXIT, variant, str(path))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == "still running"
    assert lines[0].startswith("raised PanicException")
    assert "Python stack trace below:" in result.stderr
    assert "Traceback" in result.stderr


REENTRY = FAKE_TOOLKIT + """
import sys, threading
import qarv_convert_inner
sys.setrecursionlimit(10_000)
path = sys.argv[1]
# Each level: the module's own call and its call into the toolkit.
QARV.config = lambda self, **kw: qarv_convert_inner.rust_convert(path)
def run():
    return qarv_convert_inner.rust_convert(path)
def report():
    try:
        run()
    except RecursionError as error:
        print("RecursionError")
    except RuntimeError as error:
        print("RuntimeError", str(error).rsplit(": ", 1)[0].rsplit(": ", 1)[-1])
if sys.argv[2] == "thread":
    threading.stack_size(int(sys.argv[3]) * 1024)
    worker = threading.Thread(target=report)
    worker.start()
    worker.join()
else:
    report()
"""


@pytest.mark.parametrize("stack", ["main", "ulimit-2048", "thread-1024", "thread-512"])
def test_endless_reentry_ends_in_recursion_error(tmp_path, stack):
    path = tmp_path / "empty.toml"
    path.write_text("")
    where, _, size = stack.partition("-")
    options = {"stack_kib": int(size)} if where == "ulimit" else {}
    arguments = [str(path), "thread" if where == "thread" else "main", size or "0"]
    # At this limit the interpreter alone overflows the smaller stacks (through `map`, say); the
    # module checks the room left itself, so it ends in RecursionError on every one of them.
    result = run_python(REENTRY, *arguments, **options)
    assert_no_crash(result)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() in (["RecursionError"], ["RuntimeError", "RecursionError"]), result.stdout


EMBEDDING = r"""
#include <Python.h>
#include <stdio.h>
int main(int argc, char** argv) {
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    puts("three rounds");
    return 0;
}
"""

EMBEDDED_SCRIPT = FAKE_TOOLKIT + f"""
sys.path.insert(0, {MODULE_DIRECTORY!r})
import qarv_convert_inner
assert callable(qarv_convert_inner.rust_convert), qarv_convert_inner.rust_convert
assert qarv_convert_inner.__all__ == ["rust_convert", "rust_explain"]
assert qarv_convert_inner.rust_convert(PATH) is None
try:
    qarv_convert_inner.rust_convert(PATH + ".missing")
except RuntimeError as error:
    assert str(error).endswith("(os error 2)"), error
Panic = type("PanicException", (BaseException,), {{}})
QARV.build = lambda self, **kw: (_ for _ in ()).throw(Panic("again"))
try:
    qarv_convert_inner.rust_convert(PATH)
except BaseException as error:
    assert type(error).__name__ == "PanicException" and type(error) is not Panic, error
print("round done", flush=True)
"""


def test_module_survives_reinitialising_the_interpreter(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    include = sysconfig.get_paths()["include"]
    library_directory = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    if not compiler or not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip("no C compiler or no Python headers to build the embedding program")
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("this interpreter has no shared library to embed")
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBEDDING)
    # The compiler runs without the sanitizer runtimes of a sanitized test run (it has leaks of its
    # own); the program keeps them, minus the leak check: the interpreter does not free all it
    # made when it is finalised and initialised again.
    plain = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run([compiler, str(source), "-o", str(program), f"-I{include}", f"-L{library_directory}",
                    f"-Wl,-rpath,{library_directory}", f"-lpython{version}"], check=True, env=plain)
    config = tmp_path / "full.toml"
    config.write_text(FULL)
    environment = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONNOUSERSITE="1")
    if "ASAN_OPTIONS" in environment:
        environment["ASAN_OPTIONS"] += ":detect_leaks=0"
    result = subprocess.run([str(program), f"PATH = {str(config)!r}\n" + EMBEDDED_SCRIPT], capture_output=True,
                            text=True, env=environment, timeout=60)
    assert_no_crash(result)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["round done"] * 3 + ["three rounds"]
