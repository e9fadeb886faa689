"""Frame files, ONI recordings and the colour map."""

from __future__ import annotations

import ctypes
import os
from typing import TYPE_CHECKING, Optional, Tuple, Union

import numpy as np

from . import _errors, _lib
from ._core import lib

if TYPE_CHECKING:
    from ._frame import Frame

PathLike = Union[str, "os.PathLike[str]"]

_DIST_FORMATS = {"float32": 0, "uint32": 1, "uint16": 2}
_GRAY_FORMATS = {"uint16": 2, "uint8": 3}
_CMAP_RGB = 0
_NO_DISTANCE_M = 65.3  # the library's marker for a removed pixel: coloured black
_MM_PER_M = 1000.0
_MAX_FRAME_VALUES = 1 << 22  # bound of one frame read back from a file

# ONI stream kinds and pixel formats.
_ONI_DEPTH, _ONI_IR = 2, 5
_ONI_DEPTH_1_MM, _ONI_GRAY16 = 100, 203
_ONI_MAX_DEPTH_MM = 10000


def _image(a: np.ndarray) -> np.ndarray:
    a = np.ascontiguousarray(a, dtype=np.float32)
    if a.ndim != 2:
        raise ValueError("an image is a 2-D (height, width) array")
    return a


def _save(fn, path: PathLike, formats: dict, fmt: str, image: np.ndarray, append: bool,
          nan_to: float) -> None:
    if fmt not in formats:
        raise ValueError(f"format must be one of {sorted(formats)}")
    img = _image(image)
    if np.isnan(img).any():
        img = np.where(np.isnan(img), np.float32(nan_to), img)
    h, w = img.shape
    flags = os.O_WRONLY | os.O_CREAT | (os.O_APPEND if append else os.O_TRUNC)
    fd = os.open(path, flags, 0o644)
    try:
        # The library writes the header only at position 0, which an
        # appending descriptor reports until its first write.
        os.lseek(fd, 0, os.SEEK_END)
        _errors.begin_call()
        if fn(fd, formats[fmt], img.ctypes.data, img.size, w, h) != 1:
            _errors.fail(_errors.Error, f"cannot write {os.fspath(path)}")
    finally:
        os.close(fd)


def save_distance(path: PathLike, distance: np.ndarray, format: str = "float32",
                  append: bool = False) -> None:
    """Writes a distance image (metres; NaN for no distance) to a frame file
    as float32 metres or uint32/uint16 millimetres; append adds a frame."""
    _save(lib().kavri_frame_save_distance, path, _DIST_FORMATS, format, distance, append,
          _NO_DISTANCE_M)


def save_gray(path: PathLike, gray: np.ndarray, format: str = "uint16",
              append: bool = False) -> None:
    """Writes a gray image to a frame file as uint16 or uint8 values."""
    _save(lib().kavri_frame_save_gray, path, _GRAY_FORMATS, format, gray, append, 0.0)


def _load(fn, path: PathLike, index: int) -> np.ndarray:
    w, h = ctypes.c_uint32(), ctypes.c_uint32()
    fd = os.open(path, os.O_RDONLY)
    try:
        out = None
        for _ in range(index + 1):
            buf = np.empty(_MAX_FRAME_VALUES, dtype=np.float32)
            _errors.begin_call()
            n = fn(fd, buf.ctypes.data, buf.size, ctypes.byref(w), ctypes.byref(h))
            if n <= 0 or n != w.value * h.value:
                _errors.fail(_errors.Error, f"no frame {index} in {os.fspath(path)}")
            out = buf[:n].reshape(h.value, w.value).copy()
        return out
    finally:
        os.close(fd)


def load_distance(path: PathLike, index: int = 0, nan: bool = True) -> np.ndarray:
    """Frame `index` of a distance frame file, (height, width) float32 metres,
    NaN where there is no distance (nan=False keeps the markers)."""
    d = _load(lib().kavri_frame_load_distance, path, index)
    if nan:
        d[~((d > 0) & (d < 60.0))] = np.nan
    return d


def load_gray(path: PathLike, index: int = 0) -> np.ndarray:
    """Frame `index` of a gray frame file as (height, width) float32."""
    return _load(lib().kavri_frame_load_gray, path, index)


