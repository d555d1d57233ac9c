#!/usr/bin/env bash
# Installs what is missing, builds incrementally, and runs every test: the C++ unit tests, the C++
# network tests and the Python tests. Tests that open Zenoh sessions run inside private network
# namespaces that the run creates and removes, so nothing leaves this machine (needs root).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
kvn_setup

[ "$(id -u)" -eq 0 ] || kvn_die "the network tests create network namespaces: run as root"

status=0
kvn_log "C++ tests"
ctest --test-dir "$KVN_BUILD" --output-on-failure -j "$KVN_JOBS" || status=1

kvn_log "Python tests"
(cd "$KVN_ROOT" && KORVANTYR_BRIDGE_TOOL="$KVN_BUILD/tools/kvn-bridge-tool" \
   "$KVN_VENV/bin/python" -m pytest "$@") || status=1

exit $status
