"""A captured raw frame and its conversions to numpy arrays."""

from __future__ import annotations

import ctypes
import threading
from typing import TYPE_CHECKING, Optional

import numpy as np

from . import _errors, _lib
from ._core import lib

if TYPE_CHECKING:
    from ._camera import Camera

MAX_VALID_M = 60.0  # the library's largest valid distance; markers lie above it
_POINT_FLOATS = 3


def _out_array(out: Optional[np.ndarray], shape: tuple, dtype, what: str) -> np.ndarray:
    """out checked (C-contiguous, writable, of the right shape and type), or
    a new array."""
    if out is None:
        return np.empty(shape, dtype=dtype)
    if (
        not isinstance(out, np.ndarray)
        or out.shape != shape
        or out.dtype != dtype
        or not out.flags.c_contiguous
        or not out.flags.writeable
    ):
        raise ValueError(
            f"out for {what} must be a writable C-contiguous {np.dtype(dtype).name} array "
            f"of shape {shape}"
        )
    return out


class _Scratch(threading.local):
    """Per-thread work arrays of a camera's conversions, so a loop that
    passes out= allocates nothing (conversions may run on several threads)."""

    def __init__(self) -> None:
        self.arrays: dict = {}

    def get(self, key: str, shape: tuple, dtype) -> np.ndarray:
        a = self.arrays.get(key)
        if a is None or a.shape != shape or a.dtype != dtype:
            a = np.empty(shape, dtype=dtype)
            self.arrays[key] = a
        return a


def mark_no_distance(d: np.ndarray, scratch: _Scratch) -> None:
    """NaN in place wherever the library put a marker instead of a distance
    (the valid distances lie in 0 < d < 60 m)."""
    valid = scratch.get("valid", d.shape, np.bool_)
    below = scratch.get("below", d.shape, np.bool_)
    np.greater(d, 0.0, out=valid)
    np.less(d, MAX_VALID_M, out=below)
    np.logical_and(valid, below, out=valid)
    np.logical_not(valid, out=below)
    np.copyto(d, np.float32(np.nan), where=below)


class Frame:
    """One raw frame as the camera sent it, kept for as long as Python holds
    it (nothing is pooled: a kept frame is never overwritten).

    Conversions use the camera's calibration and filters at the time of the
    call, so the camera must still be open."""

    __slots__ = ("_cam", "_info", "raw")

    def __init__(self, cam: "Camera", raw: np.ndarray, info: _lib.FrameInfo):
        self._cam = cam
        self._info = info
        #: The frame's bytes (uint8, read-only), as the camera sent them.
        self.raw = raw
        raw.flags.writeable = False

    @property
    def index(self) -> int:
        """The camera's frame counter (16 bits, wraps)."""
        return int(self._info.frame_idx)

    @property
    def width(self) -> int:
        return int(self._info.width)

    @property
    def height(self) -> int:
        return int(self._info.height)

    @property
    def shape(self) -> tuple:
        """(height, width) of the converted images."""
        return (int(self._info.height), int(self._info.width))

    @property
    def format(self) -> int:
        """The frame format code (2: four phase images)."""
        return int(self._info.frame_format)

    def _decode(self, fn, out: np.ndarray, what: str) -> np.ndarray:
        h, w = self.shape
        cam = self._cam
        _errors.begin_call()
        n = fn(cam._dev_ptr(), out.ctypes.data, w * h, self.raw.ctypes.data, self.raw.size,
               ctypes.byref(self._info))
        if n != w * h:
            cam._raise_if_closed()
            _errors.fail(_errors.Error, f"the {what} conversion of frame {self.index} failed")
        return out

    def distance(self, out: Optional[np.ndarray] = None, *, nan: bool = True) -> np.ndarray:
        """The distance image: (height, width) float32, metres along each
        pixel's ray, with the camera's calibration and filters. NaN where a
        pixel has no distance (nan=False keeps the library's marker values,
        60 m and above). out: an array to fill instead of a new one."""
        d = _out_array(out, self.shape, np.float32, "distance")
        self._decode(lib().kavri_frame_get_distance, d, "distance")
        if nan:
            mark_no_distance(d, self._cam._scratch)
        return d

    def gray(self, out: Optional[np.ndarray] = None) -> np.ndarray:
        """The amplitude (gray) image: (height, width) float32 in the
        driver's gray units. out: an array to fill instead of a new one."""
        g = _out_array(out, self.shape, np.float32, "gray")
        return self._decode(lib().kavri_frame_get_gray, g, "gray")

    def points(
        self,
        organized: bool = False,
        out: Optional[np.ndarray] = None,
        distance: Optional[np.ndarray] = None,
    ) -> np.ndarray:
        """The point cloud in metres in the camera frame (x right, y down,
        z forward), projected with the camera's lens parameters.

        organized=False: (N, 3) float32, the N pixels with a distance in
        image order. organized=True: (height, width, 3), NaN where a pixel
        has no distance. distance: this frame's distance image if already
        converted (saves a second decode). out (organized only): an array
        to fill."""
        h, w = self.shape
        cam = self._cam
        scratch = cam._scratch
        if distance is None:
            distance = self.distance(out=scratch.get("dist", (h, w), np.float32), nan=False)
        elif distance.shape != (h, w) or distance.dtype != np.float32:
            raise ValueError(f"distance must be a float32 array of shape {(h, w)}")
        distance = np.ascontiguousarray(distance)
        if organized:
            pts = _out_array(out, (h, w, _POINT_FLOATS), np.float32, "organized points")
            # Every pixel projected (a stand-in distance where there is none,
            # so the library writes all of them in image order), then NaN.
            valid = scratch.get("pvalid", (h, w), np.bool_)
            np.greater(distance, 0.0, out=valid)
            np.logical_and(valid, distance < MAX_VALID_M, out=valid)
            full = scratch.get("pfull", (h, w), np.float32)
            np.copyto(full, distance)
            np.copyto(full, np.float32(1.0), where=~valid)
            n = self._project(full, pts)
            if n != w * h:
                _errors.fail(_errors.Error, "the point-cloud projection failed")
            np.copyto(pts, np.float32(np.nan), where=~valid[..., None])
            return pts
        if out is not None:
            raise ValueError("out is only taken for organized point clouds")
        work = scratch.get("pts", (h * w, _POINT_FLOATS), np.float32)
        n = self._project(distance, work)
        return work[:n].copy()

    def _project(self, distance: np.ndarray, dst: np.ndarray) -> int:
        h, w = self.shape
        cam = self._cam
        _errors.begin_call()
        n = lib().kavri_frame_get_pcl(
            cam._dev_ptr(), dst.ctypes.data, dst.size, distance.ctypes.data, distance.size, w, h,
            None)
        cam._raise_if_closed()
        return n

    def __repr__(self) -> str:
        return f"<kavri.Frame {self.index} {self.width}x{self.height} {self.raw.size} bytes>"
