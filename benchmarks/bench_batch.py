"""A batch's overhead per job beside a shell loop of `qarv-convert convert` over the same jobs, and the time of a rerun where every job is up to date.

Run through `make bench`. The example resnet50 configuration, its model and its samples (made by
examples/make_model.py) are converted with the demo's stand-in toolkit JOBS times, once per
`build.qarv_batch_size`, each export into a folder of its own: by a bash loop of `qarv-convert
convert`, by `qarv-convert batch --jobs 1` (one job at a time, as the loop runs them), and by the
batch at the default width. The loop and the batch run in turn, ROUNDS times each; the table
shows the medians, the batch's cost per job over the loop's, and their ratio. The batch pre-flights
every job and hashes every file it reads, which the loop (with the pre-flight of each `convert`)
does not all do; the rerun shows what resuming costs when nothing is left to run."""
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
JOBS = int(os.environ.get("BATCH_JOBS", "8"))
ROUNDS = int(os.environ.get("BATCH_ROUNDS", "3"))


def timed(argv, cwd, environment):
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main():
    sys.path.insert(0, str(ROOT / "examples"))
    from make_model import make_materials

    work = pathlib.Path(tempfile.mkdtemp(prefix="bench-batch-"))
    try:
        make_materials(ROOT / "examples" / "resnet50.toml", work)
        shutil.copy(ROOT / "examples" / "resnet50.toml", work / "resnet50.toml")
        environment = dict(os.environ, PYTHONPATH=str(ROOT / "standin"), NO_COLOR="1")
        command = [str(pathlib.Path(sys.executable).with_name("qarv-convert"))]
        if not os.path.exists(command[0]):
            command = [sys.executable, "-m", "qarv_convert"]
        sizes = list(range(1, JOBS + 1))
        loop = " ; ".join(
            f"mkdir -p loop/{size} && {' '.join(command)} convert -q --set build.qarv_batch_size={size} "
            f"--set 'export.export_path=\"loop/{size}/resnet50.qarv\"' "
            f"--set 'accuracy_analysis.output_dir=\"loop/{size}/snapshots\"' resnet50.toml"
            for size in sizes)
        vary = ["--vary", f"build.qarv_batch_size=[{', '.join(map(str, sizes))}]"]
        batch_one = [*command, "batch", "-q", "--jobs", "1", "--force", "--out", "runs", *vary, "resnet50.toml"]
        batch_wide = [*command, "batch", "-q", "--force", "--out", "runs", *vary, "resnet50.toml"]
        rerun = [*command, "batch", "-q", "--out", "runs", *vary, "resnet50.toml"]
        samples = {"loop": [], "batch --jobs 1": [], f"batch --jobs {os.cpu_count()}": [], "rerun": []}
        timed(["bash", "-c", loop], work, environment)  # warm the caches
        for _ in range(ROUNDS):
            samples["loop"].append(timed(["bash", "-c", loop], work, environment))
            samples["batch --jobs 1"].append(timed(batch_one, work, environment))
            samples[f"batch --jobs {os.cpu_count()}"].append(timed(batch_wide, work, environment))
            samples["rerun"].append(timed(rerun, work, environment))
        base = statistics.median(samples["loop"])
        print(f"batch of {JOBS} conversions (stand-in toolkit), median of {ROUNDS} rounds")
        print(f"{'run':<24}{'s':>8}{'s per job':>11}{'over loop':>11}{'ratio':>8}")
        for name, times in samples.items():
            median = statistics.median(times)
            print(f"{name:<24}{median:>8.2f}{median / JOBS:>11.3f}{(median - base) / JOBS:>11.3f}"
                  f"{median / base:>8.2f}")
        print(f"(rerun: every job up to date; 'over loop' is the cost per job beyond the shell loop's)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
