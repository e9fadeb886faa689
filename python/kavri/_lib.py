"""Loading libkavri and its C records and prototypes (ctypes).

The library is loaded on first use, not at import, so that
:mod:`kavri.testing` can put the camera simulator ahead of it.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_char,
    c_char_p,
    c_double,
    c_float,
    c_int,
    c_int16,
    c_int32,
    c_uint,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from pathlib import Path
from typing import Optional

LIBRARY_NAME = "libkavri.so.1"
LIBRARY_ENV = "KAVRI_LIBRARY"

# ---- records (the public headers' layouts) --------------------------------

IF_INFO_SIZE = 40
PARAM_VAL_SIZE = 19
PARAM_WIRE_VAL_SIZE = 18
CAP_FRAME_BYTES = 307200
REC_EVENT_VALUE_SIZE = 20


class Dev(Structure):
    _fields_ = [
        ("ll", c_void_p),
        ("if_type", c_uint32),
        ("if_info", c_uint8 * IF_INFO_SIZE),
        ("product", c_char * 32),
        ("ident", c_char * 32),
        ("uid", c_uint8 * 32),
        ("version", c_uint16 * 4),
        ("path", c_char_p),
        ("reserved", c_uint8 * 12),
        ("located", c_uint8),
        ("alloc_by_lib", c_uint8),
        ("api_busy", c_uint8),
    ]


class Ll(Structure):
    _fields_ = [
        ("state", c_void_p),
        ("if_type", c_uint32),
        ("if_info", c_uint8 * IF_INFO_SIZE),
        ("ops", c_void_p),
        ("located", c_uint8),
    ]


class LlParamItem(Structure):
    _fields_ = [
        ("param_id", c_uint8),
        ("param_val_len", c_uint8),
        ("param_val", c_uint8 * PARAM_WIRE_VAL_SIZE),
    ]


class FrameInfo(Structure):
    _fields_ = [
        ("frame_size", c_uint32),
        ("frame_format", c_uint16),
        ("frame_idx", c_uint16),
        ("width", c_uint32),
        ("height", c_uint32),
        ("pixel_width", c_uint8),
        ("reserved0", c_uint8),
        ("reserved1", c_uint16),
    ]


class CFrame(Structure):
    _fields_ = [("frame_info", FrameInfo), ("frame_data", POINTER(c_uint8))]


class ParamItem(Structure):
    _fields_ = [
        ("param_id", c_uint32),
        ("param_val_len", c_uint8),
        ("param_val", c_uint8 * PARAM_VAL_SIZE),
    ]


class LensParam(Structure):
    _fields_ = [
        ("cx", c_float),
        ("cy", c_float),
        ("fx", c_float),
        ("fy", c_float),
        ("dist_scale", c_float),
    ]


class RecOptions(Structure):
    _fields_ = [("pacing", c_uint32), ("loop", c_uint8), ("reserved", c_uint8 * 3)]


class RecStats(Structure):
    _fields_ = [
        ("transfers", c_uint64),
        ("bytes", c_uint64),
        ("lost_transfers", c_uint64),
        ("lost_bytes", c_uint64),
        ("events", c_uint64),
        ("frames", c_uint32),
        ("queue_peak", c_uint32),
        ("write_errors", c_uint32),
        ("active", c_uint8),
        ("reserved", c_uint8 * 3),
    ]


class RecInfo(Structure):
    _fields_ = [
        ("format_version", c_uint32),
        ("frame_count", c_uint32),
        ("duration_ns", c_uint64),
        ("transfer_count", c_uint64),
        ("byte_count", c_uint64),
        ("event_count", c_uint32),
        ("position", c_uint32),
        ("ended", c_uint8),
        ("damaged", c_uint8),
        ("reserved", c_uint8 * 6),
    ]


class RecEvent(Structure):
    _fields_ = [
        ("t_ns", c_uint64),
        ("transfer", c_uint64),
        ("kind", c_uint32),
        ("id", c_uint32),
        ("addr", c_uint32),
        ("len", c_uint32),
        ("value", c_uint8 * REC_EVENT_VALUE_SIZE),
        ("frames_fetched", c_uint32),
        ("reserved", c_uint32 * 2),
    ]


class OniFile(Structure):
    # Only the library touches the fields; Python keeps the memory.
    _fields_ = [
        ("record_buf", c_void_p),
        ("record_capacity", c_uint32),
        ("record_cursor", c_uint32),
        ("fp", c_void_p),
        ("max_node_id", c_uint16),
        ("streams", c_void_p * 4),
        ("config_id", c_uint32),
        ("first_frame_written", c_uint8),
    ]


class OniStreamConfig(Structure):
    _fields_ = [
        ("kind", c_int32),
        ("pixel_format", c_int32),
        ("max_depth", c_int32),
        ("x_res", c_int32),
        ("y_res", c_int32),
        ("bytes_per_pixel", c_int32),
        ("fps", c_int32),
    ]


# Layouts the headers fix (static_assert there); a mismatch here would
# corrupt memory, so it stops the import.
assert ctypes.sizeof(Dev) == 184 and Dev.located.offset == 180
assert ctypes.sizeof(FrameInfo) == 20
assert ctypes.sizeof(ParamItem) == 24
assert ctypes.sizeof(RecOptions) == 8
assert ctypes.sizeof(RecStats) == 56
assert ctypes.sizeof(RecInfo) == 48
assert ctypes.sizeof(RecEvent) == 64 and RecEvent.value.offset == 32

FRAME_CB = CFUNCTYPE(None, POINTER(Dev), POINTER(CFrame))
ERROR_CB = CFUNCTYPE(c_uint8, POINTER(Dev), c_int32, c_uint32)
LOG_CB = CFUNCTYPE(None, c_uint, c_char_p, c_void_p)
PROGRESS_CB = CFUNCTYPE(None, c_uint32, c_uint32, c_uint32, c_void_p)

_DEV = POINTER(Dev)
_INFO = POINTER(FrameInfo)

# name: (result, argument types)
_PROTOTYPES = {
    "kavri_init": (c_int, [c_char_p]),
    "kavri_uninit": (None, []),
    "kavri_path_cfg": (c_int, [c_char_p]),
    "kv_log_enable": (c_int, [c_uint, c_uint, c_char_p]),
    "kavri_log_set_callback": (c_int, [LOG_CB, c_void_p]),
    "kavri_error_name": (c_char_p, [c_int32]),
    "kavri_dev_list": (c_int, [_DEV, c_int]),
    "kavri_dev_open": (_DEV, [_DEV]),
    "kavri_ll_dev_open": (c_void_p, [POINTER(Ll)]),
    "kavri_ll_dev_close": (None, [POINTER(Ll)]),
    "kavri_ll_param_get": (c_uint8, [POINTER(Ll), POINTER(LlParamItem), c_uint32]),
    "kavri_dev_close": (None, [_DEV]),
    "kavri_dev_reset": (c_int, [_DEV, c_uint32]),
    "kavri_reg_batch_write": (c_int, [_DEV, c_uint8, c_uint32, c_void_p, c_uint16]),
    "kavri_reg_batch_read": (c_int, [_DEV, c_uint8, c_uint32, c_void_p, c_uint16]),
    "kavri_param_batch_set": (c_int, [_DEV, POINTER(ParamItem), c_int]),
    "kavri_param_batch_get": (c_int, [_DEV, POINTER(ParamItem), c_int]),
    "kavri_cap_set_frame_buffer": (c_int, [_DEV, c_void_p, c_uint32]),
    "kavri_cap_set_callback_on_frame_ready": (None, [_DEV, FRAME_CB]),
    "kavri_cap_set_callback_on_error": (None, [_DEV, ERROR_CB]),
    "kavri_cap_is_ongoing": (c_int, [_DEV]),
    "kavri_cap_start": (c_int, [_DEV]),
    "kavri_cap_stop": (c_int, [_DEV]),
    "kavri_cap_get_frames": (c_int, [_DEV, c_int, c_void_p, c_uint32, _INFO]),
    "kavri_cap_snapshot": (c_int, [_DEV, c_void_p, c_uint32, _INFO]),
    "kavri_cap_wait": (c_int, [_DEV, c_uint32]),
    "kavri_frame_get_distance": (
        c_int,
        [_DEV, c_void_p, c_uint32, c_void_p, c_uint32, _INFO],
    ),
    "kavri_frame_get_gray": (c_int, [_DEV, c_void_p, c_uint32, c_void_p, c_uint32, _INFO]),
    "kavri_frame_get_pcl": (
        c_int,
        [_DEV, c_void_p, c_uint32, c_void_p, c_uint32, c_uint32, c_uint32, POINTER(LensParam)],
    ),
    "kavri_frame_get_confidence": (
        c_int,
        [_DEV, c_void_p, c_uint32, c_void_p, c_uint32, _INFO, c_void_p, c_uint32],
    ),
    "kavri_frame_get_pcl_confident": (
        c_int,
        [_DEV, c_void_p, c_uint32, c_void_p, c_uint32, c_void_p, c_uint32, c_uint8,
         c_uint32, c_uint32, POINTER(LensParam)],
    ),
    "kavri_filter_enable": (c_int, [_DEV, c_int, c_void_p, c_uint32]),
    "kavri_temporal_set": (c_int, [_DEV, c_uint16, c_uint8]),
    "kavri_temporal_get": (
        c_int,
        [_DEV, POINTER(c_uint16), POINTER(c_uint16), POINTER(c_uint8)],
    ),
    "kavri_filter_disable": (c_int, [_DEV, c_int]),
    "kavri_frame_save_distance": (c_int, [c_int, c_int, c_void_p, c_uint32, c_uint32, c_uint32]),
    "kavri_frame_save_gray": (c_int, [c_int, c_int, c_void_p, c_uint32, c_uint32, c_uint32]),
    "kavri_frame_load_distance": (
        c_int,
        [c_int, c_void_p, c_int, POINTER(c_uint32), POINTER(c_uint32)],
    ),
    "kavri_frame_load_gray": (c_int, [c_int, c_void_p, c_int, POINTER(c_uint32), POINTER(c_uint32)]),
    "kavri_cmap_float": (c_int32, [c_void_p, c_int32, c_void_p, c_int32, c_int32, c_float, c_float]),
    "kavri_data_download": (c_int32, [_DEV, c_char_p, c_uint8, c_uint16, c_uint32]),
    "kavri_firmware_upgrade": (c_int32, [_DEV, c_uint8, c_uint16, c_char_p]),
    "kavri_data_upload": (c_int32, [_DEV, c_uint8, c_char_p]),
    "kavri_data_set_progress_callback": (None, [PROGRESS_CB, c_void_p]),
    "kavri_rec_start": (c_int32, [_DEV, c_char_p]),
    "kavri_rec_stop": (c_int32, [_DEV]),
    "kavri_rec_get_stats": (c_int32, [_DEV, POINTER(RecStats)]),
    "kavri_rec_open": (_DEV, [_DEV, c_char_p, POINTER(RecOptions)]),
    "kavri_rec_get_info": (c_int32, [_DEV, POINTER(RecInfo)]),
    "kavri_rec_seek": (c_int32, [_DEV, c_uint32]),
    "kavri_rec_seek_time": (c_int32, [_DEV, c_uint64]),
    "kavri_rec_set_options": (c_int32, [_DEV, POINTER(RecOptions)]),
    "kavri_rec_get_event": (c_int32, [_DEV, c_uint32, POINTER(RecEvent)]),
    "oni_open": (c_int, [POINTER(OniFile), c_char_p]),
    "oni_stream_open": (c_void_p, [POINTER(OniFile), POINTER(OniStreamConfig)]),
    "oni_stream_save_frame": (None, [c_void_p, c_void_p, c_uint32, c_uint64]),
    "oni_close": (None, [POINTER(OniFile)]),
}

_lock = threading.Lock()  # guards _lib and the load; taken only at load
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None


def _candidates() -> list[str]:
    """Where libkavri may be, in order: $KAVRI_LIBRARY, next to the package,
    the prefix the package was installed with, then the system's loader."""
    env = os.environ.get(LIBRARY_ENV)
    if env:
        return [env]
    here = Path(__file__).resolve().parent
    found = [str(here / LIBRARY_NAME), str(here / "libkavri.so")]
    try:
        from . import _install  # written by cmake --install

        found.append(str(Path(_install.LIBDIR) / LIBRARY_NAME))
    except ImportError:
        pass
    found.append(ctypes.util.find_library("kavri") or LIBRARY_NAME)
    return found


