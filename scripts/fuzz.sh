#!/usr/bin/env bash
# Coverage-guided fuzzing of the library's decoders and reply parsers with libFuzzer (clang 14,
# AddressSanitizer and UndefinedBehaviorSanitizer). The targets are fuzz/fuzz_<what>.cpp.
#
#   scripts/fuzz.sh ci [SECONDS]      build, then run every target SECONDS (default 10) from the
#                                     committed seeds (fuzz/corpus/<what>), KVN_JOBS (one per
#                                     core) at a time; fails on any finding
#   scripts/fuzz.sh run WHAT [SECONDS] [LIBFUZZER_OPTION...]
#                                     one campaign (default 600 s) on build/fuzz/corpus/WHAT, which
#                                     grows, and the committed seeds; prints libFuzzer's final stats
#   scripts/fuzz.sh seeds             write build/fuzz/corpus/<what> from the simulated robot
#                                     (needs .venv, which ./scripts/test.sh creates)
#   scripts/fuzz.sh build             only build the targets into build/fuzz
#   scripts/fuzz.sh list              name the targets
#
# A finding lands in build/fuzz/artifacts/<what>/; replay it with the library's log lines shown:
#   KVN_FUZZ_LOG=1 build/fuzz/fuzz/fuzz_<what> build/fuzz/artifacts/<what>/crash-...
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

KVN_FUZZ_BUILD="${KVN_FUZZ_BUILD:-$KVN_ROOT/build/fuzz}"  # another directory: KVN_FUZZ_BUILD=...
KVN_FUZZ_TARGETS=(basic_stream extra_stream rpc_reply segmentation serial_number primitive_states
                  plan_info manipulability start_id_and_dof)

kvn_fuzz_usage() {
  sed -n '2,/^source/{/^source/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}" >&2
  exit 2
}

kvn_fuzz_known() {
  local what
  for what in "${KVN_FUZZ_TARGETS[@]}"; do [ "$what" = "$1" ] && return 0; done
  kvn_die "unknown fuzz target '$1' (scripts/fuzz.sh list)"
}

kvn_fuzz_build() {
  kvn_ensure_apt "${KVN_CLANG_PACKAGES[@]}"
  kvn_ensure_cargo
  kvn_log "Building the fuzz targets in $KVN_FUZZ_BUILD"
  # A folder configured with the fuzz targets already (this script's own, or the ASan suite's of
  # scripts/sanitize.sh) keeps its configuration: new options would recompile all of it.
  if ! grep -qx 'KORVANTYR_BUILD_FUZZERS:BOOL=ON' "$KVN_FUZZ_BUILD/CMakeCache.txt" 2>/dev/null; then
    # GNU nm checks the bridge's exports: llvm-nm 14 cannot read the objects of a newer rustc.
    CC=clang CXX=clang++ cmake -S "$KVN_ROOT" -B "$KVN_FUZZ_BUILD" -G Ninja \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_NM=/usr/bin/nm -DKORVANTYR_BUILD_FUZZERS=ON \
      -DKORVANTYR_BUILD_PYTHON=OFF -DKORVANTYR_INSTALL_CXX=OFF -DKORVANTYR_WERROR=ON >/dev/null
  fi
  cmake --build "$KVN_FUZZ_BUILD" --target fuzzers -j "$KVN_JOBS"
}

# libFuzzer options of target $1 into the array kvn_fuzz_options.
kvn_fuzz_set_options() {
  local what=$1 max_len
  case "$what" in
    basic_stream | segmentation | primitive_states) max_len=4096 ;;
    extra_stream | rpc_reply) max_len=2048 ;;
    manipulability | start_id_and_dof | plan_info) max_len=1024 ;;
    serial_number) max_len=256 ;;
  esac
  mkdir -p "$KVN_FUZZ_BUILD/artifacts/$what"
  kvn_fuzz_options=(-max_len="$max_len" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
                    -artifact_prefix="$KVN_FUZZ_BUILD/artifacts/$what/")
  if [ -f "$KVN_ROOT/fuzz/$what.dict" ]; then
    kvn_fuzz_options+=(-dict="$KVN_ROOT/fuzz/$what.dict")
  fi
}

