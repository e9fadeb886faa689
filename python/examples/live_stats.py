"""Live distance statistics of the first camera.

    python3 live_stats.py [--frames N] [--fps F]
    python3 -m kavri.testing live_stats.py       (on a simulated camera)
"""
import argparse

import numpy as np

import kavri

ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
ap.add_argument("--frames", type=int, default=100)
ap.add_argument("--fps", type=int, default=30)
args = ap.parse_args()

with kavri.open() as cam:
    cam.params.fps = args.fps
    print(f"{cam.info.product} {cam.info.ident} at {cam.info.location}, "
          f"{cam.params.mod_freq / 1e6:.0f} MHz, integration time {cam.params.intg_time}")
    dist = np.empty((240, 320), dtype=np.float32)  # filled in place: the loop allocates nothing
    for frame in cam.frames(count=args.frames):
        if dist.shape != frame.shape:
            dist = np.empty(frame.shape, dtype=np.float32)
        frame.distance(out=dist)
        valid = np.isfinite(dist)
        if frame.index % 10 == 0 or not valid.any():
            med = np.nanmedian(dist) if valid.any() else float("nan")
            print(f"frame {frame.index:5d}: median {med:.3f} m, "
                  f"{100 * valid.mean():5.1f} % of pixels with a distance")
