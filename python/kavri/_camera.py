"""Cameras: listing, opening, parameters, registers, capture, callbacks,
raw recordings and flash images."""

from __future__ import annotations

import contextlib
import ctypes
import os
import threading
import time
from dataclasses import dataclass
from typing import Callable, Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from . import _core, _errors, _lib
from ._core import lib
from ._frame import Frame, _Scratch
from ._params import Filters, Params, param_item

_LIST_MAX = 32
_FIRST_FETCH_BYTES = 4 << 20  # room for the first frame, before its size is known
_WAIT_SLICE_S = 0.25  # waits are cut into slices so Ctrl-C and close get through
_ERR_BAD_ARGS, _ERR_NOT_CAPTURING = -1, -2
_IF_REPLAY = 1
_PACINGS = {"fast": 0, "realtime": 1, "step": 2}
_REC_ERRORS = {
    -1: "bad argument or closed handle",
    -2: "the file cannot be created, opened or written",
    -3: "not a recording, another version, or damaged",
    -4: "already recording, or not recording",
    -5: "the camera is live, not a replay",
    -6: "no such frame, time or event",
}

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class CameraInfo:
    """A camera on the USB buses (or the camera a recording was made with)."""

    bus: int
    port: int
    address: int
    speed: int  #: libusb speed code: 3 high, 4 super
    product: str
    ident: str
    versions: Tuple[int, int, int, int]  #: hardware, software, bootloader, fourth
    uid: bytes

    @property
    def location(self) -> str:
        """"bus:port", as kavri.open(location=...) takes it."""
        return f"{self.bus}:{self.port}"


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def _info_of(dev: _lib.Dev) -> CameraInfo:
    usb = bytes(dev.if_info)
    return CameraInfo(
        bus=usb[0],
        port=usb[1],
        address=usb[2],
        speed=usb[3],
        product=_text(bytes(dev.product)),
        ident=_text(bytes(dev.ident)),
        versions=tuple(int(v) for v in dev.version),
        uid=bytes(dev.uid).rstrip(b"\0"),
    )


def _listed() -> list:
    records = (_lib.Dev * _LIST_MAX)()
    n = lib().kavri_dev_list(records, _LIST_MAX)
    return [_lib.Dev.from_buffer_copy(records[i]) for i in range(max(n, 0))]


_IDENTITY_IDS = (2, 3, 5, 6)  # identification, product, identity bytes, versions


