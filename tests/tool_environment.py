"""Environments for the third-party programs the tests run, such as git, taplo and a notebook
kernel: the sanitized run's runtimes and leak checker are for the module, not for them."""
import os

#: What `tests/sanitize/run` sets for every process it starts.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def without_sanitizers(environment=None):
    """`environment` (os.environ by default) without the sanitizers' variables."""
    environment = os.environ if environment is None else environment
    return {name: value for name, value in environment.items() if name not in SANITIZER_VARIABLES}


def sanitizer_settings():
    """The sanitizers' variables of this run, to hand back to a process that loads the module
    (which the sanitized build cannot load without them); empty outside the sanitized run."""
    return {name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ}
