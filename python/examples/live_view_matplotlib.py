"""A live distance and amplitude view with matplotlib.

    python3 live_view_matplotlib.py [--frames N] [--save PNG]

Without a display (MPLBACKEND=Agg) it draws off screen; --save writes the
last picture.
"""
import argparse

import matplotlib.pyplot as plt
import numpy as np

import kavri

ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
ap.add_argument("--frames", type=int, default=300)
ap.add_argument("--save", help="write the last picture to this PNG file")
ap.add_argument("--range", type=float, nargs=2, default=(0.0, 4.0), metavar=("NEAR", "FAR"))
args = ap.parse_args()

fig, (ax_d, ax_g) = plt.subplots(1, 2, figsize=(10, 4))
with kavri.open() as cam:
    dist = gray = None
    im_d = im_g = None
    for frame in cam.frames(count=args.frames):
        dist = frame.distance(out=dist)
        gray = frame.gray(out=gray)
        rgb = kavri.colorize(dist, range=tuple(args.range))
        if im_d is None:
            im_d = ax_d.imshow(rgb)
            im_g = ax_g.imshow(gray, cmap="gray")
            ax_d.set_title("distance")
            ax_g.set_title("amplitude")
        else:
            im_d.set_data(rgb)
            im_g.set_data(gray)
            im_g.set_clim(np.nanmin(gray), np.nanmax(gray))
        fig.suptitle(f"frame {frame.index}: median {np.nanmedian(dist):.3f} m")
        plt.pause(0.001)
if args.save:
    fig.savefig(args.save)
    print(f"saved {args.save}")
