#!/usr/bin/env bash
# Runs a test suite under a sanitizer and fails on any report:
#
#   scripts/sanitize.sh asan          the whole C++ suite (ctest) under ASan+UBSan, leak check on
#   scripts/sanitize.sh asan-python   the Python suite (pytest) against the module built with ASan
#   scripts/sanitize.sh tsan          the whole C++ suite (ctest) under TSan
#
#   scripts/sanitize.sh --build-only MODE   builds what MODE runs, runs nothing
#
# Further arguments go to ctest (asan, tsan) or pytest (asan-python). Each mode builds into its own
# folder (build/asan with clang, build/tsan and build/asan-py with the default compiler) over the
# shared, uninstrumented Rust bridge in bridge/target. Every sanitizer writes its reports into
# <build folder>/reports/, from every process of the run (child processes included); the run fails
# when that folder is not empty afterwards, and prints what it holds, even when the tests
# themselves passed.
# Needs root: the network tests run inside private network namespaces.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() {
  echo "usage: $0 [--build-only] asan|asan-python|tsan [ctest or pytest arguments]" >&2
  exit 2
}
build_only=0
if [ "${1:-}" = "--build-only" ]; then
  build_only=1
  shift
fi
[ $# -ge 1 ] || usage
mode="$1"
shift
case "$mode" in asan | asan-python | tsan) ;; *) usage ;; esac

[ "$(id -u)" -eq 0 ] || kvn_die "the network tests create network namespaces: run as root"
kvn_ensure_apt
kvn_ensure_cargo
kvn_ensure_venv

SUPP="$KVN_ROOT/tests"
CXX_COMPILER="${CXX:-c++}"

# Configures and builds the C++ library, tests and tools with one sanitizer option in $2, compiled
# by the C and C++ compilers in $3 and $4; further arguments go to CMake.
san_build_cmake() {
  local dir="$1" option="$2" cc="$3" cxx="$4" werror=OFF
  shift 4
  [ "${CI:-}" = "true" ] && werror=ON
  # CMake keeps the compilers of a folder's first configuration: another pair starts it afresh.
  if [ -f "$dir/CMakeCache.txt" ] &&
     ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$(command -v "$cxx")" "$dir/CMakeCache.txt"; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
  kvn_log "Building the C++ library, tests and tools with $option ($cxx) in $dir"
  # GNU nm checks the bridge's exports: llvm-nm 14 cannot read the objects of a newer rustc.
  CC="$cc" CXX="$cxx" cmake -S "$KVN_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -D"$option"=ON -DKORVANTYR_BUILD_TESTS=ON -DKORVANTYR_BUILD_PYTHON=OFF \
    -DKORVANTYR_INSTALL_CXX=ON -DKORVANTYR_WERROR="$werror" -DCMAKE_NM=/usr/bin/nm \
    -DPython3_EXECUTABLE="$KVN_VENV/bin/python" "$@" >/dev/null
  cmake --build "$dir" -j "$KVN_JOBS"
}

# Marks the end of the build; with --build-only, the end of the run.
san_built() {
  built=$SECONDS
  [ "$build_only" = 0 ] || exit 0
}

# An empty report folder for this run; log_path makes each process write its reports there.
san_reset_reports() {
  REPORTS="$1/reports"
  rm -rf "$REPORTS"
  mkdir -p "$REPORTS"
}

