"""The temporal filter, the confidence image and confident point clouds."""

import numpy as np
import pytest

import kavri

W, H = 320, 240
INDEX_MOD = 1 << 16  # the camera's frame counter wraps at 16 bits


def frame_to_frame_change(cam, frames):
    """Median over the last frames of the median change of a pixel's
    distance (mm) from one frame to the next; each frame converted once."""
    prev, changes = None, []
    for frame in cam.frames(count=frames):
        d = frame.distance() * 1000.0
        if prev is not None:
            changes.append(np.nanmedian(np.abs(d - prev)))
        prev = d
    return float(np.median(changes[len(changes) // 2:]))


def test_temporal_filter_calms_a_still_wall_and_follows_a_move():
    with kavri.testing.simulated(scene="wall:1500") as sim:
        with kavri.open() as cam:
            f = cam.filters
            assert f.temporal_state() == kavri.TemporalState(False, 1000, 50, 2)
            f.set_temporal(motion_mm=80, hole_frames=0)
            f.temporal = 100
            assert f.temporal_state() == (True, 100, 80, 0)
            with pytest.raises(ValueError):
                f.set_temporal(hole_frames=101)
            with pytest.raises(kavri.RefusedError):
                f.temporal = 1001
            assert f.temporal_state() == (True, 100, 80, 0)

            filtered = frame_to_frame_change(cam, 30)
            f.temporal = None
            assert f.temporal_state() == (False, 1000, 80, 0)
            plain = frame_to_frame_change(cam, 10)
            assert filtered < 0.4 * plain, (filtered, plain)

            # The wall moves 300 mm: far past the motion threshold, so the
            # first frame of the new scene shows it at once instead of
            # creeping towards it a tenth at a time.
            f.temporal = 100
            for i, frame in enumerate(cam.frames(count=60)):
                d = frame.distance()
                if i == 20:
                    first = sim.cameras[0].set_scene("wall:1800")
                if i > 20 and (frame.index - first) % INDEX_MOD < INDEX_MOD // 2:
                    break
            else:
                pytest.fail("no frame of the new scene arrived")
            truth = sim.cameras[0].ground_truth() / 1000.0
            assert np.nanmedian(np.abs(d - truth)) < 0.02


def test_confidence_and_the_confident_point_cloud(kavri_sim):
    with kavri.open() as cam:
        frame = cam.snapshot()
        d = frame.distance()
        valid = ~np.isnan(d)
        plain = frame.confidence()
        assert plain.shape == (H, W) and plain.dtype == np.uint8
        buf = np.empty((H, W), np.uint8)
        c = frame.confidence(distance=d, out=buf)
        assert c is buf
        assert not c[~valid].any() and np.array_equal(c[valid], plain[valid])
        # It rises with the amplitude (the distance noise falls as 1 / A).
        gray = frame.gray()
        assert np.corrcoef(gray[valid], c[valid])[0, 1] > 0.5

        above = int(np.median(c[valid]))
        keep = valid & (c > above)
        assert 0 < keep.sum() < valid.sum()
        every = frame.points(organized=True, distance=d)
        pts = frame.points(distance=d, confidence_above=above, confidence=c)
        assert np.array_equal(pts, every[keep])
        # The confidence converted inside gives the same cloud.
        assert np.array_equal(frame.points(distance=d, confidence_above=above), pts)
        org = frame.points(organized=True, distance=d, confidence_above=above, confidence=c)
        assert np.array_equal(np.isnan(org[..., 2]), ~keep)
        with pytest.raises(ValueError):
            frame.points(confidence_above=256)
