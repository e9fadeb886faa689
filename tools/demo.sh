#!/bin/sh
# The main job on a simulated camera: list it, open it, capture a few dozen
# frames and write a colour-mapped distance picture, a gray picture, a point
# cloud, a frame file and an ONI recording; then record the camera's raw
# stream, replay it and capture a picture from the replay.
#
#   tools/demo.sh BUILD_DIR [OUTPUT_DIR]      (OUTPUT_DIR defaults to demo-out)
#
# Environment: DEMO_FRAMES (default 30), DEMO_RAW_FRAMES (default 24); the
# simulator's CAMSIM_* keys.
set -eu

build=${1:?usage: demo.sh BUILD_DIR [OUTPUT_DIR]}
out=${2:-demo-out}
frames=${DEMO_FRAMES:-30}
raw_frames=${DEMO_RAW_FRAMES:-24}
cli="$build/tools/kavri-cli"
run="$build/sim/camsim-run"

for f in "$cli" "$run"; do
    if [ ! -x "$f" ]; then
        echo "demo: $f is missing; build first (make build)" >&2
        exit 1
    fi
done

mkdir -p "$out"
# The calibration cache and the library's log stay with the outputs.
KAVRI_WORKDIR="$out/workdir"
export KAVRI_WORKDIR

echo "== the simulated camera on the bus"
"$run" "$cli" list
echo
echo "== the camera opened (its calibration is pulled into $KAVRI_WORKDIR the first time)"
"$run" "$cli" info
echo
echo "== capture: $frames frames"
"$run" "$cli" capture --frames "$frames" --out-dir "$out"
echo
echo "== raw recording: $raw_frames frames of the camera's stream, byte for byte"
"$run" "$cli" record --raw "$out/raw.kvr" --frames "$raw_frames" --progress-every 0
echo
echo "== the raw recording replayed through the parser and the chip driver"
"$run" "$cli" play "$out/raw.kvr" --decode
echo
echo "== capture from the replay, as from a camera"
"$run" "$cli" capture --from "$out/raw.kvr" --frames 5 --png "$out/replay.png"
echo
echo "== outputs in $out/"
echo "   distance.png  colour-mapped distance of the last frame (near red, far blue; bar in mm)"
echo "   gray.png      amplitude of the last frame"
echo "   cloud.ply     point cloud of the last frame (metres, coloured by distance)"
echo "   distance.kv   every frame's distances (frame file, millimetres)"
echo "   capture.oni   depth + IR recording (plays in ONI players)"
echo "   raw.kvr       raw recording: kavri-cli play $out/raw.kvr, or --from $out/raw.kvr"
echo "   replay.png    distance picture captured from the raw recording"
echo "   workdir/      calibration cache and kavri-cli.log"
