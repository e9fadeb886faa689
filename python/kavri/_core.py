"""The library's process-wide set-up: loaded once, its log routed to the
"kavri" logger, its working folder chosen, everything closed at exit."""

from __future__ import annotations

import atexit
import logging
import os
import threading
import weakref
from pathlib import Path
from typing import TYPE_CHECKING

from . import _errors, _lib

if TYPE_CHECKING:
    from ._camera import Camera

LOG_FILE_NAME = "kavri-python.log"
_SINK_CONSOLE, _SINK_FILE, _SINK_CALLBACK = 0, 1, 2

# Every open camera, so that the interpreter's exit closes them before the
# library's threads could call into a finished interpreter.
_open_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()
_open_lock = threading.Lock()  # guards _open_cameras


def _log_trampoline(level, text, _user):
    try:
        _errors.on_log(level, text)
    except Exception:  # a logging handler's fault must not reach the library
        pass


_LOG_CB = _lib.LOG_CB(_log_trampoline)  # kept alive for the process


def workdir() -> str:
    """The folder of the calibration cache and the library's log file:
    $KAVRI_WORKDIR, else $XDG_CACHE_HOME/kavri, else ~/.cache/kavri."""
    for key, sub in (("KAVRI_WORKDIR", ""), ("XDG_CACHE_HOME", "kavri")):
        v = os.environ.get(key)
        if v:
            return str(Path(v) / sub) + os.sep
    return str(Path.home() / ".cache" / "kavri") + os.sep


def _set_up(lib) -> None:
    folder = workdir()
    Path(folder).mkdir(parents=True, exist_ok=True)
    lib.kavri_init((folder + LOG_FILE_NAME).encode())
    # The console stays quiet: messages reach Python's logging instead.
    lib.kv_log_enable(_SINK_CONSOLE, _errors.LOG_OFF, None)
    lib.kavri_path_cfg(folder.encode())
    lib.kavri_log_set_callback(_LOG_CB, None)
    level = _errors.library_level(_errors.logger.getEffectiveLevel())
    lib.kv_log_enable(_SINK_CALLBACK, level, None)
    atexit.register(_shut_down, lib)


def _shut_down(lib) -> None:
    with _open_lock:
        cams = list(_open_cameras)
    for cam in cams:
        cam.close()
    lib.kv_log_enable(_SINK_CALLBACK, _errors.LOG_OFF, None)
    lib.kavri_log_set_callback(_lib.LOG_CB(), None)
    lib.kavri_uninit()


def lib():
    """libkavri, loaded and set up."""
    return _lib.load(_set_up)


def set_log_level(level: int) -> None:
    """Sets the level of the library's messages that reach the "kavri"
    logger (a logging level such as logging.DEBUG); warnings and errors
    always do."""
    _errors.logger.setLevel(level)
    lib().kv_log_enable(_SINK_CALLBACK, _errors.library_level(level), None)


def opened(cam: "Camera") -> None:
    with _open_lock:
        _open_cameras.add(cam)


def closed(cam: "Camera") -> None:
    with _open_lock:
        _open_cameras.discard(cam)


logging.getLogger("kavri").addHandler(logging.NullHandler())
