"""A project for batch tests: a real model and samples, and a toolkit package on PYTHONPATH that misbehaves on purpose, chosen per job by `build.qarv_batch_size`."""
import os
import subprocess
import sys
import textwrap
import time

import numpy as np

from onnx_fixtures import classifier
from tool_environment import sanitizer_settings, without_sanitizers

#: What the fake toolkit does in `build`, by the batch size it is given.
BEHAVIOURS = {1: "succeed", 2: "segfault", 3: "sleep", 4: "allocate", 5: "flood", 6: "return-code"}
#: The status each behaviour ends a job with.
EXPECTED = {"succeed": "succeeded", "segfault": "crashed", "sleep": "timed-out", "allocate": "memory-limit",
            "flood": "succeeded", "return-code": "failed"}
#: Bytes the flooding toolkit writes.
FLOOD = 4 * 2**20

TOOLKIT = '''\
"""A toolkit for batch tests: `build` misbehaves as its batch size says."""
import ctypes, os, signal, subprocess, sys, time

def _note_pid(pid):
    folder = os.environ.get("FAKE_QARV_PIDS")
    if folder:
        with open(os.path.join(folder, f"{pid}"), "w"):
            pass

class QARV:
    def __init__(self):
        _note_pid(os.getpid())

    def config(self, **kwargs):
        return 0

    def load_onnx(self, model, **kwargs):
        return 0 if os.path.isfile(model) else -1

    def build(self, **kwargs):
        size = kwargs.get("qarv_batch_size")
        if size == 2:
            os.kill(os.getpid(), signal.SIGSEGV)
        if size == 3:
            helper = subprocess.Popen(["sleep", "60"])  # left behind unless the session is killed
            _note_pid(helper.pid)
            time.sleep(60)
        if size == 4:
            hoard = bytearray(2 * 2**30)
            return len(hoard) * 0
        if size == 5:
            block = ("x" * 1023 + "\\n") * 1024
            for _ in range(%(flood_mib)d):
                sys.stdout.write(block)
            sys.stdout.flush()
        if size == 6:
            return 3
        if size >= 7:
            time.sleep(float(os.environ.get("FAKE_QARV_SLEEP", "30")))
        return 0

    def accuracy_analysis(self, **kwargs):
        return 0

    def export_qarv(self, path):
        with open(path, "w") as out:
            out.write("exported\\n")
        return 0
''' % {"flood_mib": FLOOD >> 20}

CONFIG = """\
[load]
model_type = "Onnx"
model = "model.onnx"
inputs = ["input"]
input_size_list = [[1, 3, 8, 8]]
outputs = ["logits"]

[build]
do_quantization = true
dataset = "a.txt"
qarv_batch_size = 1

[export]
export_path = "out/model.qarv"
"""


def make_project(root):
    """A folder with the model, two datasets (`a.txt`, `b.txt`, sharing `common.npy`), the
    configuration `model.toml` and the toolkit under `toolkit/`; returns the environment to run
    the batch in."""
    root = str(root)
    classifier(os.path.join(root, "model.onnx"), shape=(1, 3, 8, 8))
    for name in ("a", "b", "common"):
        np.save(os.path.join(root, f"{name}.npy"), np.zeros((1, 3, 8, 8), np.float32))
    for dataset, own in (("a.txt", "a.npy"), ("b.txt", "b.npy")):
        with open(os.path.join(root, dataset), "w") as listed:
            listed.write(f"{own}\ncommon.npy\n")
    with open(os.path.join(root, "model.toml"), "w") as config:
        config.write(CONFIG)
    package = os.path.join(root, "toolkit", "qarv")
    os.makedirs(package)
    with open(os.path.join(package, "__init__.py"), "w") as init:
        init.write('__version__ = "9.9-test"\n')
    with open(os.path.join(package, "api.py"), "w") as api:
        api.write(TOOLKIT)
    pids = os.path.join(root, "pids")
    os.makedirs(pids)
    environment = without_sanitizers()
    environment.update(sanitizer_settings())
    environment.update(PYTHONPATH=os.path.join(root, "toolkit"), FAKE_QARV_PIDS=pids, NO_COLOR="1")
    return environment


def batch_command(*arguments):
    return [sys.executable, "-m", "qarv_convert", "batch", *arguments]


def run_batch(root, environment, *arguments, timeout=240):
    return subprocess.run(batch_command(*arguments), cwd=str(root), env=environment, capture_output=True,
                          text=True, timeout=timeout)


def alive(pid):
    """Whether `pid` is a process that has not ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def survivors(root, wait=5.0):
    """The toolkit processes (and what they started) still alive, given a moment to be reaped."""
    folder = os.path.join(str(root), "pids")
    deadline = time.monotonic() + wait
    while True:
        left = [int(name) for name in os.listdir(folder) if alive(int(name))]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.1)
