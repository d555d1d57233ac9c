#!/usr/bin/env bash
# Installs what is missing, builds incrementally, and runs every test: the C++ unit tests, the C++
# network tests and the Python tests; then the checks CI runs after them: the documentation site
# built in strict mode and loaded in headless Chromium, the release wheel tried as a user would
# (spdlog, fmt, Rust and CMake hidden), the C++ suite under ASan+UBSan, every fuzz target from its
# seeds, a 60 s soak, the fault outcomes and the client's network exposure.
# Tests that open Zenoh sessions run inside private network namespaces that the run creates and
# removes, so nothing leaves this machine (needs root).
#
#   ./scripts/test.sh                  everything (what CI runs)
#   ./scripts/test.sh PYTEST_ARGS...   the C++ and Python tests only, the arguments going to pytest
#   KVN_QUICK=1 ./scripts/test.sh      the C++ and Python tests only
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
kvn_setup

[ "$(id -u)" -eq 0 ] || kvn_die "the network tests create network namespaces: run as root"

status=0
failed=()
timings=()
# kvn_step NAME COMMAND...: runs one step, keeps going after a failure, remembers its time.
kvn_step() {
  local name=$1 started=$SECONDS
  shift
  kvn_log "$name"
  if ! (cd "$KVN_ROOT" && "$@"); then
    status=1
    failed+=("$name")
  fi
  timings+=("$(printf '%4d s  %s' $((SECONDS - started)) "$name")")
}

full=0
[ $# -eq 0 ] && [ "${KVN_QUICK:-}" != 1 ] && full=1

# The ASan build compiles everything once more, instrumented: four minutes of both CPUs. It is
# compiled in the background at the lowest priority while the steps up to the wheels run, which
# mostly wait on robots and time-outs; its step waits for it. The soak and the fault outcomes,
# which count samples, run after it. Its compilers are installed first: two apt-gets cannot run
# at once.
asan_build=
if [ $full = 1 ]; then
  kvn_ensure_apt "${KVN_CLANG_PACKAGES[@]}"
  mkdir -p "$KVN_ROOT/build"
  setsid nice -n 19 "$KVN_ROOT/scripts/sanitize.sh" --build-only asan \
    >"$KVN_ROOT/build/asan-build.log" 2>&1 &
  asan_build=$!
  trap '[ -z "$asan_build" ] || kill -- -"$asan_build" 2>/dev/null' EXIT
fi
# Waits for the background ASan build; its step then finds it done (or shows what failed).
kvn_await_asan_build() {
  [ -n "$asan_build" ] || return 0
  local started=$SECONDS
  kvn_log "Waiting for the ASan build"
  wait "$asan_build" || kvn_log "The background ASan build failed (build/asan-build.log); again:"
  asan_build=
  timings+=("$(printf '%4d s  %s' $((SECONDS - started)) "Waiting for the ASan build")")
}

kvn_step "C++ tests" ctest --test-dir "$KVN_BUILD" --output-on-failure -j "$KVN_JOBS"
# The Python tests mostly wait on robots and time-outs: three worker processes (pytest-xdist),
# each in a network namespace of its own, finish them in little over half the time of one.
# KVN_PYTEST_WORKERS=0 runs them in this process; "-n N" among the arguments wins as well.
kvn_step "Python tests" env KORVANTYR_BRIDGE_TOOL="$KVN_BUILD/tools/kvn-bridge-tool" \
  "$KVN_VENV/bin/python" -m pytest -n "${KVN_PYTEST_WORKERS:-3}" "$@"

if [ $full = 1 ]; then
  kvn_step "Documentation site, built and checked in Chromium" ./scripts/docs.sh --check
  # The glibc 2.28 wheel, over the development install's build folder (built the same way);
  # scripts/aarch64.sh builds and checks the aarch64 one.
  kvn_step "Wheel" ./scripts/wheel.sh
  kvn_step "Wheel on a bare machine" ./scripts/wheel-smoke.sh
  kvn_await_asan_build
  kvn_step "C++ tests under ASan and UBSan" ./scripts/sanitize.sh asan
  # The ASan build holds the fuzz targets too, over the same instrumented library.
  kvn_step "Fuzz targets from their seeds" env KVN_FUZZ_BUILD="$KVN_ROOT/build/asan" \
    ./scripts/fuzz.sh ci
  kvn_step "Soak, 60 s" "$KVN_VENV/bin/python" bench/soak.py --seconds 60
  kvn_step "Fault outcomes, short" "$KVN_VENV/bin/python" bench/faults.py --repeats 2 \
    --clients 50 --hostile-seconds 20 --hostile-starts 5
  kvn_step "Network exposure" "$KVN_VENV/bin/python" bench/exposure.py
fi

printf '%s\n' "${timings[@]}" >&2
[ ${#failed[@]} -eq 0 ] || printf 'failed: %s\n' "${failed[@]}" >&2
exit $status
