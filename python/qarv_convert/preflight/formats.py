"""Calibration samples and initial values as the conversion reads them: which files a dataset may
list, whether each one reads, and whether what it holds suits the model input it feeds."""
from __future__ import annotations

import os

from qarv_convert.preflight.npy import ArrayHeader, NotNumpy, read_arrays
from qarv_convert.regular_files import open_regular
from qarv_convert.text import cut, quoted
from qarv_convert.tuples import named_tuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Sequence

ARRAY_SUFFIXES = (".npy", ".npz")
IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".bmp")

#: `TensorProto.DataType` of the inputs that take whole numbers, by their ONNX names.
INTEGER_TYPES = {2: "uint8", 3: "int8", 4: "uint16", 5: "int16", 6: "int32", 7: "int64", 9: "bool",
                 12: "uint32", 13: "uint64", 21: "uint4", 22: "int4"}
#: NumPy's kinds of dtype that hold no numbers a model input takes, as a message words them.
NON_NUMERIC_KINDS = {"O": "Python objects", "S": "byte strings", "a": "byte strings", "U": "text",
                     "V": "raw bytes (a void dtype)", "M": "dates", "m": "time spans", "c": "complex numbers"}
_NUMERIC_NAMES = {"b": "bool", "i": "int", "u": "uint", "f": "float"}


class BadSample(ValueError):
    """A file the conversion cannot read as a sample; the text says why, without the file's name."""


@named_tuple
class ImageInfo:
    width: int
    height: int
    channels: int
    mode: str  #: Pillow's mode, as "RGB" or "L"


@named_tuple
class SampleFile:
    """What a sample or initial-value file holds: its arrays' headers, or the decoded image's size."""
    path: str
    arrays: tuple[ArrayHeader, ...] = ()
    image: ImageInfo | None = None


@named_tuple
class InputNeed:
    """A model input as a sample has to suit it."""
    name: str
    shape: Sequence[Any] | None  #: the size the conversion gives it; None or str entries for dynamic ones
    model_dims: Sequence[Any] | None  #: the model's own shape of it, when the model was read
    elem_type: int = 0  #: `TensorProto.DataType`; 0 when unknown


def allowed_files() -> str:
    """What a dataset line may hold, in words."""
    return (f"{' and '.join(ARRAY_SUFFIXES)} arrays and {', '.join(IMAGE_SUFFIXES[:-1])} and "
            f"{IMAGE_SUFFIXES[-1]} images")


def _channels(image: Any) -> int:
    # A palette image decodes to its colours (three, with a fourth for transparency).
    if image.mode == "P":
        return 4 if "transparency" in image.info else 3
    return len(image.getbands())


def read_image(path: str) -> ImageInfo:
    """The image at `path`, decoded whole with Pillow as the conversion decodes it. Raises
    `BadSample` when it does not decode, `OSError` when it cannot be opened (a file that is not
    regular among them), `ImportError` without Pillow."""
    import warnings

    from PIL import Image

    with open_regular(path) as stream:
        try:
            with warnings.catch_warnings():
                # An image past Pillow's bound is refused rather than decoded into gigabytes.
                warnings.simplefilter("error", Image.DecompressionBombWarning)
                with Image.open(stream) as image:
                    image.load()
                    return ImageInfo(image.width, image.height, _channels(image), image.mode)
        except (Image.DecompressionBombError, Image.DecompressionBombWarning):
            raise BadSample("it is larger than Pillow decodes safely") from None
        except MemoryError:
            raise BadSample("decoding it runs out of memory") from None
        except Exception as error:
            # Decoders of damaged files raise whatever their format's code meets (OSError,
            # SyntaxError, struct.error, ValueError, ...): every one means the same to the run.
            raise BadSample(f"Pillow cannot decode it as an image ({error or type(error).__name__})") from None


