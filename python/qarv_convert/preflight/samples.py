"""Calibration samples' contents: the spread selection, each file read as the run reads it, and what the values say."""
from __future__ import annotations

from qarv_convert.tuples import named_tuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Sequence

    import numpy as np

    from qarv_convert.preflight.dataset import Sample
    from qarv_convert.preflight.formats import InputNeed

    #: What the contents pass hands each line to, read and preprocessed: its line, one array per
    #: input in the configured size (None for an input whose sample does not fit it), and a
    #: digest of the line's stored values (equal for identical lines).
    Consumer = Callable[[int, "list[np.ndarray | None]", bytes], None]

#: A sample holding more values than this is not read: no input of a model converted for a
#: device is that large, and reading it would cost the memory the check is meant to spare.
MAX_VALUES = 1 << 26
#: Values normalized once lie within this bound; pixels, raw audio or counts do not.
NORMALIZED_BOUND = 5.0
#: How many values of each sample the histograms of the report keep.
KEPT_VALUES = 4096
#: How many image samples the report shows as thumbnails, and their longest side in pixels.
THUMBNAILS = 4
THUMBNAIL_SIDE = 96


def select(samples: Sequence[Sample], limit: int) -> list[Sample]:
    """At most `limit` of `samples`, spread evenly over the list (its first line included), so that
    a list sorted by class or by source is still seen across its length."""
    count = len(samples)
    if limit >= count:
        return list(samples)
    return [samples[index * count // limit] for index in range(limit)]


@named_tuple
class Layout:
    """How one input's samples are fed: the configured size and where its channels are."""

    name: str
    shape: tuple[int, ...] | None  #: the configured size, when every dimension of it is known
    axis: int | None               #: the channel axis of a four-dimensional input
    mean: tuple[float, ...] | None  #: the normalization the device applies, when it applies here
    std: tuple[float, ...] | None

    @property
    def channels(self) -> int | None:
        return self.shape[self.axis] if self.shape is not None and self.axis is not None else None


def layouts(needs: Sequence[InputNeed], mean: Sequence[float] | None, std: Sequence[float] | None) -> list[Layout]:
    """Each input's layout. The channel axis of a four-dimensional size is the input's own (as the
    model and the size tell it), else the one (1, else 3) that holds as many channels as
    `mean_values` has values, else 1; `mean_values`/`std_values` apply to the inputs whose channel
    count is their length."""
    from qarv_convert.preflight.formats import input_axis

    count = len(mean) if mean is not None else len(std) if std is not None else None
    result = []
    for need in needs:
        shape = need.shape
        fixed = tuple(shape) if shape is not None and all(isinstance(d, int) and d > 0 for d in shape) else None
        axis = None
        if fixed is not None and len(fixed) == 4:
            axis = input_axis(need) or next((a for a in (1, 3) if fixed[a] == count), 1)
        applies = axis is not None and count is not None and fixed is not None and fixed[axis] == count
        result.append(Layout(need.name, fixed, axis, tuple(mean) if applies and mean is not None else None,
                             tuple(std) if applies and std is not None else None))
    return result


@named_tuple
class Read:
    """A sample file's values as they are stored: an image as height × width × channels."""

    values: np.ndarray
    image: bool


def read_sample(path: str, layout: Layout) -> Read | None:
    """The values of the sample at `path` for the input of `layout`, as the run reads them: an image
    decoded by Pillow in the input's channel count and at its height and width, the array of a
    `.npy` file, the first array of a `.npz` archive. None for a file that cannot be read so (the
    format checks say why) or that holds more than `MAX_VALUES` values."""
    import numpy as np

    from qarv_convert.preflight.npy import read_arrays
    from qarv_convert.regular_files import open_regular

    try:
        from qarv_convert.preflight.formats import IMAGE_SUFFIXES

        if path.lower().endswith(IMAGE_SUFFIXES):
            return _read_image(path, layout)
        # The header first: an array too large to hold is passed over unread.
        headers = read_arrays(path)
        if not headers or _product(headers[0].shape) > MAX_VALUES:
            return None
        with open_regular(path) as stream:
            loaded = np.load(stream, allow_pickle=False)
            if isinstance(loaded, np.ndarray):
                values = loaded
            else:
                with loaded:
                    values = loaded[loaded.files[0]]
    except Exception:  # noqa: BLE001 - any file the format checks refuse lands here
        return None
    if values.dtype.kind not in "biuf" or values.size > MAX_VALUES:
        return None
    return Read(values, False)


def _product(shape: Sequence[int]) -> int:
    result = 1
    for size in shape:
        result *= size
    return result


def _read_image(path: str, layout: Layout) -> Read | None:
    import warnings

    import numpy as np
    from PIL import Image

    from qarv_convert.regular_files import open_regular

    with open_regular(path) as stream, warnings.catch_warnings():
        # Pillow warns of decompression bombs on stderr; an image that large is passed over below.
        warnings.simplefilter("ignore", Image.DecompressionBombWarning)
        image = Image.open(stream)
        if image.width * image.height > MAX_VALUES:
            return None
        channels = layout.channels
        mode = {1: "L", 3: "RGB", 4: "RGBA"}.get(channels or 3, "RGB")
        if image.mode != mode:
            image = image.convert(mode)
        if layout.shape is not None and layout.axis is not None:
            height, width = (layout.shape[2], layout.shape[3]) if layout.axis == 1 else (layout.shape[1], layout.shape[2])
            if (image.width, image.height) != (width, height):
                # The device is fed the configured size; the format checks warn about the mismatch.
                image = image.resize((width, height), Image.Resampling.BILINEAR)
        values = np.asarray(image)
    return Read(values if values.ndim == 3 else values[:, :, None], True)


def arranged(read: Read, layout: Layout) -> np.ndarray | None:
    """The sample in the configured size of its input (an image moved to the input's layout and
    given its batch dimension, an array without one given it), or None when it does not fit."""
    values = read.values
    if read.image and layout.axis is not None:
        values = (values.transpose(2, 0, 1) if layout.axis == 1 else values)[None]
    if layout.shape is None:
        return values
    if values.shape == layout.shape:
        return values
    if values.shape == layout.shape[1:] and layout.shape[0] == 1:
        return values[None]
    return None


def swapped(values: np.ndarray, read: Read, layout: Layout, swap: bool) -> np.ndarray:
    """An arranged sample in float32, the channels of an RGB image reversed when
    `quant_img_RGB2BGR` is set (the order `mean_values` then refers to)."""
    import numpy as np

    result = values.astype(np.float32)
    if swap and read.image and layout.axis is not None and values.shape[layout.axis] == 3:
        result = np.flip(result, axis=layout.axis)
    return result


def normalized(values: np.ndarray, layout: Layout) -> np.ndarray:
    """(x - mean) / std along the channel axis, as the device normalizes what it is fed."""
    import numpy as np

    if layout.axis is None or (layout.mean is None and layout.std is None):
        return np.ascontiguousarray(values)
    shape = [1] * values.ndim
    shape[layout.axis] = values.shape[layout.axis]
    if layout.mean is not None:
        values = values - np.asarray(layout.mean, dtype=np.float32).reshape(shape)
    if layout.std is not None:
        std = np.asarray(layout.std, dtype=np.float32)
        values = values / np.where(std == 0, np.float32(1), std).reshape(shape)
    return np.ascontiguousarray(values, dtype=np.float32)


def preprocessed(values: np.ndarray, read: Read, layout: Layout, swap: bool) -> np.ndarray:
    """What the device makes of an arranged sample: the channel swap, then the normalization."""
    return normalized(swapped(values, read, layout, swap), layout)


@named_tuple
class Place:
    """A sample file and its line in the dataset."""

    line: int
    path: str


class InputContents:
    """What the samples read for one input hold."""

    def __init__(self, layout: Layout) -> None:
        self.layout = layout
        self.read = 0
        self.low, self.high = float("inf"), float("-inf")
        self.integral = True  #: every value read is a whole number
        self.nonfinite: list[tuple[Place, int, int]] = []  #: (place, NaNs, infinities)
        self.constant: list[tuple[Place, float]] = []
        #: For the report: a few values of each sample, before and after the preprocessing.
        self.values: list[np.ndarray] = []
        self.normalized: list[np.ndarray] = []
        #: Per channel (of the arranged samples): count, sum and sum of squares, for means and deviations.
        self.channel_count = 0
        self.channel_sum: Any = None
        self.channel_squares: Any = None
        self.thumbnails: list[tuple[Place, np.ndarray]] = []

    def channel_means(self) -> list[float]:
        return [] if self.channel_sum is None else [float(v) for v in self.channel_sum / self.channel_count]

    def channel_deviations(self) -> list[float]:
        import numpy as np

        if self.channel_sum is None:
            return []
        mean = self.channel_sum / self.channel_count
        return [float(v) for v in np.sqrt(np.maximum(self.channel_squares / self.channel_count - mean * mean, 0))]


class Contents:
    """What the contents pass found over the selected lines of a dataset."""

    def __init__(self, total: int, selected: int, inputs: list[InputContents]) -> None:
        self.total = total        #: lines in the dataset
        self.selected = selected  #: lines the selection took
        self.inputs = inputs
        self.read = 0             #: lines whose every file was read
        #: Lines identical to an earlier line, with that line: (line, earlier line).
        self.repeats: list[tuple[int, int]] = []

    @property
    def distinct(self) -> int:
        return self.read - len(self.repeats)



def inspect(samples: Sequence[Sample], layouts_: Sequence[Layout], limit: int, swap: bool = False,
            consumer: Consumer | None = None, readable: Callable[[str], bool] | None = None) -> Contents:
    """Reads the files of up to `limit` spread lines of `samples`, each once: notes non-finite and
    constant samples, repeated lines, each input's range and, for the report, a few values and the
    per-channel statistics; hands each fully read line to `consumer`. Files that `readable` refuses,
    or that cannot be read, are passed over."""
    import hashlib

    import numpy as np

    chosen = select(samples, limit)
    contents = Contents(len(samples), len(chosen), [InputContents(layout) for layout in layouts_])
    seen: dict[bytes, int] = {}
    for sample in chosen:
        # Identity, not security: SHA-1 is the fastest of hashlib's digests on long buffers.
        digest = hashlib.sha1(usedforsecurity=False)
        fed: list[np.ndarray | None] = []
        complete = len(sample.paths) == len(layouts_)
        usable = True
        for path, state in zip(sample.paths, contents.inputs):
            read = read_sample(path, state.layout) if readable is None or readable(path) else None
            if read is None:
                complete = False
                fed.append(None)
                continue
            digest.update(f"{read.values.dtype.str}{read.values.shape}".encode())
            digest.update(np.ascontiguousarray(read.values).data)
            if not _note(state, Place(sample.line, path), read):
                # A sample with NaN in it is an error already: neither the model nor the statistics take it.
                usable = False
                fed.append(None)
                continue
            values = arranged(read, state.layout)
            if values is None:
                fed.append(None)
                continue
            if consumer is not None:
                fed.append(preprocessed(values, read, state.layout, swap))
            # The report's statistics need no more than a few thousand positions per channel.
            raw = swapped(_sparse(values, state.layout.axis), read, state.layout, swap)
            _note_channels(state, raw, normalized(raw, state.layout))
        if not complete:
            continue
        contents.read += 1
        key = digest.digest()
        if key in seen:
            contents.repeats.append((sample.line, seen[key]))
        else:
            seen[key] = sample.line
        if consumer is not None and usable:
            consumer(sample.line, fed, key)
    return contents


def _note(state: InputContents, place: Place, read: Read) -> bool:
    import numpy as np

    values = read.values
    state.read += 1
    finite = True
    if values.size == 0:
        return finite
    if values.dtype.kind == "f":
        mask = np.isfinite(values)
        finite = bool(mask.all())
        if not finite:
            nans = int(np.isnan(values).sum())
            state.nonfinite.append((place, nans, int(values.size - mask.sum()) - nans))
            values = values[mask]
            if values.size == 0:
                return False
    low, high = values.min(), values.max()
    if low == high and values.size > 1:
        state.constant.append((place, float(low)))
    state.low = min(state.low, float(low))
    state.high = max(state.high, float(high))
    if state.integral and values.dtype.kind == "f":
        state.integral = bool(np.array_equal(values, np.floor(values)))
    flat = values.reshape(-1)
    state.values.append(flat[:: max(1, flat.size // KEPT_VALUES)][:KEPT_VALUES].astype(np.float32))
    if read.image and len(state.thumbnails) < THUMBNAILS:
        state.thumbnails.append((place, _thumbnail(read.values)))
    return finite


def _note_channels(state: InputContents, raw: np.ndarray, ready: np.ndarray) -> None:
    import numpy as np

    flat = ready.reshape(-1)
    state.normalized.append(flat[:: max(1, flat.size // KEPT_VALUES)][:KEPT_VALUES])
    axis = state.layout.axis
    if axis is None:
        return
    others = tuple(a for a in range(raw.ndim) if a != axis)
    total = raw.astype(np.float64)
    sums, squares = total.sum(axis=others), np.square(total).sum(axis=others)
    if state.channel_sum is None or state.channel_sum.shape != sums.shape:
        state.channel_count, state.channel_sum, state.channel_squares = 0, np.zeros_like(sums), np.zeros_like(squares)
    state.channel_count += raw.size // raw.shape[axis]
    state.channel_sum += sums
    state.channel_squares += squares


def _sparse(values: np.ndarray, axis: int | None) -> np.ndarray:
    """Every few positions of an image-like sample along its height and width, all its channels kept."""
    if values.ndim != 4 or axis is None:
        return values
    height, width = (values.shape[2], values.shape[3]) if axis == 1 else (values.shape[1], values.shape[2])
    step = max(1, int((height * width / KEPT_VALUES) ** 0.5))
    return values[:, :, ::step, ::step] if axis == 1 else values[:, ::step, ::step, :]


def _thumbnail(values: np.ndarray) -> np.ndarray:
    step = max(1, max(values.shape[0], values.shape[1]) // THUMBNAIL_SIDE)
    return values[::step, ::step]


def looks_normalized(state: InputContents) -> bool:
    """Whether every value read already lies in a normalized range: within ±`NORMALIZED_BOUND`
    and not all whole numbers (pixels stored as floats are whole)."""
    return state.read > 0 and not state.integral and state.low >= -NORMALIZED_BOUND and state.high <= NORMALIZED_BOUND
