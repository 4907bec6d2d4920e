"""Writes generated ONNX models into a directory, as seeds for the ONNX reader's fuzz target."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from onnx_fixtures import random_model  # noqa: E402


def main(directory):
    target = pathlib.Path(directory)
    target.mkdir(parents=True, exist_ok=True)
    for seed in range(60):
        (target / f"model-{seed:02}.onnx").write_bytes(random_model(seed).SerializeToString())


if __name__ == "__main__":
    main(sys.argv[1])
