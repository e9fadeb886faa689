"""Exceptions, and the library's log routed to Python's logging.

Every failed call raises a :class:`Error` subclass whose message carries
what the library logged on the calling thread during the call (its own
explanation: the camera's reply, the USB error; its warnings and errors,
or when it gave none its notes, such as the end of a frame wait).
"""

from __future__ import annotations

import builtins
import collections
import logging
import threading
from typing import Optional

logger = logging.getLogger("kavri")

# Library log levels (KV_LOG_*).
LOG_TRC, LOG_DBG, LOG_INF, LOG_WRN, LOG_ERR, LOG_OFF = range(6)
_TO_PYTHON = {
    LOG_TRC: logging.DEBUG,
    LOG_DBG: logging.DEBUG,
    LOG_INF: logging.INFO,
    LOG_WRN: logging.WARNING,
    LOG_ERR: logging.ERROR,
}
_KEPT_MESSAGES = 8  # of one call and kind, for its error message


class Error(Exception):
    """A call into the camera library failed.

    ``details`` holds the library's own messages from the failed call;
    ``hint`` what to do about it, when known."""

    def __init__(self, message: str, details: Optional[list[str]] = None, hint: str = ""):
        self.details = list(details or [])
        self.hint = hint
        text = message
        if self.details:
            text += " (library: " + "; ".join(self.details) + ")"
        if hint:
            text += "; " + hint
        super().__init__(text)


class LibraryNotFoundError(Error, ImportError):
    """libkavri (or the simulator library) cannot be loaded."""


class NotFoundError(Error, LookupError):
    """No camera (or no camera matching the request) is attached."""


class AccessError(Error, PermissionError):
    """The camera exists but may not be opened by this user."""


class TimeoutError(Error, builtins.TimeoutError):
    """No frame (or answer) arrived in time."""


class CaptureError(Error):
    """The capture reported an error; ``code`` and ``name`` say which."""

    def __init__(self, code: int, name: str, details=None, hint: str = ""):
        self.code = code
        self.name = name
        super().__init__(f"capture error {name} ({code})", details, hint)


class RefusedError(Error, ValueError):
    """The camera or its driver refused a value or a request."""


class ClosedError(Error):
    """The camera handle is closed."""


class RecordingError(Error):
    """A raw recording cannot be written, opened, read or positioned."""


UDEV_HINT = (
    "check that no other program uses the camera and that you may access it: install the "
    "udev rule (sudo cp 60-kavri.rules /etc/udev/rules.d/ && sudo udevadm control --reload "
    "&& replug the camera); `kavri-cli doctor` tells more"
)

_calls = threading.local()


def begin_call() -> None:
    """Starts collecting the library's messages of this thread: the first
    warnings and errors, and the last notes (info messages)."""
    try:
        _calls.messages.clear()
        _calls.notes.clear()
    except AttributeError:  # this thread's first call
        _calls.messages = []
        _calls.notes = collections.deque(maxlen=_KEPT_MESSAGES)


def call_messages() -> list[str]:
    """The library's explanation of this thread's call since begin_call():
    the warnings and errors it logged, else its notes."""
    return list(getattr(_calls, "messages", None) or getattr(_calls, "notes", None) or [])


def on_log(level: int, text: Optional[bytes]) -> None:
    """The library's log callback (any thread, the USB event threads too)."""
    msg = (text or b"").decode("utf-8", "replace").strip()
    if level >= LOG_WRN:
        kept = getattr(_calls, "messages", None)
        if kept is not None and len(kept) < _KEPT_MESSAGES:
            kept.append(msg)
    elif level == LOG_INF:
        notes = getattr(_calls, "notes", None)
        if notes is not None:
            notes.append(msg)
    py_level = _TO_PYTHON.get(level, logging.ERROR)
    if logger.isEnabledFor(py_level):
        logger.log(py_level, "%s", msg)


def library_level(python_level: int) -> int:
    """The library threshold that feeds a Python level: its notes at least,
    so failed calls can explain themselves (the library gives few, none per
    frame); the logger only sees those its level lets through."""
    if python_level <= logging.DEBUG:
        return LOG_DBG
    return LOG_INF


def fail(cls, message: str, hint: str = ""):
    """Raises cls with this thread's collected library messages."""
    raise cls(message, call_messages(), hint)