# Prints every report of the run; fails if there is one.
san_check_reports() {
  local files=("$REPORTS"/*)
  [ -e "${files[0]}" ] || return 0
  kvn_log "Sanitizer reports (${#files[@]} files in $REPORTS)"
  for f in "${files[@]}"; do
    printf '\n----- %s\n' "$f" >&2
    cat "$f" >&2
  done
  return 1
}

# Options common to ASan and UBSan runs; a report ends the process that makes it.
san_asan_env() {
  local asan=(detect_leaks="$1" halt_on_error=1 detect_stack_use_after_return=1
              check_initialization_order=1 strict_init_order=1 strict_string_checks=1
              log_path="$REPORTS/asan")
  local ubsan=(halt_on_error=1 print_stacktrace=1 report_error_type=1 log_path="$REPORTS/ubsan")
  export ASAN_OPTIONS; ASAN_OPTIONS="$(IFS=:; echo "${asan[*]}")"
  export UBSAN_OPTIONS; UBSAN_OPTIONS="$(IFS=:; echo "${ubsan[*]}")"
}

started=$SECONDS
status=0
case "$mode" in
  asan)
    # Clang compiles the instrumented tree two to three times faster than GCC; its runtime is
    # linked into each executable, so nothing is preloaded. The fuzz targets are built here too,
    # over the same instrumented library objects: KVN_FUZZ_BUILD=build/asan scripts/fuzz.sh ci
    # then runs them without compiling the library again.
    kvn_ensure_apt "${KVN_CLANG_PACKAGES[@]}"
    dir="$KVN_ROOT/build/asan"
    san_build_cmake "$dir" KORVANTYR_SANITIZE_ADDRESS clang clang++ -DKORVANTYR_BUILD_FUZZERS=ON
    san_built
    san_reset_reports "$dir"
    san_asan_env 1
    kvn_log "C++ tests under ASan+UBSan"
    ctest --test-dir "$dir" --output-on-failure -j "$KVN_JOBS" "$@" || status=1
    ;;

  tsan)
    dir="$KVN_ROOT/build/tsan"
    san_build_cmake "$dir" KORVANTYR_SANITIZE_THREAD cc "$CXX_COMPILER"
    san_built
    san_reset_reports "$dir"
    # Every report of the run is collected (halt_on_error=0); any of them fails it.
    tsan=(suppressions="$SUPP/tsan.supp" halt_on_error=0 second_deadlock_stack=1 history_size=4
          log_path="$REPORTS/tsan")
    export TSAN_OPTIONS; TSAN_OPTIONS="$(IFS=:; echo "${tsan[*]}")"
    kvn_log "C++ tests under TSan"
    ctest --test-dir "$dir" --output-on-failure -j "$KVN_JOBS" "$@" || status=1
    ;;

  asan-python)
    # The instrumented kvn-bridge-tool and the installable C++ tree, built by the compiler that
    # builds the module: the whole run shares the one preloaded ASan runtime.
    dir="$KVN_ROOT/build/asan-py"
    cxx_dir="$dir/cxx"
    san_build_cmake "$cxx_dir" KORVANTYR_SANITIZE_ADDRESS cc "$CXX_COMPILER"
    venv="$dir/venv"
    # The C++ runtime comes with it: ASan finds the real __cxa_throw only if libstdc++ is loaded
    # when ASan starts, and the interpreter itself does not link it.
    libasan="$("$CXX_COMPILER" -print-file-name=libasan.so)"
    libstdcxx="$("$CXX_COMPILER" -print-file-name=libstdc++.so)"
    [ -f "$libasan" ] && [ -f "$libstdcxx" ] ||
      kvn_die "the ASan runtime or libstdc++ of $CXX_COMPILER was not found"
    libasan="$libasan:$libstdcxx"
    if [ ! -x "$venv/bin/python" ]; then
      py="$(kvn_find_python312)" || kvn_die "python3.12 not found"
      kvn_log "Creating $venv with $py"
      "$py" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      -r "$KVN_ROOT/scripts/requirements-dev.txt"
    # Installed as a user installs it (pip, type stubs included), only instrumented. The stubs are
    # made by importing the built module, which needs the ASan runtime loaded first: the build runs
    # with it preloaded and without leak checks (the compilers' and CMake's leaks are not ours).
    kvn_log "Building and installing korvantyr with ASan+UBSan into $venv"
    (cd "$KVN_ROOT" && LD_PRELOAD="$libasan" ASAN_OPTIONS=detect_leaks=0 \
       CMAKE_BUILD_PARALLEL_LEVEL="$KVN_JOBS" "$venv/bin/python" -m pip install -q \
       --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
       -C cmake.build-type=RelWithDebInfo -C build-dir="$dir/wheel" \
       -C cmake.define.KORVANTYR_SANITIZE_ADDRESS=ON ".[sim,test]")
    san_built
    san_reset_reports "$dir"
    # The interpreter frees neither its heap nor the objects still alive at exit, and every child
    # process of the suite (the simulated robot, mypy, ip) inherits the preload: a leak check would
    # report the interpreter's memory, not ours. It runs off here; the C++ suite checks the
    # library's leaks. PYTHONMALLOC=malloc puts every Python object on ASan's heap, so a binding
    # that touches a freed or too-small object is caught too.
    san_asan_env 0
    kvn_log "Python tests against the ASan module"
    (cd "$KVN_ROOT" && LD_PRELOAD="$libasan" PYTHONMALLOC=malloc \
       KORVANTYR_BRIDGE_TOOL="$cxx_dir/tools/kvn-bridge-tool" \
       "$venv/bin/python" -m pytest "$@") || status=1
    ;;
esac

san_check_reports || status=1
kvn_log "$mode: build $((built - started)) s, tests $((SECONDS - built)) s, exit $status"
exit $status
