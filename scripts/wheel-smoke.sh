#!/usr/bin/env bash
# Tries the wheel as a user on a robot PC would: installs it (with the simulated robot's extra) into
# a fresh virtual environment and runs the README's Python example and the installed commands
# against the simulated robot, inside a private network namespace. The run cannot see what such a
# PC may lack: a private mount namespace covers the system's spdlog and fmt (libraries, headers,
# CMake packages), cargo, rustc and CMake, so a wheel that still needs any of them fails here.
#
#   scripts/wheel-smoke.sh [WHEEL]     default: the one wheel for this machine's CPU in dist/
#                                      (scripts/wheel.sh)
#
# Needs root (mount and network namespaces). Nothing leaves the machine.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ "$(id -u)" -eq 0 ] || kvn_die "the smoke test hides libraries in a mount namespace: run as root"

if [ $# -ge 1 ]; then
  wheel="$(realpath "$1")"
else
  found=("$KVN_ROOT"/dist/korvantyr-*_"$(uname -m)".whl)
  [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] ||
    kvn_die "expected one $(uname -m) wheel in dist/ (run scripts/wheel.sh), or name one"
  wheel="${found[0]}"
fi

work="$KVN_ROOT/build/wheel-smoke"
rm -rf "$work"
mkdir -p "$work"
py="$(kvn_find_python312)" || kvn_die "python3.12 not found"

# The README's example as a user copies it: its first Python block.
"$py" - "$KVN_ROOT/README.md" "$work/example.py" <<'EOF'
import re, sys
readme = open(sys.argv[1], encoding="utf-8").read()
code = re.search(r"^```python\n(.*?)^```", readme, re.DOTALL | re.MULTILINE).group(1)
open(sys.argv[2], "w", encoding="utf-8").write(code)
EOF

cat >"$work/hidden.sh" <<'EOF'
# Runs in the private mount namespace: hides, proves the hiding, installs, runs the example.
set -euo pipefail
work=$1 root=$2 py=$3 wheel=$4
cover() {  # cover PATH...: a file gets /dev/null over it, a folder an empty tmpfs
  local p
  for p in "$@"; do
    if [ -d "$p" ]; then mount -t tmpfs -o ro,size=4k none "$p"
    elif [ -e "$p" ]; then mount --bind /dev/null "$p"
    fi
  done
}
mapfile -t libs < <(find /usr/lib /usr/local/lib \( -name 'libspdlog*' -o -name 'libfmt*' \) \
                      -exec realpath {} + 2>/dev/null | sort -u)
[ ${#libs[@]} -gt 0 ] || echo "note: no spdlog or fmt library on this machine to hide" >&2
cover "${libs[@]}"
cover /usr/include/spdlog /usr/include/fmt \
      /usr/lib/x86_64-linux-gnu/cmake/spdlog /usr/lib/x86_64-linux-gnu/cmake/fmt \
      "$HOME/.cargo" "$HOME/.rustup"
export PATH="$work/venv/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
for tool in cmake ctest cargo rustc ninja; do
  for dir in ${PATH//:/ }; do
    if [ -e "$dir/$tool" ]; then cover "$(realpath "$dir/$tool")"; fi
  done
done
hash -r
for tool in cmake cargo rustc; do
  ! "$tool" --version >/dev/null 2>&1 || { echo "smoke: $tool still runs" >&2; exit 1; }
done
for lib in libspdlog.so.1.10 libfmt.so.9 libspdlog.so libfmt.so; do
  ! python -c "import ctypes, sys; ctypes.CDLL(sys.argv[1])" "$lib" 2>/dev/null ||
    { echo "smoke: $lib still loads" >&2; exit 1; }
done
echo "hidden: ${#libs[@]} spdlog/fmt libraries, their headers, cargo, rustc, CMake"

echo "installing ${wheel##*/} into a fresh venv"
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel}[sim,record]"
cd "$work"
exec python "$root/tests/support/netns.py" run -- bash "$work/robot.sh" "$work"
EOF

cat >"$work/robot.sh" <<'EOF'
# Runs in the network namespace: the simulated robot, then the example and the commands as the user
# would run them.
set -euo pipefail
work=$1
exec 3< <(korvantyr-sim --serial DEMO-ARM-0001 --rate 1000 </dev/null)
read -r -t 60 ready <&3 || true
[ "${ready:-}" = READY ] || { echo "smoke: the simulated robot did not start" >&2; exit 1; }
python -c 'import korvantyr, sys; assert korvantyr.__file__.startswith(sys.prefix), korvantyr.__file__'
python "$work/example.py" | tee "$work/example.out"
grep -q "<JointGroup.ALL: 0>: 'ALL'" "$work/example.out" ||
  { echo "smoke: the example printed no joint groups" >&2; exit 1; }
# The installed commands, as a user tries them first.
korvantyr-scan | tee "$work/scan.out"
grep -Eq '^DEMO-ARM-0001 +yes +v2\.1' "$work/scan.out" ||
  { echo "smoke: korvantyr-scan did not list the robot" >&2; exit 1; }
korvantyr-relay --help | grep -q "^usage: korvantyr-relay" ||
  { echo "smoke: korvantyr-relay did not run" >&2; exit 1; }
korvantyr-monitor DEMO-ARM-0001 --seconds 1 --quiet > "$work/monitor.out"
grep -q "^primitive states:" "$work/monitor.out" ||
  { echo "smoke: korvantyr-monitor showed no frame" >&2; exit 1; }
korvantyr-record DEMO-ARM-0001 --seconds 1 --no-plot --quiet --csv "$work/record.csv"
[ "$(wc -l < "$work/record.csv")" -gt 50 ] ||
  { echo "smoke: korvantyr-record wrote no samples" >&2; exit 1; }
# Two seconds recorded, replayed as another robot, and the replay recorded in turn.
korvantyr-record DEMO-ARM-0001 -o "$work/run.mcap" --seconds 2 --quiet | tee "$work/record.out"
grep -q ' 0 lost in the queue' "$work/record.out" ||
  { echo "smoke: korvantyr-record did not report its recording" >&2; exit 1; }
exec 4< <(korvantyr-sim --replay "$work/run.mcap" --serial DEMO-REPLAY-0001 --loop </dev/null)
read -r -t 60 ready <&4 || true
[ "${ready:-}" = READY ] || { echo "smoke: the replay did not start" >&2; exit 1; }
korvantyr-record DEMO-REPLAY-0001 -o "$work/replayed.mcap" --seconds 1 --quiet --csv \
  "$work/replayed.csv" --no-plot
[ "$(wc -l < "$work/replayed.csv")" -gt 50 ] ||
  { echo "smoke: the replay's recording holds no samples" >&2; exit 1; }
EOF

kvn_log "Installing ${wheel##*/} and running the README's example, spdlog, fmt, Rust and CMake hidden"
started=$SECONDS
unshare --mount --propagation private -- bash "$work/hidden.sh" "$work" "$KVN_ROOT" "$py" "$wheel" ||
  kvn_die "the smoke test of ${wheel##*/} failed"
kvn_log "Smoke test of ${wheel##*/} passed ($((SECONDS - started)) s)"
