"""The benchmark's Python side: `for frame in cam.frames(): frame.distance(out=buf)`
on a free-running simulated camera. Prints "frames=N wall_s=W cpu_s=C".

    frames_loop.py FRAMES WARMUP
"""
import sys
import time

import numpy as np

import kavri
import kavri.testing

frames, warmup = int(sys.argv[1]), int(sys.argv[2])
with kavri.testing.simulated(free_run=True):
    with kavri.open() as cam, cam.capture():
        buf = np.empty((240, 320), dtype=np.float32)
        for frame in cam.frames(count=warmup):
            frame.distance(out=buf)
        n = 0
        wall0, cpu0 = time.perf_counter(), time.process_time()
        for frame in cam.frames(count=frames):
            frame.distance(out=buf)
            n += 1
        wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
print(f"frames={n} wall_s={wall:.6f} cpu_s={cpu:.6f}")
