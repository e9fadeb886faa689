"""Cameras, parameters, registers and errors, the way scripts use them."""

import logging
import threading

import numpy as np
import pytest

import kavri


def test_listing_and_opening_by_location_and_identification(two_cams):
    listed = kavri.cameras()
    assert len(listed) == 2
    assert {c.product for c in listed} == {"KV320-E2-SIM"}
    for sim_cam in two_cams.cameras:
        with kavri.open(location=sim_cam.location) as cam:
            assert cam.info.location == sim_cam.location
            ident = cam.info.ident
        with kavri.open(ident=ident) as cam:
            assert cam.info.location == sim_cam.location
    with pytest.raises(kavri.NotFoundError):
        kavri.open(ident="no such camera")
    with pytest.raises(kavri.NotFoundError):
        kavri.open(location="9:9")


def test_no_camera_is_a_clear_error():
    with kavri.testing.simulated(cameras=0):
        assert kavri.cameras() == []
        with pytest.raises(kavri.NotFoundError, match="no camera"):
            kavri.open()


def test_parameters_reach_their_own_camera(two_cams):
    a_sim, b_sim = two_cams.cameras
    with kavri.open(location=a_sim.location) as a, kavri.open(location=b_sim.location) as b:
        a.params.fps = 15
        b.params.fps = 25
        a.params.intg_time = 700
        assert (a.params.fps, b.params.fps) == (15, 25)
        assert a_sim.param(12)[:4] == (15).to_bytes(4, "little")
        assert b_sim.param(12)[:4] == (25).to_bytes(4, "little")
        assert a.params.intg_time == 700 and b.params.intg_time == 400
        assert a.params.mod_freq == 12000000
        assert a.params.product == "KV320-E2-SIM"
        assert len(a.params.version) == 4
        assert a.param(12)[:4] == (15).to_bytes(4, "little")
        with pytest.raises(AttributeError):
            a.params.ident = "x"
        with pytest.raises(ValueError):
            a.params.intg_time = 70000


def test_registers_round_trip(kavri_sim):
    with kavri.open() as cam:
        cam.write_registers(1, 10, [7, 8, 9])
        assert list(cam.read_registers(1, 10, 3)) == [7, 8, 9]
        assert kavri_sim.cameras[0].register(1, 11) == 8


def test_a_refused_command_raises_with_the_cameras_reason(kavri_sim):
    with kavri.open() as cam:
        kavri_sim.cameras[0].inject("fail_command", 1, message="fps out of range")
        with pytest.raises(kavri.RefusedError, match="fps out of range"):
            cam.params.fps = 99


def test_library_log_reaches_python_logging(kavri_sim, caplog):
    with kavri.open() as cam:
        kavri_sim.cameras[0].inject("fail_command", 1, message="logged reason")
        with caplog.at_level(logging.WARNING, logger="kavri"):
            with pytest.raises(kavri.RefusedError):
                cam.set_param(12, 5)
    assert any("logged reason" in r.getMessage() for r in caplog.records)


def test_closed_camera_refuses_calls(kavri_sim):
    cam = kavri.open()
    frame = cam.snapshot()
    cam.close()
    cam.close()
    assert cam.closed
    with pytest.raises(kavri.ClosedError):
        cam.params.fps
    with pytest.raises(kavri.ClosedError):
        frame.distance()


def test_filters_switch_and_the_t0_driver_refuses_them():
    with kavri.testing.simulated(scene="wall:1500", noise=False) as sim:
        with kavri.open() as cam:
            frame = cam.snapshot()
            base = np.nanmedian(frame.distance())
            cam.filters.offset = 100
            assert cam.filters.offset == 100
            assert np.nanmedian(frame.distance()) == pytest.approx(base + 0.1, abs=0.002)
            cam.filters.offset = 0
            cam.filters.smoothing = 3
            cam.filters.amp_min = 30000  # above every amplitude: no distance anywhere
            assert np.isnan(frame.distance()).all()
            cam.filters.amp_min = None
            cam.filters.undistort = True
            assert np.isfinite(frame.distance()).any()
        sim.cameras[0].unplug()
        sim.plug("wall:1500", chip="T0")
        with kavri.open() as cam:
            with pytest.raises(kavri.RefusedError):
                cam.filters.smoothing = 3


def test_a_second_thread_sets_parameters_while_frames_arrive(kavri_sim):
    errors = []
    with kavri.open() as cam, cam.capture():
        stop = threading.Event()

        def control():
            i = 0
            while not stop.is_set():
                v = 300 + i % 50
                try:
                    cam.params.intg_time = v
                    if cam.params.intg_time != v:
                        errors.append(f"read back {cam.params.intg_time}, wrote {v}")
                    cam.write_registers(1, 40, [i])
                    if cam.read_registers(1, 40, 1)[0] != i:
                        errors.append("register")
                except kavri.Error as e:
                    errors.append(repr(e))
                i += 1

        t = threading.Thread(target=control)
        t.start()
        try:
            frames = [f for f in cam.frames(count=30)]
        finally:
            stop.set()
            t.join()
        for f in frames:
            assert np.isfinite(f.distance()).mean() > 0.9
    assert errors == []


def test_close_from_another_thread_ends_the_frame_loop(kavri_sim):
    cam = kavri.open()
    got = []

    def loop():
        try:
            for f in cam.frames(timeout=10):
                got.append(f)
        except kavri.Error as e:
            got.append(e)

    t = threading.Thread(target=loop)
    t.start()
    while not got:
        threading.Event().wait(0.01)
    cam.close()
    t.join(timeout=10)
    assert not t.is_alive()
    assert all(isinstance(g, (kavri.Frame, kavri.ClosedError)) for g in got)


def test_an_unplugged_camera_raises_instead_of_hanging(kavri_sim):
    with kavri.open() as cam, cam.capture():
        cam.next_frame()
        kavri_sim.cameras[0].unplug()
        with pytest.raises(kavri.Error):
            for _ in cam.frames(count=50, timeout=3):
                pass


def test_missing_libraries_say_what_to_install(tmp_path):
    import os
    import subprocess
    import sys

    code = ("import kavri, kavri.testing\n"
            "try:\n    kavri.testing.simulated().__enter__()\n"
            "except kavri.LibraryNotFoundError as e:\n    print('ERR', e)\n")
    env = dict(os.environ, KAVRI_CAMSIM_LIBRARY=str(tmp_path / "missing.so"))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert "ERR the camera simulator library is not installed" in out.stdout, out.stderr
    code = ("import kavri\ntry:\n    kavri.cameras()\n"
            "except kavri.LibraryNotFoundError as e:\n    print('ERR', e)\n")
    env = dict(os.environ, KAVRI_LIBRARY=str(tmp_path / "libkavri.so.1"))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert "ERR libkavri cannot be loaded" in out.stdout and "KAVRI_LIBRARY" in out.stdout



def test_access_denied_names_the_udev_rule(kavri_sim):
    kavri_sim.cameras[0].inject("open_fail", 1)
    with pytest.raises(kavri.AccessError, match="60-kavri.rules"):
        kavri.open()
    with kavri.open() as cam:  # the next open goes through
        assert cam.params.fps == 30
