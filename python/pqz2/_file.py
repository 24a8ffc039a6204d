"""Files, their blocks and images: the Python face of the pqz2 library."""

from __future__ import annotations

import ctypes
import io
import os
import threading
import warnings
from typing import (
    Any,
    BinaryIO,
    Callable,
    Dict,
    Iterator,
    List,
    Optional,
    Tuple,
    Union,
)

import numpy as np

from ._lib import (
    BLOCK_IMAGE,
    IO_READ_FN,
    IO_SEEK_FN,
    IO_SIZE_FN,
    PROGRESS_FN,
    Block,
    Coding,
    Colour,
    DecodeResult,
    Format,
    ImageInfo,
    Io,
    Options,
    Status,
    lib,
)

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]
Progress = Callable[[int, int], Any]


class Error(Exception):
    """A call of the library failed. `status` is the library's status (a `Status`), `message`
    its message saying what and where (block, byte offset, limit)."""

    #: for damage found while walking the blocks: the block's number, the image's number (None
    #: for other blocks) and where it breaks off (the library's damage code)
    block_index: Optional[int] = None
    image_index: Optional[int] = None
    damage: Optional[int] = None

    def __init__(self, status: int, message: str = "") -> None:
        try:
            self.status: Union[Status, int] = Status(status)
        except ValueError:
            self.status = status
        text = lib.pqz2_status_text(int(status)).decode("utf-8", "replace")
        self.message = message or text
        super().__init__(self.message if message else text)

    def __str__(self) -> str:
        name = self.status.name if isinstance(self.status, Status) else str(self.status)
        return f"{self.message} [{name}]"


class PartialImageWarning(UserWarning):
    """With salvage, an image was decoded in part; `Image.good_rows` says how far it is exact."""


# Pixel layouts of Image.to_numpy by name.
_FORMATS: Dict[str, Format] = {
    "native": Format.NATIVE,
    "value": Format.VALUE,
    "grey": Format.GREY8,
    "gray": Format.GREY8,
    "rgb": Format.RGB8,
    "rgba": Format.RGBA8,
    "index": Format.INDEX8,
    "palette": Format.INDEX8,
}


def _layout(info: ImageInfo, mode: str) -> Tuple[Format, Any, Tuple[int, ...]]:
    """The library format, numpy dtype and array shape of an image decoded in mode."""
    w, h, n = info.width, info.height, info.bits_per_pixel
    if mode == "lossless":
        if n > 16:
            return Format.NATIVE, np.uint8, (h, w, info.bytes_per_pixel)
        mode = "value"
    try:
        fmt = _FORMATS[mode]
    except KeyError:
        raise ValueError(
            f"unknown mode {mode!r}; one of 'lossless', " + ", ".join(map(repr, _FORMATS))
        ) from None
    if fmt == Format.NATIVE:
        return fmt, np.uint8, (h, info.native_row_bytes)
    if fmt == Format.VALUE:
        return fmt, np.uint8 if n <= 8 else np.uint16 if n <= 16 else np.uint32, (h, w)
    if fmt == Format.RGB8:
        return fmt, np.uint8, (h, w, 3)
    if fmt == Format.RGBA8:
        return fmt, np.uint8, (h, w, 4)
    return fmt, np.uint8, (h, w)


class BaseBlock:
    """Common part of the blocks of a file: position and size."""

    def __init__(self, owner: "File", block: Block) -> None:
        self._file = owner
        self.index: int = block.index  #: block number in the file, from 0
        self.offset: int = block.offset  #: byte offset of the block
        self.size: int = block.size  #: bytes of the whole block
        #: salvage: bytes passed over in front of this block (offset, size); (0, 0) when none
        self.skipped: Tuple[int, int] = (block.skipped_offset, block.skipped_size)