def _read_identity(dev: _lib.Dev) -> CameraInfo:
    """The listed camera's identity, read with a short transport open (no
    calibration is pulled); the bare location when it cannot be read (a
    camera in use by another program)."""
    ll = _lib.Ll()
    ll.if_type = dev.if_type
    ll.if_info = dev.if_info
    ll.located = dev.located
    if not lib().kavri_ll_dev_open(ctypes.byref(ll)):
        return _info_of(dev)
    try:
        items = (_lib.LlParamItem * len(_IDENTITY_IDS))()
        for it, pid in zip(items, _IDENTITY_IDS):
            it.param_id = pid
        if not lib().kavri_ll_param_get(ctypes.byref(ll), items, len(items)):
            return _info_of(dev)
    finally:
        lib().kavri_ll_dev_close(ctypes.byref(ll))
    vals = [bytes(it.param_val[: min(it.param_val_len, _lib.PARAM_WIRE_VAL_SIZE)])
            for it in items]
    found = _lib.Dev.from_buffer_copy(dev)
    found.ident, found.product = vals[0][:31], vals[1][:31]
    ctypes.memmove(found.uid, vals[2], min(len(vals[2]), 32))
    for i in range(min(4, len(vals[3]) // 2)):
        found.version[i] = int.from_bytes(vals[3][2 * i : 2 * i + 2], "little")
    return _info_of(found)


def cameras() -> list:
    """The cameras attached now, as CameraInfo records, each camera's
    identity read briefly from it (a camera another program holds shows
    only its location)."""
    _errors.begin_call()
    return [_read_identity(d) for d in _listed()]


def _location_of(location) -> Tuple[int, int]:
    if isinstance(location, str):
        try:
            bus, port = (int(x) for x in location.split(":"))
        except ValueError:
            raise ValueError(f'location {location!r} is not "bus:port"') from None
        return bus, port
    bus, port = location
    return int(bus), int(port)


def open(ident: Optional[str] = None, location=None) -> "Camera":
    """Opens a camera: the first one, the one at location ("bus:port" or a
    (bus, port) pair) or the one whose identification is ident. Blocks
    while the camera opens (seconds when its calibration is first pulled
    into the working folder). Use as a context manager, or close() it.
    Raises NotFoundError, AccessError or Error."""
    _errors.begin_call()
    found = _listed()
    if not found:
        _errors.fail(_errors.NotFoundError, "no camera found on the USB buses",
                     "plug the camera in; `kavri-cli doctor` tells more")
    if location is not None:
        want = _location_of(location)
        found = [d for d in found if (d.if_info[0], d.if_info[1]) == want]
        if not found:
            _errors.fail(_errors.NotFoundError, f"no camera at {want[0]}:{want[1]}")
    if ident is None:
        return Camera._open(found[0])
    for d in found:
        if _read_identity(d).ident == ident:
            return Camera._open(d)
    _errors.fail(_errors.NotFoundError, f"no camera with identification {ident!r}")
    raise AssertionError  # not reached


def open_recording(path: PathLike, pacing: str = "fast", loop: bool = False) -> "Camera":
    """Opens a raw recording as a camera: the same capture, conversions and
    filters, its frames decoded again by this library. pacing: "fast" (as
    fast as frames are taken, none dropped), "realtime" (at the recorded
    times) or "step" (one frame per fetch); loop: start again at the end.
    Parameter reads answer the recorded values; writes are refused. The
    camera's .replay gives position, seeking and events."""
    dev = _lib.Dev()
    opts = _rec_options(pacing, loop)
    _errors.begin_call()
    if not lib().kavri_rec_open(ctypes.byref(dev), os.fsencode(path), ctypes.byref(opts)):
        _errors.fail(_errors.RecordingError, f"cannot open the recording {os.fspath(path)}")
    return Camera(dev)


def _rec_options(pacing: str, loop: bool) -> _lib.RecOptions:
    if pacing not in _PACINGS:
        raise ValueError(f"pacing must be one of {sorted(_PACINGS)}")
    opts = _lib.RecOptions()
    opts.pacing = _PACINGS[pacing]
    opts.loop = 1 if loop else 0
    return opts


# ---- callbacks: one C trampoline each, the camera found by its record ----

_by_record: dict = {}  # address of a camera's record -> Camera
_by_record_lock = threading.Lock()  # guards _by_record


def _camera_of(dev_ptr) -> Optional["Camera"]:
    with _by_record_lock:
        return _by_record.get(ctypes.addressof(dev_ptr.contents))


def _frame_trampoline(dev_ptr, frame_ptr) -> None:
    cam = _camera_of(dev_ptr)
    if cam is not None:
        cam._deliver(frame_ptr.contents)


def _error_trampoline(dev_ptr, error, arg) -> int:
    cam = _camera_of(dev_ptr)
    return cam._on_capture_error(error, arg) if cam is not None else 1


_FRAME_CB = _lib.FRAME_CB(_frame_trampoline)
_ERROR_CB = _lib.ERROR_CB(_error_trampoline)
_NO_FRAME_CB = _lib.FRAME_CB()


class Replay:
    """Position and seeking of a camera opened from a raw recording."""

    def __init__(self, cam: "Camera"):
        self._cam = cam

    def _check(self, r: int, what: str) -> None:
        if r != 0:
            self._cam._raise_if_closed()
            _errors.fail(_errors.RecordingError, f"{what}: {_REC_ERRORS.get(r, r)}")

    def info(self) -> dict:
        """What the recording holds and where the replay stands: frame_count,
        duration (s), transfer_count, byte_count, event_count, position (the
        next frame), ended, damaged, format_version."""
        info = _lib.RecInfo()
        _errors.begin_call()
        self._check(lib().kavri_rec_get_info(self._cam._dev_ptr(), ctypes.byref(info)), "info")
        return {
            "format_version": info.format_version,
            "frame_count": info.frame_count,
            "duration": info.duration_ns / 1e9,
            "transfer_count": info.transfer_count,
            "byte_count": info.byte_count,
            "event_count": info.event_count,
            "position": info.position,
            "ended": bool(info.ended),
            "damaged": bool(info.damaged),
        }

    @property
    def frame_count(self) -> int:
        return self.info()["frame_count"]

    @property
    def position(self) -> int:
        """The index of the frame the replay delivers next."""
        return self.info()["position"]

    def seek(self, frame: int) -> None:
        """The next frame delivered is frame `frame` (0-based)."""
        _errors.begin_call()
        self._check(lib().kavri_rec_seek(self._cam._dev_ptr(), int(frame)), f"seek to {frame}")

    def seek_time(self, seconds: float) -> None:
        """The next frame is the first one completed at or after `seconds`
        from the recording's start."""
        _errors.begin_call()
        r = lib().kavri_rec_seek_time(self._cam._dev_ptr(), int(seconds * 1e9))
        self._check(r, f"seek to {seconds} s")

    def set_options(self, pacing: str = "fast", loop: bool = False) -> None:
        opts = _rec_options(pacing, loop)
        _errors.begin_call()
        self._check(lib().kavri_rec_set_options(self._cam._dev_ptr(), ctypes.byref(opts)),
                    "options")

    def events(self) -> list:
        """The recorded events in time order, as dicts (t: seconds since the
        start, kind, id, addr, value bytes, frame: the frame reached next)."""
        out = []
        ev = _lib.RecEvent()
        for i in range(self.info()["event_count"]):
            self._check(lib().kavri_rec_get_event(self._cam._dev_ptr(), i, ctypes.byref(ev)),
                        f"event {i}")
            out.append({
                "t": ev.t_ns / 1e9,
                "kind": ev.kind,
                "id": ev.id,
                "addr": ev.addr,
                "value": bytes(ev.value[: ev.len]),
                "frame": ev.frames_fetched,
            })
        return out


class Camera:
    """An open camera (or replay). Any method may be called from any thread;
    commands on one camera run one at a time. Only one thread at a time may
    fetch frames (frames(), snapshot(), wait()). Every blocking call lets
    other Python threads run."""

    def __init__(self, dev: _lib.Dev):
        self._dev = dev
        self._ptr = ctypes.pointer(dev)
        self._addr = ctypes.addressof(dev)
        self._scratch = _Scratch()
        self._frame_bytes = 0  # learnt from the first frame
        self._lock = threading.Lock()  # guards the callback state below
        self._on_frame: Optional[Callable[[Frame], None]] = None
        self._on_error: Optional[Callable[[_errors.CaptureError], bool]] = None
        self._pending: Optional[BaseException] = None
        self._capture_error: Optional[int] = None  # reported while no frame was fetched
        self._closed = False
        self.info: CameraInfo = _info_of(dev)
        self.params = Params(self)
        self.filters = Filters(self)
        self.replay: Optional[Replay] = Replay(self) if dev.if_type == _IF_REPLAY else None
        with _by_record_lock:
            _by_record[self._addr] = self
        _core.opened(self)
        lib().kavri_cap_set_callback_on_error(self._ptr, _ERROR_CB)

    @classmethod
    def _open(cls, listed: _lib.Dev) -> "Camera":
        dev = _lib.Dev.from_buffer_copy(listed)
        if not lib().kavri_dev_open(ctypes.byref(dev)):
            msgs = " ".join(_errors.call_messages())
            if "ACCESS" in msgs:
                _errors.fail(_errors.AccessError, "the camera may not be opened by this user",
                             _errors.UDEV_HINT)
            _errors.fail(_errors.Error, "the camera cannot be opened", _errors.UDEV_HINT)
        return cls(dev)

    # ---- life ------------------------------------------------------------
    def close(self) -> None:
        """Closes the camera: a running capture stops, calls under way on
        other threads return (their waits end). Harmless when closed."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        lib().kavri_dev_close(self._ptr)
        with _by_record_lock:
            _by_record.pop(self._addr, None)
        _core.closed(self)

    @property
    def closed(self) -> bool:
        return self._closed or not self._dev.ll

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        kind = "replay" if self.replay else self.info.location
        return f"<kavri.Camera {self.info.product} {self.info.ident} at {kind}, {state}>"

    def _dev_ptr(self):
        if self._closed:
            raise _errors.ClosedError("the camera is closed")
        return self._ptr

    def _raise_if_closed(self) -> None:
        if self.closed:
            raise _errors.ClosedError("the camera is closed", _errors.call_messages())

    # ---- parameters and registers ------------------------------------------
    def param(self, pid: int) -> bytes:
        """The value bytes of parameter pid as the camera answers them."""
        it = param_item(pid)
        _errors.begin_call()
        if lib().kavri_param_batch_get(self._dev_ptr(), ctypes.byref(it), 1) != 1:
            self._raise_if_closed()
            _errors.fail(_errors.RefusedError, f"the camera did not answer parameter {pid}")
        return bytes(it.param_val[: min(it.param_val_len, _lib.PARAM_WIRE_VAL_SIZE)])

    def set_param(self, pid: int, value: Union[bytes, int], length: Optional[int] = None) -> None:
        """Sets parameter pid to value (bytes, or an int sent little-endian
        in `length` bytes, 4 by default)."""
        if isinstance(value, int):
            value = value.to_bytes(length or 4, "little")
        it = param_item(pid, bytes(value))
        _errors.begin_call()
        if lib().kavri_param_batch_set(self._dev_ptr(), ctypes.byref(it), 1) != 1:
            self._raise_if_closed()
            _errors.fail(_errors.RefusedError, f"the camera refused parameter {pid}")

    def read_registers(self, target: int, addr: int, count: int = 1) -> np.ndarray:
        """count 32-bit registers from addr of register space target, as a
        uint32 array."""
        if not 0 < count <= 0xFFFF:
            raise ValueError("count must be 1 to 65535")
        out = np.zeros(count, dtype=np.uint32)
        _errors.begin_call()
        if lib().kavri_reg_batch_read(self._dev_ptr(), target, addr, out.ctypes.data, count) != 1:
            self._raise_if_closed()
            _errors.fail(_errors.Error, f"register read {target}/{addr} x{count} failed")
        return out

    def write_registers(self, target: int, addr: int, values: Union[int, Sequence[int]]) -> None:
        """Writes 32-bit values to the registers from addr of space target."""
        v = np.ascontiguousarray(np.atleast_1d(np.asarray(values, dtype=np.uint32)))
        if not 0 < v.size <= 0xFFFF:
            raise ValueError("write 1 to 65535 registers")
        _errors.begin_call()
        if lib().kavri_reg_batch_write(self._dev_ptr(), target, addr, v.ctypes.data, v.size) != 1:
            self._raise_if_closed()
            _errors.fail(_errors.Error, f"register write {target}/{addr} x{v.size} failed")

    def reset(self, target: int = 3) -> None:
        """Resets part of the camera (3: its USB interface; the camera
        comes back within a few seconds)."""
        _errors.begin_call()
        if lib().kavri_dev_reset(self._dev_ptr(), target) != 1:
            self._raise_if_closed()
            _errors.fail(_errors.Error, f"reset {target} failed")

    # ---- capture -----------------------------------------------------------
    @property
    def capturing(self) -> bool:
        return not self._closed and lib().kavri_cap_is_ongoing(self._ptr) == 1

    def start(self) -> None:
        """Starts the capture (a running one is restarted)."""
        with self._lock:
            self._pending = self._capture_error = None
        _errors.begin_call()
        if lib().kavri_cap_start(self._dev_ptr()) != 1:
            self._raise_if_closed()
            _errors.fail(_errors.Error, "the capture cannot start")

    def stop(self) -> None:
        """Stops the capture; waits on other threads return."""
        if not self._closed:
            lib().kavri_cap_stop(self._ptr)

    @contextlib.contextmanager
    def capture(self) -> Iterator["Camera"]:
        """with cam.capture(): ... runs a capture for the block."""
        self.start()
        try:
            yield self
        finally:
            self.stop()

    def _fetch(self, timeout: float, snapshot: bool = False) -> Optional[Frame]:
        """One frame: None when the capture stopped; raises TimeoutError
        after `timeout` seconds without a frame (the library's own wait is
        about 2 s, so shorter time-outs end after that)."""
        deadline = time.monotonic() + timeout
        while True:
            size = self._frame_bytes or _FIRST_FETCH_BYTES
            buf = np.empty(size, dtype=np.uint8)
            info = _lib.FrameInfo()
            _errors.begin_call()
            if snapshot:
                n = lib().kavri_cap_snapshot(self._dev_ptr(), buf.ctypes.data, size,
                                             ctypes.byref(info))
            else:
                n = lib().kavri_cap_get_frames(self._dev_ptr(), 1, buf.ctypes.data, size,
                                               ctypes.byref(info))
            if n == 1:
                if info.frame_size > size:  # cut short: the next fetch has room
                    _errors.logger.warning("frame of %d bytes did not fit %d: skipped",
                                           info.frame_size, size)
                    self._frame_bytes = info.frame_size
                    continue
                if self._frame_bytes != info.frame_size:
                    self._frame_bytes = info.frame_size
                    buf = buf[: info.frame_size].copy()
                return Frame(self, buf, info)
            self._raise_if_closed()
            with self._lock:
                code, self._capture_error = self._capture_error, None
            if code is not None:
                self._raise_capture_error(code)
            if n == _ERR_NOT_CAPTURING:
                return None
            if n < 0 and n != _ERR_BAD_ARGS:
                self._raise_capture_error(n)
            if n == _ERR_BAD_ARGS:
                _errors.fail(_errors.Error, "another thread is fetching frames of this camera")
            if time.monotonic() >= deadline or snapshot:
                _errors.fail(_errors.TimeoutError, f"no frame within {timeout:g} s")

    def _raise_capture_error(self, code: int) -> None:
        name = lib().kavri_error_name(code).decode()
        raise _errors.CaptureError(code, name, _errors.call_messages())

    def frames(self, count: Optional[int] = None, timeout: float = 2.0) -> Iterator[Frame]:
        """Frames as they arrive, `count` of them or until the capture stops.
        Starts the capture when none runs (and stops it at the end). Each
        frame is a new object that stays intact however long it is kept.
        Raises TimeoutError after `timeout` seconds without a frame,
        CaptureError when the capture reports an error."""
        started = not self.capturing
        if started:
            self.start()
        try:
            n = 0
            while count is None or n < count:
                frame = self._fetch(timeout)
                if frame is None:
                    return
                n += 1
                yield frame
        finally:
            if started:
                self.stop()

    def next_frame(self, timeout: float = 2.0) -> Frame:
        """The next frame of the running capture."""
        frame = self._fetch(timeout)
        if frame is None:
            _errors.fail(_errors.Error, "the capture is not running")
        return frame

    def snapshot(self) -> Frame:
        """One frame; a capture is started and stopped around it when none
        runs."""
        return self._fetch(0.0, snapshot=True)

    # ---- callbacks ----------------------------------------------------------
    def on_frame(self, fn: Optional[Callable[[Frame], None]]) -> None:
        """fn(frame) runs for every frame inside wait(), on the waiting
        thread. An exception from fn stops the capture and is raised by
        wait(). None removes it."""
        with self._lock:
            self._on_frame = fn
        lib().kavri_cap_set_callback_on_frame_ready(self._dev_ptr(),
                                                    _FRAME_CB if fn else _NO_FRAME_CB)

    def on_error(self, fn: Optional[Callable[[_errors.CaptureError], bool]]) -> None:
        """fn(error) runs when the capture reports an error; return True to
        go on, False to stop delivering frames until the next start."""
        with self._lock:
            self._on_error = fn

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Delivers frames to on_frame's function until the capture stops
        (True) or timeout seconds pass (False; None: no limit). Raises what
        a callback raised."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = _WAIT_SLICE_S if deadline is None else min(_WAIT_SLICE_S,
                                                               deadline - time.monotonic())
            if left <= 0:
                return False
            _errors.begin_call()
            r = lib().kavri_cap_wait(self._dev_ptr(), max(1, int(left * 1000)))
            with self._lock:
                pending, self._pending = self._pending, None
            if pending is not None:
                raise pending
            if r == 1 or not self.capturing:
                return True
            if r < 0:
                self._raise_if_closed()
                _errors.fail(_errors.Error, "another thread is fetching frames of this camera")

    def _deliver(self, cframe: _lib.CFrame) -> None:
        with self._lock:
            fn = self._on_frame
            if fn is None or self._pending is not None:
                return
        info = _lib.FrameInfo.from_buffer_copy(cframe.frame_info)
        raw = np.empty(info.frame_size, dtype=np.uint8)
        ctypes.memmove(raw.ctypes.data, cframe.frame_data, info.frame_size)
        try:
            fn(Frame(self, raw, info))
        except BaseException as e:  # handed to wait(), which raises it
            with self._lock:
                self._pending = e
            lib().kavri_cap_stop(self._ptr)

    def _on_capture_error(self, code: int, arg: int) -> int:
        with self._lock:
            fn = self._on_error
            if fn is None and code < 0:
                self._capture_error = code  # raised by the fetch that finds no frame
        if fn is None:
            return 1
        name = lib().kavri_error_name(code).decode()
        try:
            return 1 if fn(_errors.CaptureError(code, name, [f"argument {arg}"])) else 0
        except BaseException as e:
            with self._lock:
                self._pending = e
            return 0

    # ---- raw recording --------------------------------------------------------
    @contextlib.contextmanager
    def record(self, path: PathLike) -> Iterator["Camera"]:
        """with cam.record("session.kvr"): ... records the raw stream and every
        change into a file that kavri.open_recording replays."""
        self.start_recording(path)
        try:
            yield self
        finally:
            self.stop_recording()

    def start_recording(self, path: PathLike) -> None:
        _errors.begin_call()
        r = lib().kavri_rec_start(self._dev_ptr(), os.fsencode(path))
        if r != 0:
            self._raise_if_closed()
            _errors.fail(_errors.RecordingError,
                         f"cannot record to {os.fspath(path)}: {_REC_ERRORS.get(r, r)}")

    def stop_recording(self) -> dict:
        """Finishes the file; returns the recording's counters."""
        _errors.begin_call()
        r = lib().kavri_rec_stop(self._dev_ptr())
        if r != 0:
            _errors.fail(_errors.RecordingError, f"stop recording: {_REC_ERRORS.get(r, r)}")
        return self.recording_stats()

    def recording_stats(self) -> dict:
        """Counters of the running (or last) recording: transfers, bytes,
        lost_transfers, lost_bytes, events, frames, queue_peak, write_errors,
        active."""
        s = _lib.RecStats()
        _errors.begin_call()
        r = lib().kavri_rec_get_stats(self._dev_ptr(), ctypes.byref(s))
        if r != 0:
            _errors.fail(_errors.RecordingError, f"recording stats: {_REC_ERRORS.get(r, r)}")
        return {name: (bool(getattr(s, name)) if name == "active" else int(getattr(s, name)))
                for name, _ in _lib.RecStats._fields_ if name != "reserved"}

    # ---- flash images -------------------------------------------------------
    def download(self, path: PathLike, type: int, version: int = 0,
                 progress: Optional[Callable[[str, int, int], None]] = None) -> None:
        """Writes the image file at path into the camera's flash as data
        `type` with `version`. progress(phase, done, total): phase "erase"
        (done: ms waited), "transfer" (bytes) or "reset" (ms)."""
        with _progress(progress):
            _errors.begin_call()
            r = lib().kavri_data_download(self._dev_ptr(), os.fsencode(path), type, version, 0)
        self._data_result(r, f"download of {os.fspath(path)}")

    def firmware_upgrade(self, path: PathLike, type: int = 0, version: int = 0,
                         progress: Optional[Callable[[str, int, int], None]] = None) -> None:
        """Writes a firmware image (types 0 to 3 restart the camera: the call
        waits for it)."""
        with _progress(progress):
            _errors.begin_call()
            r = lib().kavri_firmware_upgrade(self._dev_ptr(), type, version, os.fsencode(path))
        self._data_result(r, f"firmware upgrade from {os.fspath(path)}")

    def upload(self, type: int, path: PathLike,
               progress: Optional[Callable[[str, int, int], None]] = None) -> None:
        """Reads the camera's image of `type` into the file at path."""
        with _progress(progress):
            _errors.begin_call()
            r = lib().kavri_data_upload(self._dev_ptr(), type, os.fsencode(path))
        self._data_result(r, f"upload of type {type}")

    def _data_result(self, r: int, what: str) -> None:
        if r >= 0:
            return
        self._raise_if_closed()
        cls = _errors.RefusedError if r == -100 else _errors.Error
        _errors.fail(cls, f"{what} failed ({r})")


_PHASES = {0: "erase", 1: "transfer", 2: "reset"}
_progress_lock = threading.Lock()  # the library's progress callback is process-wide


@contextlib.contextmanager
def _progress(fn):
    if fn is None:
        yield
        return

    def tramp(phase, done, total, _arg):
        try:
            fn(_PHASES.get(phase, str(phase)), done, total)
        except Exception as e:  # a progress display must not break the transfer
            _errors.logger.warning("progress callback raised %r", e)

    cb = _lib.PROGRESS_CB(tramp)
    with _progress_lock:
        lib().kavri_data_set_progress_callback(cb, None)
        try:
            yield
        finally:
            lib().kavri_data_set_progress_callback(_lib.PROGRESS_CB(), None)