def _bind(lib: ctypes.CDLL) -> None:
    for name, (res, args) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = res
        fn.argtypes = args


def is_loaded() -> bool:
    return _lib is not None


def library_path() -> Optional[str]:
    """The file libkavri was loaded from, None before the first use."""
    return _lib_path


def load(on_load=None) -> ctypes.CDLL:
    """libkavri, loaded and set up on the first call; on_load(lib) runs once
    right after the load (the package's log and working folder set-up)."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    with _lock:
        if _lib is not None:
            return _lib
        tried = []
        for path in _candidates():
            if os.sep in path and not os.path.exists(path):
                tried.append(path)
                continue
            try:
                lib = ctypes.CDLL(path)
            except OSError as e:
                tried.append(f"{path} ({e})")
                continue
            _bind(lib)
            if on_load is not None:
                on_load(lib)
            _lib, _lib_path = lib, path
            return lib
        from ._errors import LibraryNotFoundError

        raise LibraryNotFoundError(
            "libkavri cannot be loaded; tried: " + "; ".join(tried),
            hint=f"install the library, or set {LIBRARY_ENV} to the path of {LIBRARY_NAME}",
        )


# Used by other modules for record arrays and numbers.
__all__ = [
    "CFrame",
    "Dev",
    "FrameInfo",
    "LensParam",
    "OniFile",
    "OniStreamConfig",
    "ParamItem",
    "RecEvent",
    "RecInfo",
    "RecOptions",
    "RecStats",
    "c_double",
    "c_int16",
    "load",
]