class ExtraBlock(BaseBlock):
    """An extra block: application data stored between images, with a type number."""

    def __init__(self, owner: "File", block: Block) -> None:
        super().__init__(owner, block)
        self.type: int = block.extra_type  #: the type stored by the writer
        self.data_size: int = block.extra_size  #: bytes of data

    @property
    def data(self) -> bytes:
        """The block's data (read from the file on each access)."""
        return self._file._read_data(self.index, lib.pqz2_extra_data, self.data_size)

    def __repr__(self) -> str:
        return f"<pqz2.ExtraBlock #{self.index} type={self.type} size={self.data_size}>"


class Image(BaseBlock):
    """An image block. Its details come from the block's header without decoding; the pixels
    are decoded by `to_numpy`."""

    def __init__(self, owner: "File", block: Block, info: ImageInfo) -> None:
        super().__init__(owner, block)
        self._info = info
        self.image_index: int = block.image_index  #: images numbered 0, 1, ... in file order
        #: after a decode with salvage: whether the image was damaged, and the exact top rows
        self.damaged: bool = False
        self.good_rows: int = info.height

    # Details ----------------------------------------------------------------------------
    @property
    def width(self) -> int:
        return self._info.width

    @property
    def height(self) -> int:
        return self._info.height

    @property
    def bits_per_pixel(self) -> int:
        return self._info.bits_per_pixel

    @property
    def bytes_per_pixel(self) -> int:
        return self._info.bytes_per_pixel

    @property
    def colour(self) -> Colour:
        """What the values mean: GREY, PALETTE, RGB555, BGR or VALUES."""
        return Colour(self._info.colour)

    @property
    def coding(self) -> Coding:
        return Coding(self._info.coding)

    @property
    def compressed(self) -> bool:
        return bool(self._info.compressed)

    @property
    def separate_planes(self) -> bool:
        return bool(self._info.separate_planes)

    @property
    def tolerance(self) -> int:
        """Near-lossless tolerance of the coder; 0 = exact."""
        return self._info.tolerance

    @property
    def planes(self) -> List[Dict[str, Any]]:
        """The plane table (empty when the image has none)."""
        if not self._info.has_plane_table:
            return []
        out = []
        for p in self._info.planes[: self._info.plane_count]:
            out.append(
                {
                    "order": p.order,
                    "method": p.method,
                    "model_flag": p.model_flag,
                    "has_reference": bool(p.has_reference),
                    "offset": p.offset,
                    "coef": tuple(p.coef),
                    "coding": Coding(p.coding),
                }
            )
        return out

    @property
    def native_row_bytes(self) -> int:
        return self._info.native_row_bytes

    @property
    def palette(self) -> Optional[np.ndarray]:
        """Palette images: the colours as an (entries, 3) uint8 array of red, green, blue."""
        n = self._info.palette_entries
        if not n:
            return None
        table = np.frombuffer(bytes(self._info.palette), dtype=np.uint8).reshape(256, 3)
        return table[:n].copy()

    @property
    def palette_inherited(self) -> bool:
        """The palette is the one of an earlier image (this image stores none)."""
        return bool(self._info.palette_inherited)

    @property
    def aux_type(self) -> Optional[int]:
        return self._info.aux_type if self._info.has_aux else None

    @property
    def aux(self) -> Optional[bytes]:
        """The auxiliary header's data, or None when the image has none."""
        if not self._info.has_aux:
            return None
        return self._file._read_data(self.index, lib.pqz2_aux_data, self._info.aux_size)

    @property
    def info(self) -> Dict[str, Any]:
        """Every detail as a dict."""
        keys = ("width", "height", "bits_per_pixel", "bytes_per_pixel", "colour", "coding")
        d = {k: getattr(self, k) for k in keys}
        d.update(
            compressed=self.compressed,
            separate_planes=self.separate_planes,
            tolerance=self.tolerance,
            planes=self.planes,
            palette_entries=self._info.palette_entries,
            palette_inherited=self.palette_inherited,
            aux_type=self.aux_type,
            payload_offset=self._info.payload_offset,
            payload_size=self._info.payload_size,
        )
        return d

    def format_loss(self, mode: str = "lossless") -> Optional[str]:
        """None when decoding in mode keeps every bit of the image; otherwise what is dropped
        (or that the mode is not available for this image)."""
        fmt = _layout(self._info, mode)[0]
        text = lib.pqz2_format_loss(ctypes.byref(self._info), int(fmt))
        return None if text is None else text.decode("utf-8", "replace")

    # Decoding ---------------------------------------------------------------------------
    def shape(self, mode: str = "lossless") -> Tuple[int, ...]:
        """Shape of the array to_numpy(mode) returns."""
        return _layout(self._info, mode)[2]

    def to_numpy(self, mode: str = "lossless") -> np.ndarray:
        """Decodes the image into a new array, top row first.

        mode "lossless" (default) keeps every bit:
          1 to 8 bits: uint8 (height, width), one value per pixel (packed pixels unpacked,
            5-7-bit pixels shifted down: values 0 .. 2^bits - 1);
          9 to 16 bits: uint16 (height, width), e.g. 15/16-bit colour as the stored number;
          17 bits and up: uint8 (height, width, bytes_per_pixel), the stored bytes of each
            pixel: blue, green, red (and a fourth byte from 25 bits on).
        Other modes: "value" (uint8/16/32 per pixel up to 32 bits; 24/32-bit pixels as
        blue | green << 8 | red << 16 | fourth << 24), "native" (uint8 (height, row bytes):
        the stored rows, pixels packed below 8 bits), and the conversions "grey" (uint8
        (height, width)), "rgb" (uint8 (height, width, 3)), "rgba" ((height, width, 4), alpha
        255 where the image has none) and "index" (palette images up to 8 bits; `palette`
        gives the colours). `format_loss(mode)` tells what a conversion drops.

        Raises `Error` on damaged data, exceeded limits and modes the image cannot give. The
        GIL is released while the library decodes.
        """
        fmt, dtype, shape = _layout(self._info, mode)
        min_stride = lib.pqz2_min_stride(ctypes.byref(self._info), int(fmt))
        if min_stride == 0 and self._info.width > 0 and fmt != Format.NATIVE:
            loss = self.format_loss(mode) or "not available for this image"
            raise Error(Status.ERR_FORMAT, f"mode {mode!r}: {loss}")
        out = np.empty(shape, dtype=dtype)
        row = out.strides[0] if out.size else min_stride
        if row < min_stride:  # the library and this package disagree on a layout
            raise Error(Status.ERR_BUFFER_TOO_SMALL, f"mode {mode!r}: rows of {row} bytes")
        result = self._file._decode(self.index, fmt, out, row)
        self.damaged = bool(result.damaged)
        self.good_rows = result.good_rows
        if self.damaged:
            warnings.warn(
                f"image {self.image_index} is damaged: {self.good_rows} of "
                f"{self.height} rows are exact",
                PartialImageWarning,
                stacklevel=2,
            )
        return out

    def to_pil(self) -> Any:
        """Decodes the image into a new Pillow image, in the mode the Pillow plugin gives it
        (see pqz2.pil)."""
        from .pil import to_pil

        return to_pil(self)

    def __repr__(self) -> str:
        return (
            f"<pqz2.Image #{self.image_index} {self.width}x{self.height} "
            f"{self.bits_per_pixel} bits {self.colour.name} {self.coding.name}>"
        )


