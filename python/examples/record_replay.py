"""Record the first camera's raw stream, then replay it through the library.

    python3 record_replay.py [OUT.kvr]

A raw recording keeps what the camera sent, so it decodes again with other
filter settings: here the replay is decoded with smoothing on.
"""
import sys

import numpy as np

import kavri

path = sys.argv[1] if len(sys.argv) > 1 else "session.kvr"
with kavri.open() as cam:
    with cam.record(path), cam.capture():
        live = [np.nanmedian(f.distance()) for f in cam.frames(count=20)]
    stats = cam.recording_stats()
print(f"recorded {stats['frames']} frames, {stats['bytes'] / 1e6:.1f} MB, "
      f"{stats['lost_transfers']} transfers lost")

with kavri.open_recording(path) as replay:
    info = replay.replay.info()
    print(f"replay: {info['frame_count']} frames over {info['duration']:.2f} s")
    replayed = [np.nanmedian(f.distance()) for f in replay.frames(count=10)]
    replay.filters.smoothing = 3
    replay.replay.seek(0)
    smoothed = [np.nanmedian(f.distance()) for f in replay.frames(count=10)]
print(f"median distance live {live[0]:.3f} m, replayed {replayed[0]:.3f} m, "
      f"smoothed {smoothed[0]:.3f} m")
