#!/bin/sh
# The Python package's two installs, each imported from where it landed:
#   install_test.sh BUILD_DIR PYTHON_SOURCE_DIR WORK_DIR
# cmake --install puts it into the prefix's site-packages, where it finds the
# prefix's libkavri and simulator without help; pip installs it from a copy
# of the sources (a build in place would leave files in the source tree).
set -eu
build=$1
src=$2
work=$3
python=/usr/bin/python3
rm -rf "$work"
mkdir -p "$work"

check='
import sys, kavri, kavri.testing
from kavri import _lib
with kavri.testing.simulated(cameras=2):
    assert len(kavri.cameras()) == 2
    with kavri.open() as cam:
        assert cam.snapshot().distance().shape == (240, 320)
print("loaded", _lib.library_path(), "from", kavri.__file__)
assert kavri.__file__.startswith(sys.argv[1]), kavri.__file__
assert _lib.library_path().startswith(sys.argv[2]), _lib.library_path()
'

cmake --install "$build" --prefix "$work/prefix" >/dev/null
marker=$(find "$work/prefix" -path '*-packages/kavri/_install.py' | head -n 1)
[ -n "$marker" ] || { echo "cmake --install left no kavri package in $work/prefix" >&2; exit 1; }
[ -f "$(dirname "$marker")/py.typed" ] || { echo "py.typed is not installed" >&2; exit 1; }
site=$(dirname "$(dirname "$marker")")
(cd "$work" && env -u KAVRI_LIBRARY -u KAVRI_CAMSIM_LIBRARY -u CAMSIM_LIBRARY \
    PYTHONPATH="$site" KAVRI_WORKDIR="$work/wd-cmake/" "$python" -c "$check" "$site" "$work/prefix")

mkdir -p "$work/src"
cp -r "$src/pyproject.toml" "$src/README.md" "$src/kavri" "$work/src/"
"$python" -m pip install --quiet --no-deps --no-build-isolation --no-index \
    --target "$work/pip" "$work/src"
[ -f "$work/pip/kavri/py.typed" ] || { echo "pip left out py.typed" >&2; exit 1; }
(cd "$work" && env -u CAMSIM_LIBRARY PYTHONPATH="$work/pip" \
    KAVRI_LIBRARY="$work/prefix/lib/libkavri.so.1" \
    KAVRI_CAMSIM_LIBRARY="$work/prefix/lib/libkavri_camsim.so" \
    KAVRI_WORKDIR="$work/wd-pip/" "$python" -c "$check" "$work/pip" "$work/prefix")
echo "both installs import and find the library"
