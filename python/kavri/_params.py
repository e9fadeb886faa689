"""Camera parameters by name, and the chip driver's filters."""

from __future__ import annotations

import ctypes
import struct
from typing import TYPE_CHECKING, NamedTuple, Optional, Union

from . import _errors, _lib
from ._core import lib

if TYPE_CHECKING:
    from ._camera import Camera

# Parameter ids.
MODE, MOD_FREQ, IDENT, PRODUCT, UID, VERSION, CHIP_INFO, INFO_CALIB = 0, 1, 2, 3, 5, 6, 7, 8
FPS, INTG_TIME, INTG_TIME2, RESYNC = 12, 13, 16, 17

# Filter ids of the chip driver's filter switch.
FILTER_UNDISTORT, FILTER_CALIB, FILTER_SMOOTH = 0, 1, 2
FILTER_AMP_MIN, FILTER_AUTO_INTG, FILTER_OFFSET = 4, 5, 9
FILTER_TEMPORAL = 10

# The temporal filter's settings (kavri/quality.h).
TEMPORAL_MOTION_MM_MAX = 60000
TEMPORAL_HOLE_FRAMES_MAX = 100

_INT_FORMATS = {"u8": "<B", "u16": "<H", "u32": "<I"}


class _Param:
    """A parameter of the camera read and written by attribute."""

    def __init__(self, pid: int, kind: str, doc: str, read_only: bool = False):
        self.pid, self.kind, self.read_only = pid, kind, read_only
        self.__doc__ = doc

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, params: Optional["Params"], owner=None):
        if params is None:
            return self
        raw = params._cam.param(self.pid)
        if self.kind in _INT_FORMATS:
            size = struct.calcsize(_INT_FORMATS[self.kind])
            return struct.unpack(_INT_FORMATS[self.kind], raw[:size].ljust(size, b"\0"))[0]
        if self.kind == "text":
            return raw.split(b"\0", 1)[0].decode("utf-8", "replace")
        if self.kind == "versions":
            return struct.unpack("<4H", raw[:8].ljust(8, b"\0"))
        return raw

    def __set__(self, params: "Params", value) -> None:
        if self.read_only:
            raise AttributeError(f"parameter {self.name} is read-only")
        if self.kind in _INT_FORMATS:
            try:
                data = struct.pack(_INT_FORMATS[self.kind], int(value))
            except struct.error:
                raise ValueError(f"{self.name} {value!r} does not fit a {self.kind}") from None
        elif self.kind == "text":
            data = str(value).encode()
        else:
            data = bytes(value)
        params._cam.set_param(self.pid, data)


class Params:
    """The camera's parameters by name. Reading asks the camera; writing
    sends the value (the chip driver hears of a new frequency or integration
    time in the same step) and raises kavri.RefusedError when the camera
    refuses it. A replay answers its recorded values and refuses writes."""

    def __init__(self, cam: "Camera"):
        self._cam = cam

    mode = _Param(MODE, "u8", "operating mode: 0 normal, 9 calibration upload")
    mod_freq = _Param(MOD_FREQ, "u32", "modulation frequency, Hz (for example 12000000)")
    ident = _Param(IDENT, "text", "identification (serial) text; read-only", True)
    product = _Param(PRODUCT, "text", 'product text "<model>-<chip>-<variant>"', True)
    uid = _Param(UID, "bytes", "identity bytes; read-only", True)
    version = _Param(VERSION, "versions", "(hardware, software, bootloader, fourth); read-only",
                     True)
    chip_info = _Param(CHIP_INFO, "bytes", "chip information bytes; read-only", True)
    fps = _Param(FPS, "u32", "frame rate, frames per second")
    intg_time = _Param(INTG_TIME, "u16",
                       "integration time in the camera's units (microseconds on the simulated "
                       "camera)")
    intg_time2 = _Param(INTG_TIME2, "u16",
                        "second integration time (camera units), 0 off; with the HDR filter")

    def __repr__(self) -> str:
        return "<kavri.Params>"


class TemporalState(NamedTuple):
    """The temporal filter's state as the device keeps it."""

    on: bool
    weight: int  # per mille of each new frame (1000 while off)
    motion_mm: int  # a pixel that moved further starts afresh
    hole_frames: int  # frames a pixel without a distance shows its history