def colorize(distance: np.ndarray, range: Tuple[float, float] = (0.0, 4.0),
             out: Optional[np.ndarray] = None) -> np.ndarray:
    """The library's colour map of a distance image (metres): (height,
    width, 3) uint8 RGB, near red to far blue over range (metres); black
    for NaN and out-of-range pixels."""
    d = _image(distance)
    if np.isnan(d).any():
        d = np.where(np.isnan(d), np.float32(_NO_DISTANCE_M), d)
    h, w = d.shape
    rgb = np.empty((h, w, 3), dtype=np.uint8) if out is None else out
    if rgb.shape != (h, w, 3) or rgb.dtype != np.uint8 or not rgb.flags.c_contiguous:
        raise ValueError(f"out must be a C-contiguous uint8 array of shape {(h, w, 3)}")
    lo, hi = range
    n = lib().kavri_cmap_float(rgb.ctypes.data, rgb.size, d.ctypes.data, d.size, _CMAP_RGB,
                               float(lo), float(hi))
    if n != d.size:
        raise _errors.Error("the colour map failed")
    return rgb


class OniWriter:
    """An ONI file of depth frames (uint16 mm) and, with gray=True, IR
    frames (uint16 amplitudes), readable by OpenNI2 tools.

        with kavri.OniWriter("out.oni", 320, 240, fps=30) as oni:
            oni.write(frame)   # a kavri.Frame, or write_arrays(distance, gray)
    """

    def __init__(self, path: PathLike, width: int, height: int, fps: int = 30,
                 gray: bool = True):
        self.width, self.height = int(width), int(height)
        self._file = _lib.OniFile()
        self._open = False
        _errors.begin_call()
        if lib().oni_open(ctypes.byref(self._file), os.fsencode(path)) != 1:
            _errors.fail(_errors.Error, f"cannot create {os.fspath(path)}")
        self._open = True
        self._depth = self._stream(_ONI_DEPTH, _ONI_DEPTH_1_MM, fps)
        self._ir = self._stream(_ONI_IR, _ONI_GRAY16, fps) if gray else None
        self.frames = 0

    def _stream(self, kind: int, fmt: int, fps: int) -> int:
        cfg = _lib.OniStreamConfig(kind, fmt, _ONI_MAX_DEPTH_MM, self.width, self.height, 2, fps)
        s = lib().oni_stream_open(ctypes.byref(self._file), ctypes.byref(cfg))
        if not s:
            self.close()
            _errors.fail(_errors.Error, "cannot open an ONI stream")
        return s

    def write(self, frame: "Frame") -> None:
        """Converts frame (distance, and gray when the file has IR) and
        writes it."""
        self.write_arrays(frame.distance(), frame.gray() if self._ir else None)

    def write_arrays(self, distance: np.ndarray, gray: Optional[np.ndarray] = None) -> None:
        """Writes a distance image (metres, NaN none: 0 mm) and a gray one."""
        if not self._open:
            raise _errors.Error("the ONI file is closed")
        d = _image(distance)
        if d.shape != (self.height, self.width):
            raise ValueError(f"distance must be of shape {(self.height, self.width)}")
        mm = np.nan_to_num(d * _MM_PER_M, nan=0.0, posinf=0.0, neginf=0.0)
        mm = np.rint(mm)
        mm[(mm < 0) | (mm > _ONI_MAX_DEPTH_MM)] = 0  # beyond the stream's depth: none
        mm = mm.astype(np.uint16)
        lib().oni_stream_save_frame(self._depth, mm.ctypes.data, mm.nbytes, 0)
        if self._ir is not None and gray is not None:
            g = np.clip(np.rint(_image(gray)), 0, 0xFFFF).astype(np.uint16)
            lib().oni_stream_save_frame(self._ir, g.ctypes.data, g.nbytes, 0)
        self.frames += 1

    def close(self) -> None:
        """Writes the end records and closes the file; harmless twice."""
        if self._open:
            self._open = False
            lib().oni_close(ctypes.byref(self._file))

    def __enter__(self) -> "OniWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
