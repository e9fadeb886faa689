"""Frames and their conversions against the C interface's own results."""

import ctypes
import hashlib
import time
import tracemalloc

import numpy as np
import pytest

import kavri
from kavri import _lib
from kavri._core import lib

W, H = 320, 240


def c_distance(cam, frame):
    out = np.empty(W * H, dtype=np.float32)
    n = lib().kavri_frame_get_distance(cam._ptr, out.ctypes.data, out.size, frame.raw.ctypes.data,
                                       frame.raw.size, ctypes.byref(frame._info))
    assert n == W * H
    return out.reshape(H, W)


def test_distance_equals_the_c_conversion_with_nan_for_markers():
    with kavri.testing.simulated(scene="default") as sim:
        with kavri.open() as cam:
            cam.filters.amp_min = 400  # some pixels lose their distance
            frame = cam.snapshot()
            ref = c_distance(cam, frame)
            d = frame.distance()
            assert d.shape == (H, W) and d.dtype == np.float32
            marked = ~((ref > 0) & (ref < 60))
            assert marked.any() and (~marked).any()
            assert np.array_equal(np.isnan(d), marked)
            assert np.array_equal(d[~marked], ref[~marked])
            assert np.array_equal(frame.distance(nan=False), ref)
            truth = sim.cameras[0].ground_truth() / 1000.0
            assert np.nanmedian(np.abs(d - truth)) < 0.02


def test_out_arrays_are_filled_and_checked(kavri_sim):
    with kavri.open() as cam:
        frame = cam.snapshot()
        buf = np.zeros((H, W), dtype=np.float32)
        assert frame.distance(out=buf) is buf
        assert np.array_equal(buf, frame.distance(), equal_nan=True)
        assert frame.gray(out=buf) is buf
        pts = np.zeros((H, W, 3), dtype=np.float32)
        assert frame.points(organized=True, out=pts) is pts
        for bad in (np.zeros((W, H), np.float32), np.zeros((H, W), np.float64),
                    np.zeros((H, 2 * W), np.float32)[:, ::2]):
            with pytest.raises(ValueError):
                frame.distance(out=bad)


def test_points_equal_the_c_point_cloud(kavri_sim):
    with kavri.open() as cam:
        cam.filters.amp_min = 200
        frame = cam.snapshot()
        dist = frame.distance(nan=False)
        ref = np.empty(W * H * 3, dtype=np.float32)
        n = lib().kavri_frame_get_pcl(cam._ptr, ref.ctypes.data, ref.size, dist.ctypes.data,
                                      dist.size, W, H, None)
        pts = frame.points(distance=dist)
        assert pts.shape == (n, 3)
        assert np.array_equal(pts, ref[: 3 * n].reshape(n, 3))
        org = frame.points(organized=True, distance=dist)
        valid = (dist > 0) & (dist < 60)
        assert n < W * H and valid.sum() == n
        assert np.array_equal(org[valid], pts)
        assert np.isnan(org[~valid]).all()

        room = np.full((W * H, 3), -1.0, dtype=np.float32)
        filled = frame.points(out=room, distance=dist)
        assert filled.base is room and filled.shape == (n, 3)
        assert np.array_equal(filled, pts)
        assert (room[n:] == -1.0).all()
        assert np.array_equal(frame.points(out=room), pts)  # decoding its own distance
        for bad in (np.zeros((W * H - 1, 3), np.float32), np.zeros((W * H, 3), np.float64),
                    np.zeros((W * H, 4), np.float32), np.zeros(W * H * 3, np.float32),
                    np.zeros((W * H, 6), np.float32)[:, ::2]):
            with pytest.raises(ValueError, match="out for points"):
                frame.points(out=bad, distance=dist)


def test_conversions_into_out_arrays_allocate_nothing(kavri_sim):
    with kavri.open() as cam:
        frame = cam.snapshot()
        dist, gray = np.empty((H, W), np.float32), np.empty((H, W), np.float32)
        org, cloud = np.empty((H, W, 3), np.float32), np.empty((H * W, 3), np.float32)

        def convert():
            frame.distance(out=dist)
            frame.gray(out=gray)
            frame.points(organized=True, out=org)
            frame.points(out=cloud)
            frame.points(out=cloud, distance=dist)

        convert()  # the per-thread work arrays come into being
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(3):
                convert()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak - before < 16 * 1024  # no image-sized array, not even a casting buffer


def test_kept_frames_stay_intact_while_the_capture_goes_on(kavri_sim):
    with kavri.open() as cam, cam.capture():
        kept, digests = [], []
        for frame in cam.frames(count=40):
            kept.append(frame)
            digests.append(hashlib.sha1(frame.raw.tobytes()).hexdigest())
        assert not kept[0].raw.flags.writeable
        assert [hashlib.sha1(f.raw.tobytes()).hexdigest() for f in kept] == digests
        indices = [f.index for f in kept]
        assert len(set(indices)) == len(indices)
        for f in kept[::13]:
            assert np.isfinite(f.distance()).mean() > 0.9


def test_frames_starts_and_stops_a_capture_of_its_own(kavri_sim):
    with kavri.open() as cam:
        assert len(list(cam.frames(count=3))) == 3
        assert not cam.capturing


def test_callbacks_deliver_frames_and_raise_from_wait(kavri_sim):
    with kavri.open() as cam:
        got = []
        cam.on_frame(got.append)
        with cam.capture():
            assert cam.wait(0.5) is False
        assert len(got) >= 5
        assert np.isfinite(got[-1].distance()).mean() > 0.9

        class Boom(Exception):
            pass

        def explode(frame):
            raise Boom(frame.index)

        cam.on_frame(explode)
        cam.start()
        with pytest.raises(Boom):
            cam.wait(5.0)
        assert not cam.capturing
        cam.on_frame(None)


def test_a_stream_that_goes_quiet_raises_timeout_with_the_librarys_reason(kavri_sim):
    with kavri.open() as cam, cam.capture():
        cam.next_frame()
        kavri_sim.cameras[0].inject("drop_chunks", 1000)  # about 8 s without a frame
        t0 = time.monotonic()
        with pytest.raises(kavri.TimeoutError) as e:
            for _ in cam.frames(timeout=0.5):
                pass
        waited = time.monotonic() - t0
        kavri_sim.cameras[0].clear_faults()
    assert isinstance(e.value, TimeoutError)  # the built-in one too
    assert "no frame within 0.5 s" in str(e.value)
    assert any("timeout" in line for line in e.value.details)
    assert "(library: " in str(e.value)
    assert 0.4 < waited < 6  # the library's own wait (about 2 s) ends it


def test_capture_errors_carry_their_code_name(kavri_sim):
    with kavri.open() as cam, cam.capture():
        cam.next_frame()
        kavri_sim.cameras[0].inject("stall_bulk_in", 40)
        with pytest.raises(kavri.CaptureError) as e:
            for _ in cam.frames(count=100, timeout=3):
                pass
        assert e.value.name.startswith("KAVRI_ERR_CAP_")
