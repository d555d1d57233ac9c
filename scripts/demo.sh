#!/usr/bin/env bash
# Installs what is missing, builds incrementally, starts the simulated robot and watches it live
# with the installed monitor (korvantyr-monitor, the Python client). As root, both run inside a
# private network namespace.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SERIAL="${KVN_DEMO_SERIAL:-DEMO-ARM-0001}"
SECONDS_TO_RUN="${KVN_DEMO_SECONDS:-10}"

demo_body() {
  local out; out="$(mktemp)"
  "$KVN_VENV/bin/korvantyr-sim" --serial "$SERIAL" --preset dual-arm --rate 1000 >"$out" &
  KVN_SIM_PID=$!
  trap 'kill $KVN_SIM_PID 2>/dev/null; wait $KVN_SIM_PID 2>/dev/null || true; rm -f "'"$out"'"' EXIT
  # The simulated robot prints READY once its publishers and its queryable are declared.
  local waited=0
  until grep -q '^READY' "$out"; do
    kill -0 "$KVN_SIM_PID" 2>/dev/null || kvn_die "the simulated robot exited: $(cat "$out")"
    [ $waited -lt 300 ] || kvn_die "the simulated robot did not start within 30 s"
    sleep 0.1; waited=$((waited + 1))
  done
  "$KVN_VENV/bin/korvantyr-monitor" "$SERIAL" --seconds "$SECONDS_TO_RUN"
}

if [ "${1:-}" = "--inside" ]; then
  demo_body
  exit
fi

kvn_setup
if [ "$(id -u)" -eq 0 ]; then
  kvn_log "Running the demo inside a private network namespace"
  "$KVN_VENV/bin/python" "$KVN_ROOT/tests/support/netns.py" run -- "$0" --inside
else
  kvn_log "Not root: the demo runs on this host's network (Zenoh scouts by UDP multicast)"
  demo_body
fi
