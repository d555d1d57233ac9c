#!/usr/bin/env bash
# Installs what is missing, builds incrementally, starts the simulated robot and watches it from the
# C++ side of the Zenoh bridge. As root, both run inside a private network namespace.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
kvn_setup

SERIAL="${KVN_DEMO_SERIAL:-DEMO-ARM-0001}"
SECONDS_TO_RUN="${KVN_DEMO_SECONDS:-10}"

demo_body() {
  "$KVN_VENV/bin/korvantyr-sim" --serial "$SERIAL" --preset dual-arm --rate 1000 &
  local sim=$!
  trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
  "$KVN_BUILD/tools/kvn-bridge-tool" watch "$SERIAL" "$SECONDS_TO_RUN"
}

if [ "${1:-}" = "--inside" ]; then
  demo_body
elif [ "$(id -u)" -eq 0 ]; then
  kvn_log "Running the demo inside a private network namespace"
  "$KVN_VENV/bin/python" "$KVN_ROOT/tests/support/netns.py" run -- "$0" --inside
else
  kvn_log "Not root: the demo runs on this host's network (Zenoh scouts by UDP multicast)"
  demo_body
fi
