"""The headers of NumPy `.npy` files and `.npz` archives, read without importing NumPy."""
from __future__ import annotations

from qarv_convert.regular_files import open_regular
from qarv_convert.text import quoted
from qarv_convert.tuples import named_tuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO

MAGIC = b"\x93NUMPY"
#: Headers of real files are a few hundred bytes; NumPy itself refuses larger ones by default.
MAX_HEADER = 10000


class NotNumpy(ValueError):
    """The file is not one that `numpy.load` reads without pickles; the text says why."""


@named_tuple
class ArrayHeader:
    name: str  #: the member's name in an archive, without `.npy`; empty for a `.npy` file
    dtype: str
    shape: tuple[int, ...]


def _itemsize(descr: str) -> int | None:
    """Bytes per element of a simple dtype ("<f4" 4, "<U3" 12), None when the text does not say."""
    kind = descr.lstrip("<>|=")
    digits = ""
    for character in kind[1:]:
        if not character.isdigit():
            break
        digits += character
    if not kind or not digits:
        return None
    return int(digits) * (4 if kind[0] == "U" else 1)


def _header(stream: BinaryIO, name: str, total: int | None = None) -> ArrayHeader:
    """The header at the stream's start; with the stream's `total` size, also whether the data
    after the header is as long as the shape and dtype need, as numpy.load requires."""
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
    itemsize = _itemsize(descr) if isinstance(descr, str) else None
    if total is not None and itemsize is not None:
        needed = itemsize
        for n in shape:
            needed *= n
        held = total - (len(MAGIC) + 2 + len(size_bytes) + size)
        if held < needed:
            raise NotNumpy(f"its data is cut off: {held} bytes where its shape and dtype need {needed}")
    return ArrayHeader(name, descr if isinstance(descr, str) else "structured", shape)


def _archive_faults() -> tuple[type[BaseException], ...]:
    """What reading a damaged or unusual archive raises: zipfile's own errors, the decompressors'
    (zlib, bz2's OSError, lzma), RuntimeError for encryption, NotImplementedError for a method it
    lacks, ValueError (UnicodeDecodeError among them) for names and sizes it refuses."""
    import zipfile
    import zlib

    faults: tuple[type[BaseException], ...] = (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError,
                                               EOFError, RuntimeError, ValueError, OSError, zlib.error)
    try:
        import lzma
    except ImportError:
        return faults
    return faults + (lzma.LZMAError,)


def read_arrays(path: str) -> list[ArrayHeader]:
    """The arrays that `numpy.load(path)` gives: one for a `.npy` file, each member in archive
    order for a `.npz`. Raises `NotNumpy` for anything numpy.load would fail on, `OSError` when the
    file cannot be opened or read (a FIFO or a device is refused unread)."""
    with open_regular(path) as stream:
        start = stream.read(4)
        stream.seek(0)
        if start.startswith(b"PK"):
            return _archive(stream)
        import os

        return [_header(stream, "", os.fstat(stream.fileno()).st_size)]


def _archive(stream: BinaryIO) -> list[ArrayHeader]:
    import zipfile  # only archives need it, and it is slow to import

    faults = _archive_faults()
    try:
        archive = zipfile.ZipFile(stream)
    except faults as error:
        raise NotNumpy(f"it is not a readable .npz archive ({error})") from None
    arrays = []
    with archive:
        for info in archive.infolist():
            member = info.filename
            name = member[:-4] if member.endswith(".npy") else member
            if info.flag_bits & 0x1:
                raise NotNumpy(f"its member {quoted(member)} is encrypted, which numpy.load cannot read")
            if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA):
                raise NotNumpy(f"its member {quoted(member)} is compressed with method {info.compress_type}, which "
                               f"numpy.load cannot read")
            try:
                with archive.open(info) as inner:
                    arrays.append(_header(inner, name, info.file_size))
                    # Read to the end, where the member's checksum is compared, as numpy.load does.
                    while inner.read(1 << 20):
                        pass
            except NotNumpy as error:
                raise NotNumpy(f"its member {quoted(member)}: {error}") from None
            except faults as error:
                raise NotNumpy(f"its member {quoted(member)} cannot be read ({error or type(error).__name__})") from None
    if not arrays:
        raise NotNumpy("it is an .npz archive without any array")
    return arrays