def read_sample(path: str) -> SampleFile:
    """The file at `path` as the conversion reads a sample: an array file's headers (without NumPy)
    or a decoded image. Raises `BadSample` for a file of another kind or one that does not read,
    `OSError` when it cannot be opened (`NotRegularFile` for a FIFO, a device or a socket),
    `ImportError` for an image without Pillow."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix in ARRAY_SUFFIXES:
        try:
            return SampleFile(path, arrays=tuple(read_arrays(path)))
        except NotNumpy as error:
            raise BadSample(f"it is not a {suffix} file that numpy.load reads: {error}") from None
    if suffix in IMAGE_SUFFIXES:
        return SampleFile(path, image=read_image(path))
    raise BadSample(f"it is neither an array nor an image; a dataset lists {allowed_files()}")


def dtype_name(descr: str) -> str:
    """NumPy's name of an array header's dtype: "float32", "<U5" for a kind without numbers."""
    kind, size = descr.lstrip("<>|="), ""
    letter, digits = kind[:1], kind[1:]
    if letter in _NUMERIC_NAMES and digits.isdigit():
        size = "" if letter == "b" else str(8 * int(digits))
        return _NUMERIC_NAMES[letter] + size
    return descr


def dtype_fault(array: ArrayHeader, need: InputNeed | None) -> str | None:
    """Why an array's values cannot feed the input, as "holds text (dtype <U5), not numbers", or
    None: values that are not numbers, or fractions for an input of whole numbers."""
    if array.dtype == "structured":
        return "holds records (a structured dtype), not numbers"
    letter = array.dtype.lstrip("<>|=")[:1]
    if letter in NON_NUMERIC_KINDS:
        return f"holds {NON_NUMERIC_KINDS[letter]} (dtype {array.dtype}), not numbers"
    if letter not in _NUMERIC_NAMES:
        return f"has dtype {array.dtype}, which holds no numbers"
    if letter == "f" and need is not None and need.elem_type in INTEGER_TYPES:
        return (f"holds floating values ({dtype_name(array.dtype)}) but input {quoted(need.name)} takes "
                f"{INTEGER_TYPES[need.elem_type]}")
    return None


# --- shapes and layouts ---------------------------------------------------------------------------

def shape_text(shape: Sequence[Any] | None) -> str:
    if shape is None:
        return "unknown rank"
    # A named size is the model's text: cut as every name from a file is.
    return "[" + ", ".join("?" if d is None else "".join(cut(d)) if isinstance(d, str) else str(d) for d in shape) + "]"


def fits(shape: Sequence[int], wanted: Sequence[Any]) -> bool:
    """Whether an array of `shape` fits an input of `wanted` (named or unknown sizes match any),
    with or without the batch dimension of size 1."""
    def same(a: Sequence[int], b: Sequence[Any]) -> bool:
        return len(a) == len(b) and all(not isinstance(w, int) or w == s for s, w in zip(a, b))
    if same(shape, wanted):
        return True
    batch = wanted[0] if wanted else 0
    return (batch == 1 or not isinstance(batch, int)) and same(shape, wanted[1:])


#: Channel counts of images and feature maps fed as they are; a larger size on the channel axis
#: is a height or a width.
_FEW_CHANNELS = 4


def channel_axis(shape: Sequence[Any] | None) -> int | None:
    """1 for a 4-dimensional shape whose channels come first (NCHW), 3 for last (NHWC); None when
    the shape does not tell (another rank, or no telling size on either axis)."""
    if shape is None or len(shape) != 4:
        return None
    def few(d: Any) -> bool:
        return isinstance(d, int) and d <= _FEW_CHANNELS
    def many(d: Any) -> bool:
        return isinstance(d, int) and d > _FEW_CHANNELS
    first, last = shape[1], shape[3]
    if few(first) and (many(last) or (not isinstance(last, int) and not isinstance(shape[2], int))):
        return 1
    if few(last) and (many(first) or (not isinstance(first, int) and not isinstance(shape[2], int))):
        return 3
    return None


def input_axis(need: InputNeed) -> int | None:
    """The channel axis of an input: as its model says it, else as its given size does."""
    return channel_axis(need.model_dims) or channel_axis(need.shape)


def channel_count(need: InputNeed) -> int | None:
    """The input's channel count: the model's own where it fixes one, whatever the layout of the
    size given, else the given size's."""
    axis = channel_axis(need.model_dims)
    if axis is not None and need.model_dims is not None and isinstance(need.model_dims[axis], int):
        return need.model_dims[axis]
    axis = channel_axis(need.shape) or axis
    if axis is None or need.shape is None or not isinstance(need.shape[axis], int):
        return None
    return need.shape[axis]


def _to_first(shape: Sequence[Any]) -> list[Any]:
    return [*shape[:-3], shape[-1], *shape[-3:-1]]


def _to_last(shape: Sequence[Any]) -> list[Any]:
    return [*shape[:-3], *shape[-2:], shape[-3]]


def moved_layout(shape: Sequence[Any], wanted: Sequence[Any]) -> str | None:
    """"channels-last" when `shape` fits `wanted` only once its last axis moves before its height
    and width, "channels-first" for the reverse, else None."""
    # Only images have a channel axis to move: four dimensions, or three for a sample without its batch.
    if len(wanted) != 4 or len(shape) not in (3, 4) or fits(shape, wanted):
        return None
    if fits(_to_first(shape), wanted):
        return "channels-last"
    if fits(_to_last(shape), wanted):
        return "channels-first"
    return None


def layout_hint(shape: Sequence[Any], wanted: Sequence[Any]) -> str:
    """" (looks channels-last: NHWC for an NCHW input)" or nothing."""
    moved = moved_layout(shape, wanted)
    if moved == "channels-last":
        return " (looks channels-last: NHWC for an NCHW input)"
    if moved == "channels-first":
        return " (looks channels-first: NCHW for an NHWC input)"
    return ""


def image_misfits(image: ImageInfo, need: InputNeed) -> list[str]:
    """How an image's size and channels differ from what the input takes; empty when they match
    or the input's layout does not show them."""
    # The height and width are read from the size given, in its own layout where it shows one.
    axis = channel_axis(need.shape) or input_axis(need)
    if axis is None or need.shape is None or len(need.shape) != 4:
        return []
    height, width = (need.shape[2], need.shape[3]) if axis == 1 else (need.shape[1], need.shape[2])
    channels = channel_count(need)
    found = []
    if (isinstance(height, int) and height != image.height) or (isinstance(width, int) and width != image.width):
        wanted = f"{'?' if not isinstance(width, int) else width}×{'?' if not isinstance(height, int) else height}"
        found.append(f"is {image.width}×{image.height} (width × height) where input {quoted(need.name)} takes {wanted}")
    if channels is not None and channels != image.channels:
        grey = " (grayscale)" if image.channels == 1 else ""
        found.append(f"has {image.channels} channel{'s' * (image.channels != 1)}{grey} where input {quoted(need.name)} "
                     f"has {channels}")
    return found


def suits(sample: SampleFile, need: InputNeed) -> bool:
    """Whether a file that reads feeds the input as it is: numbers of the input's kind and, as far
    as the input's size shows, its shape."""
    if sample.image is not None:
        return not image_misfits(sample.image, need)
    if any(dtype_fault(array, need) for array in sample.arrays):
        return False
    if need.shape is None or len(sample.arrays) != 1:
        return True
    return fits(sample.arrays[0].shape, need.shape)
