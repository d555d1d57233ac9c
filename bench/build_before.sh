#!/usr/bin/env bash
# Builds the Python module of another revision, for the before/after rows of bench/perf.py:
#
#   bench/build_before.sh REV        # prints the directory that holds its korvantyr*.so
#   sudo .venv/bin/python bench/perf.py --before "$(bench/build_before.sh 59b0962)"
#
# The revision is checked out as a detached git worktree in build/before/<rev>/src (made once,
# kept for later runs) and configured as scripts/lib.sh configures build/cmake (RelWithDebInfo,
# the same options), in build/before/<rev>/build; only the module target is built. The worktree's
# bridge/target is a link to this checkout's, so Zenoh's crates are not compiled again. Cargo puts
# its final libkvn_zbridge.a at one path in that shared directory, so the script builds this
# checkout's bridge once more at the end: build/cmake keeps linking its own bridge.
set -euo pipefail

if [ $# -ne 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  echo "usage: bench/build_before.sh REV" >&2
  exit 2
fi
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
REV="$(git -C "$ROOT" rev-parse --short=7 "$1^{commit}")" || { echo "no such revision: $1" >&2; exit 2; }
BASE="$ROOT/build/before/$REV"
SRC="$BASE/src"
BUILD="$BASE/build"
JOBS="${KVN_JOBS:-2}"
log() { printf '==> %s\n' "$*" >&2; }

if ! command -v cargo >/dev/null 2>&1 && [ -x "$HOME/.cargo/bin/cargo" ]; then
  export PATH="$HOME/.cargo/bin:$PATH"
fi
if [ ! -e "$SRC/.git" ]; then
  log "Checking out $REV in $SRC"
  mkdir -p "$BASE"
  git -C "$ROOT" worktree add --detach "$SRC" "$REV" >&2
fi
mkdir -p "$ROOT/bridge/target"
if [ ! -L "$SRC/bridge/target" ]; then
  rm -rf "$SRC/bridge/target"
  ln -s "$ROOT/bridge/target" "$SRC/bridge/target"
fi

log "Configuring $BUILD"
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANTYR_BUILD_TESTS=ON -DKORVANTYR_WERROR=OFF \
  -DPython3_EXECUTABLE="$VENV/bin/python" -DPython_EXECUTABLE="$VENV/bin/python" \
  -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" >&2
log "Building korvantyr_python of $REV"
nice -n 5 cmake --build "$BUILD" -j "$JOBS" --target korvantyr_python >&2

log "Restoring this checkout's bridge library in bridge/target"
(cd "$ROOT/bridge" && env -u CC -u CXX CARGO_TARGET_DIR="$ROOT/bridge/target" \
  nice -n 5 cargo build --release --locked -q)

MODULE="$(find "$BUILD/python" -maxdepth 1 -name 'korvantyr*.so' -print -quit)"
[ -n "$MODULE" ] || { echo "no module was built in $BUILD/python" >&2; exit 1; }
dirname "$MODULE"
