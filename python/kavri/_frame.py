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
_CONFIDENCE_MAX = 255


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


def _cloud_out(out: np.ndarray, pixels: int) -> np.ndarray:
    """out checked as the room of an unorganized point cloud: (M, 3)
    float32, C-contiguous and writable, M >= pixels."""
    if (
        not isinstance(out, np.ndarray)
        or out.ndim != 2
        or out.shape[1] != _POINT_FLOATS
        or out.dtype != np.float32
        or not out.flags.c_contiguous
        or not out.flags.writeable
    ):
        raise ValueError(
            f"out for points must be a writable C-contiguous float32 array of shape "
            f"(M, {_POINT_FLOATS}), M >= {pixels} (one row per pixel)"
        )
    if out.shape[0] < pixels:
        raise ValueError(
            f"out for points has {out.shape[0]} rows: it needs one per pixel, {pixels}, "
            f"as a frame may have that many points"
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


# 0 < d < 60 m on the bits of a float32: positive floats order as their bits,
# so d is valid exactly when bits - 1 (wrapping at 0) < bits(60.0) - 1. That
# rejects +0, 60 and above, infinity, NaN and everything negative.
_VALID_BITS_LIMIT = np.uint32(np.float32(MAX_VALID_M).view(np.uint32) - 1)
_ONE_BIT = np.uint32(1)
_NAN_BITS = np.uint32(0x7FC00000)  # OR-ed into any float's bits gives a NaN


def no_distance_mask(d: np.ndarray, scratch: "_Scratch") -> np.ndarray:
    """True where d (float32, C-contiguous) holds no distance, False where
    0 < d < 60 m; a scratch array."""
    bits = scratch.get("bits", d.shape, np.uint32)
    mask = scratch.get("nodist", d.shape, np.bool_)
    np.subtract(d.view(np.uint32), _ONE_BIT, out=bits)
    np.greater_equal(bits, _VALID_BITS_LIMIT, out=mask)
    return mask


def mark_no_distance(d: np.ndarray, scratch: "_Scratch") -> None:
    """NaN in place wherever the library put a marker instead of a distance
    (the valid distances lie in 0 < d < 60 m). Whole-array passes without
    casting buffers: a masked assignment branches on every pixel and costs
    more than all of them once markers are scattered."""
    mask = no_distance_mask(d, scratch)
    if not mask.any():
        return
    nan_bits = scratch.get("bits", d.shape, np.uint32)
    np.copyto(nan_bits, mask)
    np.multiply(nan_bits, _NAN_BITS, out=nan_bits)
    bits = d.view(np.uint32)
    np.bitwise_or(bits, nan_bits, out=bits)


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

    def confidence(self, distance: Optional[np.ndarray] = None,
                   out: Optional[np.ndarray] = None) -> np.ndarray:
        """How far each pixel's distance can be trusted: (height, width)
        uint8, 0 (none) to 255, rising with the amplitude and falling as the
        samples near saturation; 0 for saturated pixels. distance: this
        frame's distance image (from distance(), NaN or markers where there
        is none), whose pixels without a distance then get 0 too; the
        conversion does not convert the distance itself, so it leaves the
        temporal filter's history alone. out: an array to fill instead of a
        new one. A frame without four phase images, or a driver without
        confidence, raises kavri.Error."""
        h, w = self.shape
        c = _out_array(out, self.shape, np.uint8, "confidence")
        dist_ptr, dist_len = None, 0
        if distance is not None:
            distance = self._checked_distance(distance)
            dist_ptr, dist_len = distance.ctypes.data, distance.size
        cam = self._cam
        _errors.begin_call()
        n = lib().kavri_frame_get_confidence(cam._dev_ptr(), c.ctypes.data, c.size,
                                             self.raw.ctypes.data, self.raw.size,
                                             ctypes.byref(self._info), dist_ptr, dist_len)
        if n != w * h:
            cam._raise_if_closed()
            _errors.fail(_errors.Error, f"the confidence conversion of frame {self.index} failed")
        return c

    def _checked_distance(self, distance) -> np.ndarray:
        h, w = self.shape
        if (not isinstance(distance, np.ndarray) or distance.shape != (h, w)
                or distance.dtype != np.float32):
            raise ValueError(f"distance must be a float32 array of shape {(h, w)}")
        return np.ascontiguousarray(distance)

    def points(
        self,
        organized: bool = False,
        out: Optional[np.ndarray] = None,
        distance: Optional[np.ndarray] = None,
        *,
        confidence_above: Optional[int] = None,
        confidence: Optional[np.ndarray] = None,
    ) -> np.ndarray:
        """The point cloud in metres in the camera frame (x right, y down,
        z forward), projected with the camera's lens parameters.

        organized=False: (N, 3) float32, one point for each of the N pixels
        with a distance (0 < d < 60 m), in image order; N changes from frame
        to frame. out: a C-contiguous float32 (M, 3) array with room for
        every pixel, M >= height * width (so a busier frame cannot overflow
        it); the points go into its first N rows and the view out[:N] is
        returned.

        organized=True: (height, width, 3), NaN where a pixel has no
        distance. out: a C-contiguous float32 (height, width, 3) array,
        filled and returned.

        An out of another shape, type or layout raises ValueError.
        distance: this frame's distance image if already converted (saves a
        second decode; NaN counts as no distance).

        confidence_above: keep only the pixels whose confidence (see
        confidence()) is above it, 0..255; the others count as without a
        distance. confidence: this frame's confidence image if already
        converted (saves a pass over the frame)."""
        h, w = self.shape
        scratch = self._cam._scratch
        # Checked before any conversion: a frame converted for nothing would
        # still have entered the temporal filter's history.
        if confidence_above is not None and not 0 <= int(confidence_above) <= _CONFIDENCE_MAX:
            raise ValueError(f"confidence_above must be 0..{_CONFIDENCE_MAX}")
        if organized:
            pts = _out_array(out, (h, w, _POINT_FLOATS), np.float32, "organized points")
        elif out is not None:
            pts = _cloud_out(out, h * w)
        else:
            pts = scratch.get("pts", (h * w, _POINT_FLOATS), np.float32)
        if distance is None:
            distance = self.distance(out=scratch.get("dist", (h, w), np.float32), nan=False)
        distance = self._checked_distance(distance)
        conf = None
        if confidence_above is not None:
            if confidence is None:
                conf = self.confidence(out=scratch.get("conf", (h, w), np.uint8))
            elif (not isinstance(confidence, np.ndarray) or confidence.shape != (h, w)
                  or confidence.dtype != np.uint8):
                raise ValueError(f"confidence must be a uint8 array of shape {(h, w)}")
            else:
                conf = np.ascontiguousarray(confidence)
        if not organized:
            n = (self._project(distance, pts) if conf is None
                 else self._project_confident(distance, conf, int(confidence_above), pts))
            return pts[:n] if out is not None else pts[:n].copy()
        # Every pixel projected (a stand-in distance where there is none, so
        # the library writes all of them in image order), then NaN.
        invalid = no_distance_mask(distance, scratch)
        if conf is not None:
            invalid |= conf <= confidence_above
        full = scratch.get("pfull", (h, w), np.float32)
        np.copyto(full, distance)
        np.copyto(full, np.float32(1.0), where=invalid)
        if self._project(full, pts) != w * h:
            _errors.fail(_errors.Error, "the point-cloud projection failed")
        np.copyto(pts, np.float32(np.nan), where=invalid[..., None])
        return pts

    def _project(self, distance: np.ndarray, dst: np.ndarray) -> int:
        h, w = self.shape
        cam = self._cam
        _errors.begin_call()
        n = lib().kavri_frame_get_pcl(
            cam._dev_ptr(), dst.ctypes.data, dst.size, distance.ctypes.data, distance.size, w, h,
            None)
        cam._raise_if_closed()
        return n

    def _project_confident(self, distance: np.ndarray, conf: np.ndarray, above: int,
                           dst: np.ndarray) -> int:
        h, w = self.shape
        cam = self._cam
        _errors.begin_call()
        n = lib().kavri_frame_get_pcl_confident(
            cam._dev_ptr(), dst.ctypes.data, dst.size, distance.ctypes.data, distance.size,
            conf.ctypes.data, conf.size, above, w, h, None)
        cam._raise_if_closed()
        return n

    def __repr__(self) -> str:
        return f"<kavri.Frame {self.index} {self.width}x{self.height} {self.raw.size} bytes>"
