"""Type stubs of the `qarv_convert_inner` extension module."""

__all__ = ["rust_convert", "rust_explain"]

def rust_convert(path: str) -> None:
    """Runs the conversion that the TOML file at `path` describes on a new `qarv.api.QARV`.

    Raises `RuntimeError` for every failure of the run, `TypeError` for a bad argument.
    """

def rust_explain(path: str) -> None:
    """Prints the configuration summary of the TOML file at `path` to file descriptor 1.

    Raises `RuntimeError` when the file cannot be loaded, `TypeError` for a bad argument.
    """
