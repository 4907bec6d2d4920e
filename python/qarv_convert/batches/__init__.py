"""Batches: many conversions, one child process each, resumable, on a local pool or a Ray cluster."""
from qarv_convert.batches.jobs import UsageError
from qarv_convert.batches.run import BatchError, Options, Outcome, run_batch

__all__ = ["BatchError", "Options", "Outcome", "UsageError", "run_batch"]
