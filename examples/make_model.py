"""Writes the placeholder model and data files that the example configurations refer to."""
import argparse
import pathlib
import tomllib

EXAMPLES = pathlib.Path(__file__).resolve().parent

# The first bytes of an ONNX ModelProto (ir_version 7, a producer name): enough to look like a
# model to anything that only checks for the file, and honest about being nothing more.
PLACEHOLDER_MODEL = b"\x08\x07\x12\x15qarv-convert examples"
CALIBRATION_IMAGES = 4


def _placeholder_image(seed):
    # No image library is assumed, so these are not decodable pictures: only the toolkit stand-in
    # reads them, and it only needs them to exist.
    return bytes((seed * 37 + i) % 256 for i in range(256))


def _write(path, data, written):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    written.append(path)


def make_materials(config_path, directory):
    """Writes into `directory` every input file that the configuration at `config_path` names,
    resolved the way a conversion run resolves them: relative to the directory it runs in.
    Returns the paths written."""
    config = tomllib.loads(pathlib.Path(config_path).read_text(encoding="utf-8"))
    directory = pathlib.Path(directory)
    load = config.get("load", {})
    written = []

    _write(directory / load.get("model", "model.onnx"), PLACEHOLDER_MODEL, written)

    dataset = config.get("build", {}).get("dataset")
    if dataset:
        images = [f"images/calibration_{i}.jpg" for i in range(CALIBRATION_IMAGES)]
        for seed, image in enumerate(images):
            _write(directory / image, _placeholder_image(seed), written)
        _write(directory / dataset, "".join(f"{image}\n" for image in images).encode(), written)

    for seed, image in enumerate(config.get("accuracy_analysis", {}).get("inputs", []), start=100):
        _write(directory / image, _placeholder_image(seed), written)

    initial = load.get("input_initial_val_file")
    if initial:
        import numpy as np  # only this file type needs it

        shapes = load.get("input_size_list") or [[1]]
        arrays = [np.zeros(shape, dtype=np.float32) for shape in shapes]
        target = directory / initial
        target.parent.mkdir(parents=True, exist_ok=True)
        with open(target, "wb") as file:
            if target.suffix == ".npz":
                np.savez(file, *arrays)
            else:
                np.save(file, arrays[0])
        written.append(target)
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("configs", nargs="*", type=pathlib.Path,
                        help="configuration files (default: every example)")
    parser.add_argument("--into", type=pathlib.Path,
                        help="directory to write into (default: next to each configuration)")
    arguments = parser.parse_args()
    for config in arguments.configs or sorted(EXAMPLES.glob("*.toml")):
        for path in make_materials(config, arguments.into or config.parent):
            print(path)


if __name__ == "__main__":
    main()
