"""Type stubs of the private `qarv_convert._native` extension module."""

#: The toolkit steps in calling order, each as (table name, toolkit method name).
STEPS: tuple[tuple[str, str], ...]
#: {table: list key}: the step of each such table is skipped, without a word, while that key of
#: its table holds no entry ({"accuracy_analysis": "inputs"}); a table the file may leave out
#: (its "values" None in `load_details`) skips its step too.
RUNS_WITH: dict[str, str]
#: {expected type name of a report: the same in plain words}, for every value type a key can hold
#: that has plainer words ("u8": "an integer from 0 to 255", "a sequence": "a list, as in [1, 2]").
TYPE_WORDS: dict[str, str]
#: {"table.key": facts} for every key of every table: "expected" (the type name reports expect its
#: values by), "minimum", "maximum" (int or None) and "min_length" (of a string or list, int or
#: None): the limits `check` holds it to, the whole-file schema's; "choose" (str or None): what
#: `init` leaves the user to choose, marking the key CHOOSE, and "placeholder" the value it writes
#: to hold the place (None unless "choose" is set).
KEYS: dict[str, dict[str, object]]
#: How many characters of a name or value from a file a message quotes (a longer one is cut there
#: and its length said), and how many of a long line an excerpt shows.
QUOTED_CHARACTERS: int

class ConfigurationFault(RuntimeError):
    """A configuration that cannot be used, raised by every function here that loads one.

    `str(fault)` is `report`, the rendered report exactly as `qarv_convert_inner` words it."""

    report: str
    #: "read" (the file could not be read: missing, not UTF-8, too large...), "syntax" (not TOML),
    #: "type" (a value of the wrong type), "value" (an integer outside its type's range),
    #: "missing" (a required key left out), "variant" (a tag naming no variant there is),
    #: "unknown" (an override naming a table or key there is not), "override" (an override
    #: that does not set one key of one table), "summary" (the summary would pass its cap).
    kind: str
    #: The path the function was given; None for a fault in an override.
    file: str | None
    #: Where the report points, 1-based, as it counts (columns in characters); None without a
    #: position ("read", "summary").
    line: int | None
    column: int | None
    #: How many carets the report draws; 0 without a position.
    width: int
    #: The dotted key path at fault ("build.qarv_batch_size"; the table alone for a table's
    #: fault, "load.model_type" for the missing tag); None for syntax faults.
    key: str | None
    #: The SECTION.KEY=VALUE text of the override at fault; None for a fault in the file.
    override: str | None
    #: What the value should have been, as the report words it after "expected" ("u8",
    #: "a sequence", "struct BuildConfig", "variant identifier", "`Onnx`"); None when it says none.
    expected: str | None
    #: The message the report ends with, as it words it (for "read" and "summary", the report itself).
    message: str
    #: The line the report quotes, exactly as in the text (of the file, or of the override), line
    #: feed left out; None without a position.
    line_text: str | None
    #: When the report points at `[load]`'s header for a fault of one of its keys: the three
    #: excerpt lines (gutter, numbered line, carets; each ending in a line feed) that mark the
    #: key's value in the file, and that value's line and column. None otherwise.
    note: str | None
    note_line: int | None
    note_column: int | None

def configuration_schema() -> str: ...
def ignored_entries(path: str) -> list[str]: ...

# The ONNX graph reader: "inputs" and "outputs" hold dicts with "name", "type" (str or None),
# "elem_type" (int) and "shape" (None, or one int, str or None per dimension).
def read_onnx_graph(path: str) -> dict[str, object]: ...
def read_stream(descriptor: int, limit: int) -> bytes: ...

# The loaded configuration for the pre-flight checks: "text" (str), "values" (section -> key ->
# value, an absent optional section None, each key's arrays holding at most "cut_at" elements in
# all), "cut" (dotted key -> full count of elements, for each key cut short), "positions" and
# "tables" (dotted key -> (line, column, carets), 1-based, for the keys configuration fields read
# and the first elements of their values), "warnings" (dicts of "key", "position" (None for the
# count of the ignored keys past the first few) and "message").
def load_details(path: str, overrides: list[str] | tuple[str, ...] = ()) -> dict[str, object]: ...

class WriteError(OSError):
    """The summary could not be written to its descriptor."""

def explain_to(descriptor: int, path: str, overrides: list[str] | tuple[str, ...] = (), changed_only: bool = False) -> None: ...
def convert(path: str, overrides: list[str] | tuple[str, ...] = ()) -> None: ...
def summary_rows(path: str, overrides: list[str] | tuple[str, ...] = ()) -> list[tuple[str, list[tuple[str, str, str, bool, str]]]]: ...
def passthrough_start(terminal: int, descriptors: list[int]) -> bool: ...
def passthrough_show(text: str) -> None: ...
def passthrough_write(text: str) -> None: ...
def passthrough_stop() -> None: ...
