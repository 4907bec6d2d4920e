"""`qarv-convert batch --engine ray` on a local Ray instance of 2 CPUs: the same statuses as the local engine."""
import json
import os
import subprocess
import sys

import pytest

from batch_fixtures import BEHAVIOURS, EXPECTED, FLOOD, make_project, run_batch, survivors

pytest.importorskip("ray")

# Started by a driver of its own, which stops exactly the processes it started when it ends
# (`ray stop` would stop every Ray instance of the machine).
HEAD = """\
import sys, ray
ray.init("local", num_cpus=2, object_store_memory=100 * 2**20, include_dashboard=False, log_to_driver=False)
print(ray.get_runtime_context().gcs_address, flush=True)
sys.stdin.read()
ray.shutdown()
"""


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    root = tmp_path_factory.mktemp("ray-project")
    environment = make_project(root)
    # The instance listens on the loopback address only, and needs no token between its own processes.
    environment.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", RAY_AUTH_MODE="disabled")
    head = subprocess.Popen([sys.executable, "-c", HEAD], cwd=root, env=environment, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    try:
        address = head.stdout.readline().strip()
        assert address, "the Ray instance did not start"
        yield root, environment, address
    finally:
        head.stdin.close()
        try:
            head.wait(60)
        except subprocess.TimeoutExpired:
            head.kill()
            head.wait()


def test_a_sweep_on_ray_ends_as_on_the_local_engine(cluster):
    root, environment, address = cluster
    sweep = ["--vary", "build.qarv_batch_size=[1, 2, 3, 4, 5, 6]", "--vary", 'build.dataset=["a.txt", "b.txt"]']
    done = run_batch(root, environment, "--engine", "ray", "--address", address, "--timeout", "4",
                     "--memory-limit", "1G", "--out", "ray-runs", *sweep, "model.toml")
    assert done.returncode == 1, done.stderr
    with open(root / "ray-runs" / "results.json") as kept:
        results = json.load(kept)
    assert len(results) == 12
    for item in results:
        behaviour = BEHAVIOURS[int(item["varied"]["build.qarv_batch_size"])]
        assert item["status"] == EXPECTED[behaviour], item
        assert item["signal"] == ("SIGSEGV" if behaviour == "segfault" else None)
        # Record, log and export came back from the worker into the job folder, with its paths.
        with open(os.path.join(item["folder"], "record.json")) as kept:
            record = json.load(kept)
        assert record["status"] == item["status"]
        log = os.path.getsize(os.path.join(item["folder"], "output.log"))
        assert log >= (FLOOD if behaviour == "flood" else 1)
        if item["status"] == "succeeded":
            assert os.path.getsize(item["export"]) == item["export_bytes"]
            export = next(step for step in record["steps"] if step["method"] == "export_qarv")
            assert export["args"] == [item["export"]]
    assert survivors(root) == []

    again = run_batch(root, environment, "--engine", "ray", "--address", address, "--vary",
                      "build.qarv_batch_size=[1, 5]", "--out", "ray-runs", "model.toml")
    assert again.returncode == 0, again.stderr
