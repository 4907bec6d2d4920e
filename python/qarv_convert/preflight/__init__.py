"""Pre-flight checks: a configuration against its model, its data and its limits, before any step runs."""
from qarv_convert.preflight.checks import check_file
from qarv_convert.preflight.diagnostics import Diagnostic, Report, Severity

__all__ = ["check_file", "Diagnostic", "Report", "Severity"]