class Filters:
    """The chip driver's filters, applied by every conversion from the next
    frame on. Assigning switches a filter (None, False or 0 switches it
    off); reading gives what was last assigned through this object (None
    before). A filter the driver refuses (the TI driver has none) raises
    kavri.RefusedError."""

    def __init__(self, cam: "Camera"):
        self._cam = cam
        self._set: dict = {}

    def _switch(self, name: str, fid: int, arg: Optional[bytes]) -> None:
        cam = self._cam
        dev = cam._dev_ptr()
        _errors.begin_call()
        if arg is None:
            r = lib().kavri_filter_disable(dev, fid)
        else:
            buf = ctypes.create_string_buffer(arg, len(arg)) if arg else None
            r = lib().kavri_filter_enable(dev, fid, buf, len(arg))
        if r != 1:
            cam._raise_if_closed()
            _errors.fail(_errors.RefusedError, f"the driver refused the {name} filter switch")

    def _prop(name: str, fid: int, fmt: Optional[str], doc: str):
        def get(self):
            return self._set.get(name)

        def put(self, value):
            off = value is None or value is False or (fmt is not None and value == 0)
            if off:
                arg = None
            elif fmt is None:
                arg = b""
            else:
                try:
                    arg = struct.pack(fmt, int(value))
                except struct.error:
                    raise ValueError(f"{name} {value!r} out of range") from None
            self._switch(name, fid, arg)
            self._set[name] = None if off else (True if fmt is None else int(value))

        return property(get, put, doc=doc)

    smoothing = _prop("smoothing", FILTER_SMOOTH, "<B",
                      "smoothing level (2 and up run the smoothing chain), 0/None off")
    amp_min = _prop("amp_min", FILTER_AMP_MIN, "<H",
                    "minimum amplitude: pixels below it get no distance; 0/None off")
    auto_intg = _prop("auto_intg", FILTER_AUTO_INTG, "<H",
                      "automatic integration time: per-mille limit of saturated samples, "
                      "0/None off")
    undistort = _prop("undistort", FILTER_UNDISTORT, None, "lens undistortion on (True) or off")
    offset = _prop("offset", FILTER_OFFSET, "<i", "distance offset in mm added to every pixel")
    calibration = _prop("calibration", FILTER_CALIB, None,
                        "the mounted calibration on (True) or off (raw phase distances)")
    temporal = _prop("temporal", FILTER_TEMPORAL, "<H",
                     "temporal filter for still scenes: the weight of each new frame in a "
                     "pixel's history, per mille (1..1000; 1000 leaves frames as they are), "
                     "0/None off. Each frame enters the history when it is converted "
                     "(Frame.distance, or points without distance=): convert each frame once, "
                     "oldest first")
    del _prop

    def set_temporal(self, motion_mm: Optional[int] = None,
                     hole_frames: Optional[int] = None) -> None:
        """Sets the temporal filter's motion threshold (mm, 1..60000: a pixel
        whose distance jumps further starts afresh) and hole persistence
        (frames, 0..100: how long a pixel without a distance shows its
        history); None keeps the device's value. The device keeps them
        whether the filter is on or off."""
        state = self.temporal_state()
        motion = state.motion_mm if motion_mm is None else int(motion_mm)
        holes = state.hole_frames if hole_frames is None else int(hole_frames)
        # ctypes would wrap a value too wide for the C types without a word.
        if not 1 <= motion <= TEMPORAL_MOTION_MM_MAX:
            raise ValueError(f"motion_mm {motion} is not 1..{TEMPORAL_MOTION_MM_MAX}")
        if not 0 <= holes <= TEMPORAL_HOLE_FRAMES_MAX:
            raise ValueError(f"hole_frames {holes} is not 0..{TEMPORAL_HOLE_FRAMES_MAX}")
        cam = self._cam
        _errors.begin_call()
        if lib().kavri_temporal_set(cam._dev_ptr(), motion, holes) != 1:
            cam._raise_if_closed()
            _errors.fail(_errors.RefusedError, "the driver refused the temporal filter's settings")

    def temporal_state(self) -> TemporalState:
        """The temporal filter's state read from the device (a driver without
        the filter answers off)."""
        cam = self._cam
        weight, motion, holes = ctypes.c_uint16(), ctypes.c_uint16(), ctypes.c_uint8()
        _errors.begin_call()
        r = lib().kavri_temporal_get(cam._dev_ptr(), ctypes.byref(weight), ctypes.byref(motion),
                                     ctypes.byref(holes))
        if r < 0:
            cam._raise_if_closed()
            _errors.fail(_errors.Error, "the temporal filter's state cannot be read")
        return TemporalState(r == 1, weight.value, motion.value, holes.value)

    def enable(self, filter_id: int, arg: Union[bytes, None] = b"") -> None:
        """Switches any driver filter on with its raw argument bytes."""
        self._switch(f"id {filter_id}", filter_id, b"" if arg is None else bytes(arg))

    def disable(self, filter_id: int) -> None:
        """Switches any driver filter off."""
        self._switch(f"id {filter_id}", filter_id, None)

    def __repr__(self) -> str:
        return f"<kavri.Filters {self._set}>"


def param_item(pid: int, value: bytes = b"") -> _lib.ParamItem:
    if len(value) > _lib.PARAM_WIRE_VAL_SIZE:
        raise ValueError(f"a parameter value holds at most {_lib.PARAM_WIRE_VAL_SIZE} bytes")
    it = _lib.ParamItem()
    it.param_id = pid
    it.param_val_len = len(value)
    ctypes.memmove(it.param_val, value, len(value))
    return it
