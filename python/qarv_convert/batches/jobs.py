"""The jobs of a batch: configurations times the combinations of `--vary`, each with its name, folder and overrides."""
from __future__ import annotations

import dataclasses
import itertools
import math
import os
import re
import tomllib
from typing import Any, Sequence

#: Files the batch writes into every job folder.
RECORD, LOG = "record.json", "output.log"
#: The folder `[accuracy_analysis]` writes into when the configuration names none.
ANALYSIS_FOLDER = "accuracy_analysis"
#: The longest a job name gets before it is shortened with a digest of the rest.
NAME_LIMIT = 100


class UsageError(ValueError):
    """A batch that cannot start as asked; the text is the one line the command prints."""


class BatchError(RuntimeError):
    """A batch that cannot run at all (an engine that is not installed or not reachable, an OUT
    that cannot be made); no job has run."""


@dataclasses.dataclass(frozen=True)
class Vary:
    """One `--vary`: the key and its alternatives, each as the TOML text an override takes."""

    section: str
    key: str
    values: tuple[str, ...]
    #: Each value as a name shows it.
    labels: tuple[str, ...]

    @property
    def dotted(self) -> str:
        return f"{self.section}.{self.key}"


@dataclasses.dataclass
class Job:
    """One conversion of the batch."""

    config: str                     #: as the user named it
    name: str                       #: the folder's name under OUT, unique in the batch
    folder: str                     #: absolute
    overrides: list[str]            #: the `--set` and varied values, as SECTION.KEY=VALUE texts
    varied: dict[str, str]          #: dotted key -> its value as the job's name shows it
    #: `overrides` plus those that put the export and the analysis folder into the job folder.
    effective: list[str] = dataclasses.field(default_factory=list)
    export: str | None = None       #: absolute path of the exported file
    #: dotted key -> the name in the job folder it is pointed at.
    relocated: dict[str, str] = dataclasses.field(default_factory=dict)


def toml_value(value: Any) -> str:
    """`value` (as tomllib gives it) back as TOML text."""
    import datetime
    import json

    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, list):
        return "[" + ", ".join(toml_value(item) for item in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{json.dumps(str(k))} = {toml_value(v)}" for k, v in value.items()) + "}"
    raise TypeError(f"no TOML form for {type(value).__name__}")


def _label(value: Any) -> str:
    return value if isinstance(value, str) else toml_value(value)


def declared_keys() -> dict[str, set[str]]:
    """Every table a configuration may have, with its keys, as the module declares them."""
    import json

    from qarv_convert import _native

    schema = json.loads(_native.configuration_schema())
    tables: dict[str, set[str]] = {}
    for section, document in schema.get("properties", {}).items():
        if "$ref" in document:
            name = document["$ref"].rsplit("/", 1)[-1]
            document = schema.get("$defs", {}).get(name, document)
        tables[section] = set(document.get("properties", {}))
    return tables


def _dotted(text: str, option: str, declared: dict[str, set[str]]) -> tuple[str, str]:
    section, dot, key = text.strip().partition(".")
    if not dot or not section or not key:
        raise UsageError(f"{option} {text!r}: the key is not SECTION.KEY")
    if section not in declared:
        raise UsageError(f"{option} {text!r}: configurations have no table [{section}]; "
                         f"the tables are {', '.join(sorted(declared))}")
    if key not in declared[section]:
        raise UsageError(f"{option} {text!r}: table [{section}] has no key `{key}`")
    return section, key


def parse_set(text: str, declared: dict[str, set[str]]) -> str:
    """A `--set` checked for its form and its key; its value is left to the loading of each job."""
    if "\n" in text or "\r" in text:
        raise UsageError("--set: an override is one line: SECTION.KEY=VALUE")
    target, equals, value = text.partition("=")
    if not equals:
        raise UsageError(f"--set {text!r}: not SECTION.KEY=VALUE")
    _dotted(target, "--set", declared)
    if not value.strip():
        raise UsageError(f"--set {text!r}: no value after =")
    return text


def parse_vary(text: str, declared: dict[str, set[str]]) -> Vary:
    """`SECTION.KEY=VALUES`, VALUES a TOML array of the alternatives."""
    target, equals, values = text.partition("=")
    if not equals:
        raise UsageError(f"--vary {text!r}: not SECTION.KEY=VALUES with VALUES a TOML array such as [1, 8]")
    section, key = _dotted(target, "--vary", declared)
    try:
        parsed = tomllib.loads(f"v = {values}")["v"]
    except tomllib.TOMLDecodeError as error:
        raise UsageError(f"--vary {target.strip()}: the values are not a TOML array: {error}") from None
    if not isinstance(parsed, list):
        raise UsageError(f"--vary {target.strip()}: the values are not a TOML array such as [1, 8]")
    if not parsed:
        raise UsageError(f"--vary {target.strip()}: the list of alternatives is empty")
    texts = tuple(toml_value(value) for value in parsed)
    if len(set(texts)) != len(texts):
        raise UsageError(f"--vary {target.strip()}: an alternative is listed twice")
    return Vary(section, key, texts, tuple(_label(value) for value in parsed))