# Runs target $1 for $2 seconds on the corpus directories that follow, then the extra options.
kvn_fuzz_exec() {
  local what=$1 seconds=$2
  shift 2
  kvn_fuzz_set_options "$what"
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
    "$KVN_FUZZ_BUILD/fuzz/fuzz_$what" "${kvn_fuzz_options[@]}" -max_total_time="$seconds" "$@"
}

# Reports how the CI run of target $1 ended (its status in $2) and records a finding in failed[].
kvn_fuzz_ci_report() {
  local what=$1 rc=$2
  kvn_log "fuzz_$what: exit $rc"
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$KVN_FUZZ_BUILD/ci-$what.log" >&2
    failed+=("$what")
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|#[0-9]+[[:space:]]+DONE)' \
    "$KVN_FUZZ_BUILD/ci-$what.log" >&2 || true
}

kvn_fuzz_ci() {
  local seconds=${1:-10} what failed=() scratch pids=() names=() i
  kvn_fuzz_build
  scratch="$KVN_FUZZ_BUILD/ci-corpus"
  kvn_log "${#KVN_FUZZ_TARGETS[@]} targets, ${seconds} s each from fuzz/corpus/<target>, $KVN_JOBS at a time"
  # One target per core: each libFuzzer process is single-threaded.
  for what in "${KVN_FUZZ_TARGETS[@]}"; do
    # New inputs go to a scratch directory, never into the committed seeds.
    rm -rf "${scratch:?}/$what" && mkdir -p "$scratch/$what"
    kvn_fuzz_exec "$what" "$seconds" "$scratch/$what" "$KVN_ROOT/fuzz/corpus/$what" \
      2> "$KVN_FUZZ_BUILD/ci-$what.log" &
    pids+=($!)
    names+=("$what")
    if [ ${#pids[@]} -ge "$KVN_JOBS" ] || [ "$what" = "${KVN_FUZZ_TARGETS[-1]}" ]; then
      for i in "${!pids[@]}"; do
        if wait "${pids[$i]}"; then kvn_fuzz_ci_report "${names[$i]}" 0
        else kvn_fuzz_ci_report "${names[$i]}" $?; fi
      done
      pids=()
      names=()
    fi
  done
  [ ${#failed[@]} -eq 0 ] ||
    kvn_die "fuzz findings in: ${failed[*]} (inputs in $KVN_FUZZ_BUILD/artifacts/)"
  kvn_log "No fuzz findings"
}

kvn_fuzz_run() {
  [ $# -ge 1 ] || kvn_fuzz_usage
  local what=$1 seconds=600
  kvn_fuzz_known "$what"
  shift
  if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
  [ -x "$KVN_FUZZ_BUILD/fuzz/fuzz_$what" ] || kvn_fuzz_build
  mkdir -p "$KVN_FUZZ_BUILD/corpus/$what"
  kvn_fuzz_exec "$what" "$seconds" "$KVN_FUZZ_BUILD/corpus/$what" "$KVN_ROOT/fuzz/corpus/$what" "$@"
}

kvn_fuzz_seeds() {
  [ -x "$KVN_VENV/bin/python" ] || kvn_die "no $KVN_VENV: run ./scripts/test.sh once first"
  PYTHONPATH="$KVN_ROOT/sim" "$KVN_VENV/bin/python" "$KVN_ROOT/fuzz/make_seeds.py" \
    --out "$KVN_FUZZ_BUILD/corpus"
}

case "${1:-}" in
  ci) shift; kvn_fuzz_ci "$@" ;;
  run) shift; kvn_fuzz_run "$@" ;;
  seeds) kvn_fuzz_seeds ;;
  build) kvn_fuzz_build ;;
  list) printf '%s\n' "${KVN_FUZZ_TARGETS[@]}" ;;
  *) kvn_fuzz_usage ;;
esac
