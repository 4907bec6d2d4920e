"""Type stubs of the private `qarv_convert._native` extension module."""

#: The toolkit steps in calling order, each as (table name, toolkit method name).
STEPS: tuple[tuple[str, str], ...]

def configuration_schema() -> str: ...
def ignored_entries(path: str) -> list[str]: ...
