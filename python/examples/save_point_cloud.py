"""One frame of the first camera saved as a PLY point cloud.

    python3 save_point_cloud.py [OUT.ply]
"""
import sys

import numpy as np

import kavri

out = sys.argv[1] if len(sys.argv) > 1 else "cloud.ply"
with kavri.open() as cam:
    frame = cam.snapshot()
    dist = frame.distance()
    pts = frame.points(distance=dist)  # (N, 3) metres, camera frame
    gray = frame.gray()[np.isfinite(dist)]
    g = np.clip(gray / max(float(gray.max()), 1.0) * 255, 0, 255).astype(np.uint8)

with open(out, "wb") as f:
    f.write((f"ply\nformat binary_little_endian 1.0\nelement vertex {len(pts)}\n"
             "property float x\nproperty float y\nproperty float z\nproperty uchar intensity\n"
             "end_header\n").encode())
    rec = np.empty(len(pts), dtype=[("xyz", "<f4", 3), ("i", "u1")])
    rec["xyz"], rec["i"] = pts, g
    f.write(rec.tobytes())
print(f"{len(pts)} points written to {out}")