# --- names ----------------------------------------------------------------------------------

_UNSAFE = re.compile(r"[^A-Za-z0-9._+-]+")
#: Names Windows keeps for devices, whatever the extension.
_RESERVED = {"con", "prn", "aux", "nul", *(f"com{i}" for i in range(10)), *(f"lpt{i}" for i in range(10))}


def safe_part(text: str) -> str:
    """`text` with only letters, digits and `._+-`; no leading dot, no trailing dot or space."""
    part = _UNSAFE.sub("_", text).strip("_").lstrip(".").rstrip(". ")
    return part or "_"


def job_name(config: str, varied: Sequence[tuple[str, str]]) -> str:
    """The configuration's stem, then `_KEY-VALUE` for each varied key."""
    import hashlib

    stem = os.path.basename(config)
    stem = stem[:-5] if stem.lower().endswith(".toml") else stem
    name = safe_part("stdin" if config == "-" else stem)
    for key, value in varied:
        name += f"_{safe_part(key)}-{safe_part(value)}"
    if len(name) > NAME_LIMIT:
        digest = hashlib.sha256(name.encode("utf-8", "surrogateescape")).hexdigest()[:10]
        name = name[:NAME_LIMIT - 11].rstrip(". ") + "-" + digest
    if name.split(".", 1)[0].lower() in _RESERVED:
        name = "_" + name
    return name


def _unique(names: list[str]) -> list[str]:
    """`names` made distinct also where case does not count, by `-2`, `-3`... on the later ones."""
    seen: set[str] = set()
    unique = []
    for name in names:
        candidate, number = name, 1
        while candidate.lower() in seen:
            number += 1
            candidate = f"{name}-{number}"
        seen.add(candidate.lower())
        unique.append(candidate)
    return unique


def make_jobs(configs: Sequence[str], varies: Sequence[Vary], overrides: Sequence[str], out: str) -> list[Job]:
    """Each configuration once per combination of the varied values, the first `--vary` outermost."""
    if not configs:
        raise UsageError("no configuration given")
    if configs.count("-") > 0:
        raise UsageError("a batch reads its configurations from files, not from standard input")
    # Two varied keys of the same name in different tables keep their table in the job's name.
    short = [vary.key for vary in varies]
    labels = [vary.key if short.count(vary.key) == 1 else f"{vary.section}.{vary.key}" for vary in varies]
    if len({vary.dotted for vary in varies}) != len(varies):
        raise UsageError("--vary: a key is varied twice")
    combinations = list(itertools.product(*(range(len(vary.values)) for vary in varies)))
    out = os.path.abspath(out)
    jobs = []
    for config in configs:
        for combination in combinations:
            chosen = [(vary, index) for vary, index in zip(varies, combination)]
            job_overrides = list(overrides) + [f"{vary.dotted}={vary.values[index]}" for vary, index in chosen]
            varied = {vary.dotted: vary.labels[index] for vary, index in chosen}
            name = job_name(config, [(label, vary.labels[index]) for label, (vary, index) in zip(labels, chosen)])
            jobs.append(Job(config, name, "", job_overrides, varied))
    for job, name in zip(jobs, _unique([job.name for job in jobs])):
        job.name = name
        job.folder = os.path.join(out, name)
    return jobs


def relocate(job: Job, values: dict[str, Any]) -> None:
    """Points the job's export, and its analysis folder when that step runs, into its folder;
    `values` are the job's loaded values before that."""
    export = values["export"]["export_path"]
    if isinstance(export, str) and export:
        base = os.path.basename(export.rstrip("/" + os.sep)) or "model.qarv"
    else:
        model = values["load"].get("model") or "model"
        base = os.path.splitext(os.path.basename(str(model)))[0] + ".qarv"
    if base in (RECORD, LOG, ".", ".."):
        base = "model.qarv"
    job.relocated = {"export.export_path": base}
    analysis = values.get("accuracy_analysis")
    if analysis is not None:
        folder = analysis.get("output_dir")
        name = os.path.basename(str(folder).rstrip("/" + os.sep)) if folder else ANALYSIS_FOLDER
        if name in ("", ".", "..", RECORD, LOG, base):
            name = ANALYSIS_FOLDER
        job.relocated["accuracy_analysis.output_dir"] = name
    job.export = os.path.join(job.folder, base)
    job.effective = effective_overrides(job.overrides, job.folder, job.relocated)


def effective_overrides(overrides: Sequence[str], folder: str, relocated: dict[str, str]) -> list[str]:
    """The overrides a job runs with when its folder is `folder`: the Ray engine runs it in a
    folder of the worker's and moves the files afterwards."""
    return list(overrides) + [f"{key}={toml_value(os.path.join(folder, name))}" for key, name in relocated.items()]