class File:
    """An open PQZ file. Use `pqz2.open`.

    Iterating gives its blocks in file order (`Image` and `ExtraBlock`); `images` and `extras`
    list them. One File may be used from several threads (its calls take turns); open the
    same source once per thread to decode in parallel.
    """

    def __init__(
        self,
        source: Source,
        *,
        salvage: bool = False,
        max_pixels: Optional[int] = None,
        max_memory: Optional[int] = None,
        progress: Optional[Progress] = None,
    ) -> None:
        self._lock = threading.RLock()
        self._keep: List[Any] = []  # objects the library points to
        self._callback_error: Optional[BaseException] = None
        self._blocks: List[BaseBlock] = []
        self._walked = False  # every block is in _blocks
        self._current = -1  # block the library is positioned at, -1 before the first
        self._handle: Optional[int] = None
        self._salvage = bool(salvage)

        opts = Options()
        lib.pqz2_options_init(ctypes.byref(opts))
        if max_pixels is not None:
            opts.max_pixels = max_pixels
        if max_memory is not None:
            opts.max_memory = max_memory
        opts.salvage = 1 if salvage else 0
        if progress is not None:
            opts.progress = self._progress_callback(progress)
        handle = lib.pqz2_create(ctypes.byref(opts))
        if not handle:
            raise MemoryError("pqz2: cannot create a file object")
        self._handle = handle
        try:
            self._check(self._open(source))
        except BaseException:
            self.close()
            raise

    # Opening ----------------------------------------------------------------------------
    def _open(self, source: Source) -> int:
        if isinstance(source, (str, os.PathLike)):
            self.name: Optional[str] = os.fspath(source)
            return lib.pqz2_open_path(self._handle, os.fsencode(source))
        self.name = None
        if isinstance(source, (bytearray, memoryview)):
            source = bytes(source)  # the library needs the data unchanged while open
        if isinstance(source, bytes):
            self._keep.append(source)
            return lib.pqz2_open_memory(self._handle, source, len(source))
        if not hasattr(source, "read"):
            raise TypeError(f"pqz2.open: a path, bytes or binary file object, not {source!r}")
        self.name = getattr(source, "name", None)
        if not _seekable(source):
            data = source.read()
            self._keep.append(data)
            return lib.pqz2_open_memory(self._handle, data, len(data))
        return lib.pqz2_open_io(self._handle, ctypes.byref(self._io_callbacks(source)))

    def _io_callbacks(self, f: BinaryIO) -> Io:
        start = f.tell()
        end = f.seek(0, io.SEEK_END)
        f.seek(start)
        readinto = getattr(f, "readinto", None)

        def read(_user: Any, buffer: int, size: int) -> int:
            try:
                if readinto is not None:
                    view = (ctypes.c_char * size).from_address(buffer)
                    return readinto(view) or 0
                data = f.read(size)
                ctypes.memmove(buffer, data, len(data))
                return len(data)
            except BaseException as e:  # reported after the library call returns
                self._callback_error = e
                return -1

        def seek(_user: Any, position: int) -> int:
            try:
                f.seek(start + position)
                return 0
            except BaseException as e:
                self._callback_error = e
                return -1

        def size(_user: Any) -> int:
            return end - start

        callbacks = Io(IO_READ_FN(read), IO_SEEK_FN(seek), IO_SIZE_FN(size), None)
        self._keep += [callbacks, f]
        return callbacks

    def _progress_callback(self, progress: Progress) -> Any:
        def call(_user: Any, done: int, total: int) -> int:
            try:
                return 1 if progress(done, total) else 0
            except BaseException as e:
                self._callback_error = e
                return 1

        fn = PROGRESS_FN(call)
        self._keep.append(fn)
        return fn

    # Plumbing ---------------------------------------------------------------------------
    def _live(self) -> int:
        if self._handle is None:
            raise ValueError("pqz2: the file is closed")
        return self._handle

    def _check(self, status: int, ok: Tuple[int, ...] = (Status.OK,)) -> int:
        """Raises Error for a status outside ok (a Python exception from a callback first)."""
        if self._callback_error is not None:
            e, self._callback_error = self._callback_error, None
            raise e
        if status in ok:
            return status
        raw = lib.pqz2_message(self._handle)
        raise Error(status, raw.decode("utf-8", "replace") if raw else "")

    def _goto(self, index: int) -> Optional[Block]:
        """Makes block index current; None when the file has fewer blocks."""
        handle = self._live()
        block = Block()
        if index == self._current + 1:
            status = lib.pqz2_next_block(handle, ctypes.byref(block))
        else:
            status = lib.pqz2_seek_block(handle, index, ctypes.byref(block))
        self._current = -2  # unknown until the call succeeded
        if status == Status.ERR_DAMAGED and self._salvage:
            # With salvage a block cut by the end of the file is current and decodes in part;
            # the walk goes on behind it.
            self._current = index
            return block
        if status == Status.ERR_DAMAGED and block.damage:
            try:
                self._check(status)
            except Error as e:
                e.block_index, e.damage = block.index, block.damage
                e.image_index = block.image_index if block.kind == BLOCK_IMAGE else None
                raise
        if self._check(status, (Status.OK, Status.END)) == Status.END:
            return None  # which block is current then is left unknown
        self._current = index
        return block

    def _block(self, index: int) -> Optional[BaseBlock]:
        """The block numbered index, walking the file as far as needed."""
        with self._lock:
            while len(self._blocks) <= index and not self._walked:
                raw = self._goto(len(self._blocks))
                if raw is None:
                    self._walked = True
                    break
                if raw.kind == BLOCK_IMAGE:
                    info = ImageInfo()
                    self._check(lib.pqz2_image_info_get(self._handle, ctypes.byref(info)))
                    self._blocks.append(Image(self, raw, info))
                else:
                    self._blocks.append(ExtraBlock(self, raw))
            return self._blocks[index] if index < len(self._blocks) else None

    def _read_data(self, index: int, fn: Any, size: int) -> bytes:
        with self._lock:
            self._live()
            if self._current != index:
                self._goto(index)
            buffer = ctypes.create_string_buffer(max(int(size), 1))
            needed = ctypes.c_size_t()
            self._check(fn(self._handle, buffer, int(size), ctypes.byref(needed)))
            return buffer.raw[: needed.value]

    def _decode(self, index: int, fmt: Format, out: np.ndarray, stride: int) -> DecodeResult:
        result = DecodeResult()
        with self._lock:
            self._live()
            if self._current != index:
                self._goto(index)
            status = lib.pqz2_decode(
                self._handle, int(fmt), out.ctypes.data, out.nbytes, stride, ctypes.byref(result)
            )
            self._check(status, (Status.OK, Status.PARTIAL))
        return result

    # Public -----------------------------------------------------------------------------
    def __iter__(self) -> Iterator[BaseBlock]:
        """The blocks in file order. A damaged or unreadable place raises Error when the walk
        reaches it, after the blocks in front of it."""
        i = 0
        while True:
            block = self._block(i)
            if block is None:
                return
            yield block
            i += 1

    @property
    def blocks(self) -> List[BaseBlock]:
        """Every block (walks the whole file on first use)."""
        return list(self)

    @property
    def images(self) -> List[Image]:
        return [b for b in self if isinstance(b, Image)]

    @property
    def extras(self) -> List[ExtraBlock]:
        return [b for b in self if isinstance(b, ExtraBlock)]

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Releases the file; its images can no longer be decoded."""
        with self._lock:
            if self._handle is not None:
                lib.pqz2_destroy(self._handle)
                self._handle = None
                self._keep.clear()

    def __enter__(self) -> "File":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<pqz2.File {self.name or '(memory)'} {state}>"


def _seekable(f: Any) -> bool:
    try:
        return bool(f.seekable()) if hasattr(f, "seekable") else False
    except Exception:
        return False


def open(
    source: Source,
    *,
    salvage: bool = False,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
    progress: Optional[Progress] = None,
) -> File:
    """Opens a PQZ file from a path, bytes (or another buffer, copied) or a binary file object
    (read through while open; it must stay open).

    salvage: read what survives in a damaged file (damaged images come back in part, with a
    PartialImageWarning). max_pixels / max_memory: the largest image (width * height) and the
    most memory one decode may allocate; the library's defaults when None. progress: called as
    progress(done, total) during decoding; a true result cancels the decode (Error with status
    ERR_CANCELLED). Raises Error when the data does not start with valid blocks.
    """
    return File(
        source,
        salvage=salvage,
        max_pixels=max_pixels,
        max_memory=max_memory,
        progress=progress,
    )
