"""The JSON Schema of configuration files, for editors and validators."""
from __future__ import annotations

import json
from typing import Any

from qarv_convert import _native


def configuration_schema() -> dict[str, Any]:
    """The JSON Schema (draft 2020-12) of a whole configuration file, made of the same section
    documents that the configuration summary reads its rows and descriptions from."""
    return json.loads(_native.configuration_schema())
