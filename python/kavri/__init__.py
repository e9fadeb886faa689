"""kavri: the time-of-flight depth camera library for Python.

    import kavri
    with kavri.open() as cam:
        cam.params.fps = 15
        for frame in cam.frames(count=10):
            d = frame.distance()          # (240, 320) float32 metres, NaN: none

Everything runs through libkavri's C interface (ctypes): the package serves
every Python 3 and numpy 1 and 2. The caller owns every buffer: frames are
never pooled, and callbacks run on the thread that waits. The library's
log goes to the logger "kavri".
"""

from ._camera import Camera, CameraInfo, Replay, cameras, open, open_recording
from ._core import set_log_level, workdir
from ._errors import (
    AccessError,
    CaptureError,
    ClosedError,
    Error,
    LibraryNotFoundError,
    NotFoundError,
    RecordingError,
    RefusedError,
    TimeoutError,
)
from ._files import OniWriter, colorize, load_distance, load_gray, save_distance, save_gray
from ._frame import Frame
from ._params import Filters, Params, TemporalState

__version__ = "1.50.0"

__all__ = [
    "AccessError",
    "Camera",
    "CameraInfo",
    "CaptureError",
    "ClosedError",
    "Error",
    "Filters",
    "Frame",
    "LibraryNotFoundError",
    "NotFoundError",
    "OniWriter",
    "Params",
    "RecordingError",
    "RefusedError",
    "Replay",
    "TemporalState",
    "TimeoutError",
    "cameras",
    "colorize",
    "load_distance",
    "load_gray",
    "open",
    "open_recording",
    "save_distance",
    "save_gray",
    "set_log_level",
    "workdir",
]
