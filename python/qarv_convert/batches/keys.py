"""Resume keys: what a job's outcome depends on (its effective configuration, the files it reads, the versions) as one SHA-256."""
from __future__ import annotations

import hashlib
import json
import os
from typing import Any


class FileDigests:
    """The SHA-256 of each file a batch reads, each file read once however many jobs name it, in
    chunks (a model of many gigabytes never sits in memory)."""

    def __init__(self) -> None:
        self._known: dict[tuple[int, int, int, int], str] = {}
        self.reads = 0  #: files actually read, for the tests and the benchmark

    def digest(self, path: str) -> str:
        """The file's digest, or a word that says why there is none (which then is part of the key)."""
        from qarv_convert.regular_files import NotRegularFile, open_regular

        try:
            source = open_regular(path)
        except (NotRegularFile, IsADirectoryError):
            return "not a regular file"
        except OSError as error:
            return f"unreadable: {error.strerror or error}"
        with source:
            # Size and modification time too: a file rewritten in place between two batches is
            # read anew by the next batch, which has a cache of its own anyway.
            status = os.fstat(source.fileno())
            identity = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)
            known = self._known.get(identity)
            if known is None:
                try:
                    known = hashlib.file_digest(source, "sha256").hexdigest()
                except OSError as error:
                    return f"unreadable: {error.strerror or error}"
                self.reads += 1
                self._known[identity] = known
        return known


def inputs(values: dict[str, Any]) -> list[str]:
    """The files a conversion of the loaded `values` reads, in a fixed order: the model, the
    dataset list and every sample it lists, the initial-value file, the analysis inputs."""
    from qarv_convert.preflight.dataset import read_samples

    load, build = values["load"], values["build"]
    files = []
    if isinstance(load.get("model"), str):
        files.append(load["model"])
    dataset = build.get("dataset")
    if isinstance(dataset, str):
        files.append(dataset)
        if build.get("do_quantization") is not False and os.path.isfile(dataset):
            try:
                files += [path for sample in read_samples(dataset) for path in sample.paths]
            except OSError:
                pass  # its digest says it could not be read
    if isinstance(load.get("input_initial_val_file"), str):
        files.append(load["input_initial_val_file"])
    analysis = values.get("accuracy_analysis")
    if analysis is not None:
        files += [path for path in analysis.get("inputs") or () if isinstance(path, str)]
    return files


def job_key(values: dict[str, Any], digests: FileDigests, versions: dict[str, str | None]) -> str:
    """The key of a job whose loaded values (after every override) are `values`."""
    document = {
        "configuration": values,
        "files": [[path, digests.digest(path)] for path in inputs(values)],
        "versions": versions,
    }
    text = json.dumps(document, sort_keys=True, ensure_ascii=False, default=repr)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def toolkit_version(environment: dict[str, str] | None = None, timeout: float = 60.0) -> str | None:
    """The toolkit's `qarv.__version__` as a child interpreter finds it: importing a toolkit in the
    batch process itself would let its crashes and its memory into the process that must outlive them."""
    import subprocess
    import sys

    probe = ("import sys\ntry:\n import qarv\nexcept BaseException:\n sys.exit(0)\n"
             "v = getattr(qarv, '__version__', None)\nprint(v if isinstance(v, str) else '', end='')")
    try:
        done = subprocess.run([sys.executable, "-c", probe], capture_output=True, timeout=timeout, env=environment,
                              stdin=subprocess.DEVNULL, start_new_session=True)
    except (OSError, subprocess.TimeoutExpired):
        return None
    text = done.stdout.decode("utf-8", "replace")
    return text or None
