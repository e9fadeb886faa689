"""Frame files, the colour map, ONI files, raw recordings and flash images."""

import numpy as np
import pytest

import kavri


def test_frame_files_round_trip(kavri_sim, tmp_path):
    with kavri.open() as cam:
        d = [cam.snapshot().distance() for _ in range(2)]
    d[0][0, :5] = np.nan
    path = tmp_path / "d.bin"
    kavri.save_distance(path, d[0])
    kavri.save_distance(path, d[1], append=True)
    back = kavri.load_distance(path, index=1)
    assert np.array_equal(back, d[1], equal_nan=True)
    assert np.isnan(kavri.load_distance(path)[0, :5]).all()
    kavri.save_distance(tmp_path / "mm.bin", d[1], format="uint16")
    assert np.nanmax(np.abs(kavri.load_distance(tmp_path / "mm.bin") - d[1])) < 0.0011
    with pytest.raises(kavri.Error):
        kavri.load_distance(path, index=2)
    with pytest.raises(ValueError):
        kavri.save_distance(path, d[0], format="jpeg")


def test_colorize_goes_from_near_red_to_far_blue():
    d = np.array([[0.3, 3.7, np.nan]], dtype=np.float32)
    rgb = kavri.colorize(d, range=(0.0, 4.0))
    assert rgb.shape == (1, 3, 3) and rgb.dtype == np.uint8
    near, far, none = rgb[0].astype(int)
    assert near[0] > near[2] and far[2] > far[0]
    assert list(none) == [0, 0, 0]


def test_oni_file_holds_its_frames(kavri_sim, tmp_path):
    path = tmp_path / "out.oni"
    with kavri.open() as cam, kavri.OniWriter(path, 320, 240, fps=30) as oni:
        for frame in cam.frames(count=3):
            oni.write(frame)
    assert oni.frames == 3
    data = path.read_bytes()
    assert data[:4] == b"NI10" and len(data) > 3 * 2 * 320 * 240 * 2


def test_a_raw_recording_replays_the_same_frames(tmp_path):
    path = tmp_path / "session.kvr"
    with kavri.testing.simulated(scene="default"):
        with kavri.open() as cam:
            with cam.record(path), cam.capture():
                live = [f for f in cam.frames(count=8)]
            stats = cam.recording_stats()
            live_d = [f.distance() for f in live]
    assert stats["frames"] >= 8 and stats["lost_transfers"] == 0
    with kavri.open_recording(path) as rep:
        assert rep.replay is not None and rep.replay.frame_count >= 8
        assert rep.params.intg_time == 400
        with pytest.raises(kavri.RefusedError):
            rep.params.fps = 10
        played = list(rep.frames(count=3))
        raws = [bytes(f.raw) for f in live]
        first = raws.index(bytes(played[0].raw))
        for i, f in enumerate(played):
            assert bytes(f.raw) == raws[first + i]
            assert np.array_equal(f.distance(), live_d[first + i], equal_nan=True)
        with rep.capture():
            rep.replay.seek(first + 5)
            assert bytes(rep.next_frame().raw) == raws[first + 5]
        assert any(e["kind"] == 4 for e in rep.replay.events())  # the capture start
    with pytest.raises(kavri.RecordingError):
        kavri.open_recording(tmp_path / "missing.kvr")


def test_flash_images_travel_with_progress(kavri_sim, tmp_path):
    image = tmp_path / "image.bin"
    image.write_bytes(bytes(range(256)) * 300)
    seen = []
    with kavri.open() as cam:
        cam.download(image, type=5, version=3, progress=lambda *p: seen.append(p))
        cam.upload(5, tmp_path / "back.bin")
    assert (tmp_path / "back.bin").read_bytes() == image.read_bytes()
    transfer = [p for p in seen if p[0] == "transfer"]
    assert transfer[-1][1] == transfer[-1][2] == image.stat().st_size
