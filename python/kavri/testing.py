"""Simulated cameras for tests of code that drives a camera.

    import kavri, kavri.testing

    with kavri.testing.simulated(cameras=1, scene="wall:1500") as sim:
        with kavri.open() as cam:
            d = cam.snapshot().distance()
        truth = sim.cameras[0].ground_truth()   # mm along each pixel's ray

The simulator (libkavri_camsim.so) stands in for libusb inside this
process, so it must be set up before the first camera call: a process that
already talks to real cameras cannot switch. pytest users get the fixture
``kavri_sim`` (a simulator with one E2 camera facing a wall at 1.5 m).
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import os
import threading
from ctypes import Structure, c_char, c_float, c_int, c_int16, c_uint8, c_uint16, c_uint32, c_uint64
from pathlib import Path
from typing import Iterator, Optional

import numpy as np

from . import _errors, _lib

SIM_LIBRARY_NAME = "libkavri_camsim.so"
SIM_LIBRARY_ENV = "KAVRI_CAMSIM_LIBRARY"

CHIPS = {"E1": 0, "E2": 1, "E3": 2, "T0": 3}

#: Faults a simulated camera can be told to show (see camsim.h).
FAULTS = {
    "stall_bulk_in": 1,
    "timeout_bulk_in": 2,
    "timeout_bulk_in_wait": 3,
    "corrupt_payload": 4,
    "corrupt_header": 5,
    "drop_bytes": 6,
    "drop_chunks": 7,
    "garbage_bytes": 8,
    "inconsistent_frame": 9,
    "status_busy": 10,
    "fail_command": 11,
    "hang_control": 12,
    "claim_busy": 13,
    "open_fail": 14,
    "stall_bulk_out": 15,
    "unplug": 16,
    "event_error": 17,
    "status_mismatch": 18,
    "status_short": 19,
}


class _Config(Structure):
    _fields_ = [
        ("bus", c_uint8),
        ("port", c_uint8),
        ("speed", c_uint8),
        ("chip", c_uint8),
        ("scene", c_char * 64),
        ("pinhole_lens", c_uint8),
        ("noise", c_uint8),
        ("fpn", c_uint8),
        ("free_run", c_uint8),
        ("seed", c_uint64),
        ("fps", c_uint32),
        ("width", c_uint16),
        ("height", c_uint16),
        ("chunk_payload", c_uint32),
        ("frames_per_chunk", c_uint8),
        ("data_checksum", c_uint8),
        ("drift_temperature", c_uint8),
        ("reserved0", c_uint8),
        ("reset_delay_ms", c_uint32),
        ("reboot_delay_ms", c_uint32),
        ("t_sensor", c_int16),
        ("t_ib", c_int16),
        ("serial", c_uint32),
    ]


class _Stats(Structure):
    _fields_ = [(n, c_uint64) for n in (
        "commands", "status_polls", "busy_replies", "failed_commands", "param_sets",
        "param_gets", "reg_writes", "reg_reads", "stream_starts", "stream_stops", "resets",
        "frames", "chunks", "stream_bytes", "bulk_out_bytes")] + [
        ("last_start_arg", c_uint32),
        ("last_cmd_type", c_uint8),
        ("reserved", c_uint8),
        ("last_cmd_value", c_uint16),
        ("last_reset_target", c_uint32),
        ("next_frame_index", c_uint16),
        ("next_stream_index", c_uint16),
    ]


assert ctypes.sizeof(_Config) == 112

_load_lock = threading.Lock()  # guards _sim
_sim: Optional[ctypes.CDLL] = None


def _sim_candidates() -> list:
    for key in (SIM_LIBRARY_ENV, "CAMSIM_LIBRARY"):
        if os.environ.get(key):
            return [os.environ[key]]
    here = Path(__file__).resolve().parent
    found = [str(here / SIM_LIBRARY_NAME)]
    lib_env = os.environ.get(_lib.LIBRARY_ENV)
    if lib_env:
        found.append(str(Path(lib_env).resolve().parent / SIM_LIBRARY_NAME))
    try:
        from . import _install

        found.append(str(Path(_install.LIBDIR) / SIM_LIBRARY_NAME))
    except ImportError:
        pass
    found.append(ctypes.util.find_library("kavri_camsim") or SIM_LIBRARY_NAME)
    return found


def _load_sim() -> ctypes.CDLL:
    global _sim
    with _load_lock:
        if _sim is not None:
            return _sim
        if _lib.is_loaded():
            raise _errors.Error(
                "the simulator must be set up before the process's first camera call",
                hint="call kavri.testing.simulated() (or use the kavri_sim fixture) before "
                     "kavri.open() or kavri.cameras()")
        tried = []
        for path in _sim_candidates():
            if os.sep in path and not os.path.exists(path):
                tried.append(path)
                continue
            try:
                # Global, so that libkavri's libusb calls bind to it.
                sim = ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
                break
            except OSError as e:
                tried.append(f"{path} ({e})")
        else:
            raise _errors.LibraryNotFoundError(
                "the camera simulator library is not installed; tried: " + "; ".join(tried),
                hint=f"install the kavri simulator ({SIM_LIBRARY_NAME}) or set {SIM_LIBRARY_ENV}")
        sim.camsim_plug.argtypes = [ctypes.POINTER(_Config)]
        sim.camsim_camera_config_default.argtypes = [ctypes.POINTER(_Config)]
        sim.camsim_camera_config_default.restype = None
        sim.camsim_clear.restype = None
        sim.camsim_reset.restype = None
        sim.camsim_inject.argtypes = [c_int, c_int, c_uint32, c_uint32, ctypes.c_char_p]
        sim.camsim_ground_truth.argtypes = [c_int, ctypes.c_void_p, c_uint32]
        sim.camsim_param_get.argtypes = [c_int, c_uint8, ctypes.c_void_p,
                                         ctypes.POINTER(c_uint8)]
        sim.camsim_reg_get.argtypes = [c_int, c_uint8, c_uint32, ctypes.POINTER(c_uint32)]
        sim.camsim_set_temperature.argtypes = [c_int, c_int16, c_int16, c_uint8]
        sim.camsim_set_pacing.argtypes = [c_int, c_uint32, c_uint8]
        sim.camsim_get_camera_stats.argtypes = [c_int, ctypes.POINTER(_Stats)]
        sim.camsim_set_scene.argtypes = [c_int, ctypes.c_char_p, ctypes.POINTER(c_uint16)]
        _sim = sim
        return sim


class SimulatedCamera:
    """One simulated camera: its bus position, faults, state and the true
    distances of its scene."""

    def __init__(self, sim: ctypes.CDLL, cam_id: int):
        self._sim = sim
        self.id = cam_id

    def _ok(self, r: int, what: str) -> int:
        if r < 0:
            raise _errors.Error(f"simulated camera {self.id}: {what} failed ({r})")
        return r

    def _info(self) -> bytes:
        info = (c_uint8 * 24)()
        self._ok(self._sim.camsim_camera_info(self.id, info), "info")
        return bytes(info)

    @property
    def location(self) -> str:
        """"bus:port", as kavri.open(location=...) takes it."""
        info = self._info()
        return f"{info[1]}:{info[2]}"

    def unplug(self) -> None:
        """Pulls the camera off the bus (transfers in flight fail)."""
        self._ok(self._sim.camsim_unplug(self.id), "unplug")

    def replug(self, keep_state: bool = True) -> None:
        """Plugs it in again at the same place; keep_state False is a power
        cycle (parameters back to their defaults)."""
        self._ok(self._sim.camsim_replug(self.id, 1 if keep_state else 0), "replug")

    def inject(self, fault: str, count: int = 1, arg: int = 0,
               message: Optional[str] = None) -> None:
        """The next `count` occasions of `fault` (a name of FAULTS) go wrong."""
        if fault not in FAULTS:
            raise ValueError(f"fault must be one of {sorted(FAULTS)}")
        msg = message.encode() if message else None
        self._ok(self._sim.camsim_inject(self.id, FAULTS[fault], count, arg, msg), "inject")

    def clear_faults(self) -> None:
        self._ok(self._sim.camsim_clear_faults(self.id), "clear faults")

    def set_frame_rate(self, fps: int = 0, free_run: bool = False) -> None:
        """Paces frames at fps (0 keeps the camera's parameter), or as fast
        as the host takes them (free_run)."""
        self._ok(self._sim.camsim_set_pacing(self.id, fps, 1 if free_run else 0), "pacing")

    def set_temperature(self, sensor: float, board: float, drift: bool = False) -> None:
        """Fixes the temperatures (degrees Celsius)."""
        self._ok(self._sim.camsim_set_temperature(self.id, int(round(sensor * 10)),
                                                  int(round(board * 10)), 1 if drift else 0),
                 "temperature")

    def set_scene(self, scene: str) -> int:
        """Points the camera at another scene ("default" or "wall:<mm>"),
        also while it streams; returns the frame index (Frame.index) of the
        first frame of the new scene: frames already made keep the old one."""
        first = c_uint16()
        self._ok(self._sim.camsim_set_scene(self.id, scene.encode(), ctypes.byref(first)),
                 f"scene {scene!r}")
        return first.value

    def ground_truth(self) -> np.ndarray:
        """The true distance (mm) along each pixel's ray, (height, width)."""
        n = self._ok(self._sim.camsim_ground_truth(self.id, None, 0), "ground truth")
        out = np.empty(n, dtype=np.float32)
        self._sim.camsim_ground_truth(self.id, out.ctypes.data, n)
        info = self._info()
        w, h = int.from_bytes(info[6:8], "little"), int.from_bytes(info[8:10], "little")
        return out.reshape(h, w)

    def param(self, pid: int) -> bytes:
        """The camera's own value of parameter pid."""
        buf, n = (c_uint8 * 18)(), c_uint8()
        self._ok(self._sim.camsim_param_get(self.id, pid, buf, ctypes.byref(n)), "param")
        return bytes(buf[: n.value])

    def register(self, target: int, addr: int) -> int:
        v = c_uint32()
        self._ok(self._sim.camsim_reg_get(self.id, target, addr, ctypes.byref(v)), "register")
        return v.value

    def stats(self) -> dict:
        """The camera's counters (commands, frames, stream_bytes ...)."""
        s = _Stats()
        self._ok(self._sim.camsim_get_camera_stats(self.id, ctypes.byref(s)), "stats")
        return {n: int(getattr(s, n)) for n, _ in _Stats._fields_ if n != "reserved"}


class Simulator:
    """The simulated USB bus of this process."""

    def __init__(self, sim: ctypes.CDLL):
        self._sim = sim
        self.cameras: list = []

    def plug(self, scene: str = "wall:1500", chip: str = "E2", *, noise: bool = True,
             fpn: bool = True, free_run: bool = False, fps: int = 30, seed: int = 1,
             pinhole: bool = False) -> SimulatedCamera:
        """Plugs another camera: scene "default" or "wall:<mm>"; chip "E1",
        "E2", "E3" or "T0"; free_run sends frames as fast as the host takes
        them."""
        if chip not in CHIPS:
            raise ValueError(f"chip must be one of {sorted(CHIPS)}")
        cfg = _Config()
        self._sim.camsim_camera_config_default(ctypes.byref(cfg))
        cfg.chip = CHIPS[chip]
        cfg.scene = scene.encode()
        cfg.noise, cfg.fpn, cfg.free_run = int(noise), int(fpn), int(free_run)
        cfg.fps, cfg.seed, cfg.pinhole_lens = fps, seed, int(pinhole)
        r = self._sim.camsim_plug(ctypes.byref(cfg))
        if r < 0:
            raise _errors.Error(f"cannot plug a simulated camera ({r})")
        cam = SimulatedCamera(self._sim, r)
        self.cameras.append(cam)
        return cam

    @property
    def misuse_count(self) -> int:
        """libusb misuses the simulator saw (double submits ...): stays 0."""
        return int(self._sim.camsim_misuse_count())


@contextlib.contextmanager
def simulated(cameras: int = 1, scene: str = "wall:1500", chip: str = "E2",
              **options) -> Iterator[Simulator]:
    """A bus with `cameras` simulated cameras for the block (options as
    Simulator.plug takes them; each camera gets its own seed). At the end
    every simulated camera is unplugged: close cameras inside the block."""
    sim = _load_sim()
    sim.camsim_clear()
    bus = Simulator(sim)
    seed = options.pop("seed", 1)
    for i in range(cameras):
        bus.plug(scene, chip, seed=seed + i, **options)
    try:
        yield bus
    finally:
        sim.camsim_clear()


try:
    import pytest
except ImportError:  # the fixture only exists where pytest does
    pass
else:

    @pytest.fixture
    def kavri_sim() -> Iterator[Simulator]:
        """A simulated bus with one E2 camera facing a wall at 1.5 m."""
        with simulated() as sim:
            yield sim


def _main(argv: Optional[list] = None) -> int:
    """python3 -m kavri.testing [--cameras N] [--scene S] [--chip C]
    [--free-run] SCRIPT [ARGS]: runs SCRIPT with simulated cameras."""
    import argparse
    import runpy
    import sys

    ap = argparse.ArgumentParser(prog="python3 -m kavri.testing",
                                 description="Runs a script with simulated cameras.")
    ap.add_argument("--cameras", type=int, default=1)
    ap.add_argument("--scene", default="wall:1500")
    ap.add_argument("--chip", default="E2", choices=sorted(CHIPS))
    ap.add_argument("--free-run", action="store_true")
    ap.add_argument("script")
    ap.add_argument("args", nargs=argparse.REMAINDER)
    a = ap.parse_args(argv)
    with simulated(a.cameras, a.scene, a.chip, free_run=a.free_run):
        sys.argv = [a.script] + a.args
        runpy.run_path(a.script, run_name="__main__")
    return 0


if __name__ == "__main__":
    import sys

    from kavri.testing import _main as _package_main  # the package's own module state

    sys.exit(_package_main())
