"""The headers of NumPy `.npy` files and `.npz` archives, read without importing NumPy."""
from __future__ import annotations

from typing import BinaryIO, NamedTuple

from qarv_convert.regular_files import open_regular

MAGIC = b"\x93NUMPY"
#: Headers of real files are a few hundred bytes; NumPy itself refuses larger ones by default.
MAX_HEADER = 10000


class NotNumpy(ValueError):
    """The file is not one that `numpy.load` reads without pickles; the text says why."""


class ArrayHeader(NamedTuple):
    name: str  #: the member's name in an archive, without `.npy`; empty for a `.npy` file
    dtype: str
    shape: tuple[int, ...]


def _header(stream: BinaryIO, name: str) -> ArrayHeader:
    import ast
    import struct

    start = stream.read(len(MAGIC) + 2)
    if start[:len(MAGIC)] != MAGIC or len(start) < len(MAGIC) + 2:
        raise NotNumpy("it does not start as a .npy file does")
    major = start[len(MAGIC)]
    if major not in (1, 2, 3):
        raise NotNumpy(f"its .npy format version {major} is not one NumPy reads")
    size_bytes = stream.read(2 if major == 1 else 4)
    if len(size_bytes) != (2 if major == 1 else 4):
        raise NotNumpy("its .npy header is cut off")
    size = struct.unpack("<H" if major == 1 else "<I", size_bytes)[0]
    if size > MAX_HEADER:
        raise NotNumpy(f"its .npy header claims {size} bytes, more than NumPy reads")
    raw = stream.read(size)
    if len(raw) != size:
        raise NotNumpy("its .npy header is cut off")
    try:
        header = ast.literal_eval(raw.decode("utf-8" if major == 3 else "latin-1"))
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        raise NotNumpy("its .npy header is not a dictionary NumPy can read") from None
    if not isinstance(header, dict) or set(header) != {"descr", "fortran_order", "shape"}:
        raise NotNumpy("its .npy header does not hold exactly `descr`, `fortran_order` and `shape`")
    shape, descr = header["shape"], header["descr"]
    if not isinstance(shape, tuple) or not all(isinstance(n, int) and not isinstance(n, bool) and n >= 0 for n in shape):
        raise NotNumpy("its .npy header has a shape that is not a tuple of sizes")
    if not isinstance(header["fortran_order"], bool):
        raise NotNumpy("its .npy header has a `fortran_order` that is not true or false")
    if not isinstance(descr, (str, list)):
        raise NotNumpy("its .npy header has a `descr` that is not a type")
    if isinstance(descr, str) and descr.lstrip("|<>=").startswith("O"):
        raise NotNumpy("it holds Python objects, which numpy.load reads only with allow_pickle")
    return ArrayHeader(name, descr if isinstance(descr, str) else "structured", shape)


def read_arrays(path: str) -> list[ArrayHeader]:
    """The arrays that `numpy.load(path)` gives: one for a `.npy` file, each member in archive
    order for a `.npz`. Raises `NotNumpy`, or `OSError` when the file cannot be read (a FIFO or a
    device is refused unread)."""
    with open_regular(path) as stream:
        start = stream.read(4)
        stream.seek(0)
        if start.startswith(b"PK"):
            import zipfile  # only archives need it, and it is slow to import

            try:
                archive = zipfile.ZipFile(stream)
            except zipfile.BadZipFile as error:
                raise NotNumpy(f"it is not a readable .npz archive ({error})") from None
            arrays = []
            with archive:
                for member in archive.namelist():
                    name = member[:-4] if member.endswith(".npy") else member
                    try:
                        with archive.open(member) as inner:
                            arrays.append(_header(inner, name))
                    except NotNumpy as error:
                        raise NotNumpy(f"its member `{member}`: {error}") from None
                    except (zipfile.BadZipFile, NotImplementedError, EOFError) as error:
                        raise NotNumpy(f"its member `{member}` cannot be read ({error})") from None
            if not arrays:
                raise NotNumpy("it is an .npz archive without any array")
            return arrays
        return [_header(stream, "")]
