#!/usr/bin/env bash
# The aarch64 wheel and the C++ install, built on this x86-64 machine and verified under qemu-user
# (as root: Debian packages, network namespaces). Too slow for every CI run on two cores; run it
# before a release and after changes to the build, the bridge or the toolchain.
#
#   scripts/aarch64.sh [CTEST ARGS...]
#
#   1. Debian's qemu-user-static, the aarch64 binutils and the arm64 C library (multiarch);
#      where that qemu is older than 8.0, the qemu-user of the release's backports unpacked into
#      build/aarch64-qemu; Debian's arm64 Python 3.11 unpacked into build/aarch64-python (neither
#      is installed);
#   2. the x86-64 wheel (its type stub) and the aarch64 wheel (scripts/wheel.sh --arch aarch64),
#      Zenoh compiled for aarch64 into bridge/target-aarch64 the first time;
#   3. the C++ library, tests and tools for aarch64 in build/aarch64 (cmake/zig-toolchain.cmake,
#      GoogleTest from Debian's sources) and the whole ctest suite under qemu-aarch64, the network
#      tests in their namespaces against the simulated robot (which runs natively);
#   4. the wheel's native commands under qemu-aarch64 against the simulated robot (the scan, the
#      relay connected to the robot's endpoint, a two-second recording);
#   5. the wheel's module loaded by the arm64 Python 3.11: it must stop at its interpreter check;
#   6. the C++ install of the aarch64 build into build/aarch64-install.
#
# A failed check does not stop the later ones; the script then exits 1 and names them. Debian 12's
# qemu-user (7.2) refuses the IP_MULTICAST_IF socket option (ENOPROTOOPT), so Zenoh's multicast
# scouting could not find a peer from an emulated process under it (CONTRIBUTING.md, aarch64).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ "$(id -u)" -eq 0 ] || kvn_die "installs Debian packages and opens network namespaces: run as root"

ARCH=aarch64
BUILD="$KVN_ROOT/build/$ARCH"
PYROOT="$KVN_ROOT/build/$ARCH-python"
QEMU=/usr/bin/qemu-$ARCH-static
QEMU_ROOT="$KVN_ROOT/build/$ARCH-qemu"
started=$SECONDS
step_started=$SECONDS
failed=()
step() {  # step NAME: logs how long the previous step took, then names the next
  [ -z "${step_name:-}" ] || kvn_log "$step_name: $((SECONDS - step_started)) s"
  step_name=$1 step_started=$SECONDS
  kvn_log "$1"
}

step "Debian packages for the emulation"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
fi
kvn_ensure_apt qemu-user-static binutils-aarch64-linux-gnu libc6:arm64 file
# qemu-user 8.0 and later set IP_MULTICAST_IF for the emulated process, which Zenoh's scouting
# needs. An older one (Debian 12 has 7.2) is replaced by the statically linked qemu-user of the
# release's backports, fetched by apt (signatures checked) through lists of its own, so that the
# machine's apt configuration stays as it is.
qemu_major() { "$1" --version 2>/dev/null | sed -n 's/^qemu-[a-z0-9_]* version \([0-9]*\)\..*/\1/p'; }
if [ "$(qemu_major "$QEMU")" -lt 8 ] 2>/dev/null; then
  if [ ! -x "$QEMU_ROOT/usr/bin/qemu-$ARCH" ]; then
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    [ -n "$codename" ] || kvn_die "no release code name in /etc/os-release for its backports"
    lists="$QEMU_ROOT.apt"
    rm -rf "$QEMU_ROOT" "$lists"
    mkdir -p "$lists/lists/partial" "$lists/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
      "http://deb.debian.org/debian $codename-backports main" >"$lists/sources.list"
    own=(-o Dir::Etc::SourceList="$lists/sources.list" -o Dir::Etc::SourceParts=/dev/null
         -o Dir::State::Lists="$lists/lists" -o Dir::Cache::Archives="$lists/archives"
         -o APT::Sandbox::User=root)
    apt-get "${own[@]}" update -qq || kvn_die "apt could not read $codename-backports"
    (cd "$lists" && apt-get "${own[@]}" download -qq "qemu-user/$codename-backports") ||
      kvn_die "no qemu-user in $codename-backports"
    dpkg-deb -x "$lists"/qemu-user_*.deb "$QEMU_ROOT"
    rm -rf "$lists"
  fi
  QEMU="$QEMU_ROOT/usr/bin/qemu-$ARCH"
fi
"$QEMU" --version | head -n 1
# Debian's python3.11 for arm64 would replace the machine's own: its packages are unpacked instead.
if [ ! -x "$PYROOT/usr/bin/python3.11" ]; then
  rm -rf "$PYROOT" "$PYROOT.debs"
  mkdir -p "$PYROOT.debs"
  (cd "$PYROOT.debs" && apt-get download -qq python3.11-minimal:arm64 libpython3.11-minimal:arm64 \
     zlib1g:arm64 libexpat1:arm64)
  for deb in "$PYROOT.debs"/*.deb; do dpkg-deb -x "$deb" "$PYROOT"; done
  rm -rf "$PYROOT.debs"
fi

step "Wheels (x86-64 for the type stub, then aarch64)"
"$KVN_ROOT/scripts/wheel.sh"
"$KVN_ROOT/scripts/wheel.sh" --arch "$ARCH"
wheel=("$KVN_ROOT"/dist/korvantyr-*_"$ARCH".whl)
[ -f "${wheel[0]}" ] || kvn_die "no aarch64 wheel in dist/"

step "C++ library, tests and tools for aarch64 in ${BUILD#"$KVN_ROOT"/}"
kvn_ensure_cross_tools
[ -d /usr/src/googletest ] || kvn_die "no /usr/src/googletest: apt-get install libgtest-dev"
cmake -S "$KVN_ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$KVN_ROOT/cmake/zig-toolchain.cmake" \
  -DKORVANTYR_CROSS_TOOLS="$KVN_CROSS_TOOLS" -DKORVANTYR_ZIG_TARGET="$ARCH-linux-gnu.$KVN_GLIBC" \
  -DKORVANTYR_BUILD_TESTS=ON -DKORVANTYR_SPDLOG_HEADER_ONLY=ON -DKORVANTYR_PYTHON_STUBS=OFF \
  -DKORVANTYR_QEMU="$QEMU" \
  -DKORVANTYR_GTEST_SOURCE_DIR=/usr/src/googletest \
  -DPython3_EXECUTABLE="$KVN_VENV/bin/python" -DPython_EXECUTABLE="$KVN_VENV/bin/python" \
  -Dpybind11_DIR="$("$KVN_VENV/bin/python" -m pybind11 --cmakedir)" \
  -DPython_INCLUDE_DIR="$("$KVN_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
  -DCMAKE_INSTALL_PREFIX="$KVN_ROOT/build/$ARCH-install" >/dev/null
cmake --build "$BUILD" -j "$KVN_JOBS"

step "The C++ suite under qemu-$ARCH"
ctest --test-dir "$BUILD" --output-on-failure --timeout 900 "$@" >"$BUILD/ctest.log" 2>&1 ||
  failed+=("the C++ suite under qemu-$ARCH (log: ${BUILD#"$KVN_ROOT"/}/ctest.log)")
sed -n '/tests passed/,$p' "$BUILD/ctest.log"

step "The wheel's native commands under qemu-$ARCH against the simulated robot"
work="$BUILD/wheel-check"
rm -rf "$work"
mkdir -p "$work"
"$KVN_VENV/bin/python" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  "${wheel[0]}" "$work/wheel"
native="$work/wheel/korvantyr_tools/_bin/korvantyr-native"
chmod +x "$native"
file -L "$native" | grep -q "ARM aarch64" || kvn_die "$native is not an aarch64 executable"
cat >"$work/robot.sh" <<'EOF'
# In the network namespace: the simulated robot (native Python), then each command as qemu runs it.
set -euo pipefail
venv=$1 qemu=$2 native=$3 work=$4
exec 3< <("$venv/bin/korvantyr-sim" --serial DEMO-ARM-0001 --rate 1000 \
           --listen tcp/127.0.0.1:17447 </dev/null)
read -r -t 60 ready <&3 || true
[ "${ready:-}" = READY ] || { echo "the simulated robot did not start" >&2; exit 1; }
# The executable picks its command by the name it runs under (argv[0]).
run() { local name=$1; shift; "$qemu" -0 "$name" "$native" "$@"; }
run korvantyr-scan | tee "$work/scan.out"
grep -Eq '^DEMO-ARM-0001 +yes +v2\.1' "$work/scan.out" || { echo "scan: no robot" >&2; exit 1; }
# The relay reaches the robot at the endpoint it listens on, says so, and ends with 0 on SIGTERM.
"$qemu" -0 korvantyr-relay "$native" --listen tcp/127.0.0.1:17448 tcp/127.0.0.1:17447 \
  >"$work/relay.out" 2>&1 &
relay=$!
for _ in $(seq 150); do
  grep -q "^korvantyr-relay: tcp/127.0.0.1:17447 connected" "$work/relay.out" && break
  sleep 0.2
done
kill -TERM "$relay"
relay_status=0
wait "$relay" || relay_status=$?
cat "$work/relay.out"
grep -q "^korvantyr-relay: tcp/127.0.0.1:17447 connected" "$work/relay.out" && [ "$relay_status" = 0 ] ||
  { echo "relay: not connected to the robot, or exit status $relay_status" >&2; exit 1; }
run korvantyr-record-native --help | grep -q "^usage: korvantyr-record" ||
  { echo "record-native: no help" >&2; exit 1; }
"$venv/bin/python" - "$work" "$qemu" "$native" <<'PY'
# The recorder behind korvantyr-record writes an MCAP file of the robot; the reader must open it.
import subprocess, sys
from pathlib import Path
work, qemu, native = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
out = work / "run.mcap"
subprocess.run([qemu, "-0", "korvantyr-record-native", native, "DEMO-ARM-0001", "-o", str(out),
                "--seconds", "2", "--quiet"], check=True)
from mcap.reader import make_reader
with open(out, "rb") as f:
    summary = make_reader(f).get_summary()
count = summary.statistics.message_count if summary and summary.statistics else 0
print(f"korvantyr-record-native: {out.name}, {count} messages")
sys.exit(0 if count > 1000 else 1)
PY
EOF
"$KVN_VENV/bin/python" "$KVN_ROOT/tests/support/netns.py" run -- \
  bash "$work/robot.sh" "$KVN_VENV" "$QEMU" "$native" "$work" ||
  failed+=("the aarch64 native commands against the simulated robot")

step "The wheel's module with Debian's arm64 Python 3.11 under qemu-$ARCH"
# Python 3.11 looks for other file names than a 3.12 module's: the module is loaded by its path.
# Loading resolves its libraries and their symbol versions and runs PyInit_korvantyr, whose first
# act is the interpreter check.
module=("$work"/wheel/korvantyr.cpython-312-"$ARCH"-linux-gnu.so)
out="$("$QEMU" -L "$PYROOT" "$PYROOT/usr/bin/python3.11" -c '
import importlib.util, platform, sys
print("python", platform.python_version(), platform.machine())
try:
    importlib.util.module_from_spec(importlib.util.spec_from_file_location("korvantyr", sys.argv[1]))
except ImportError as exc:
    print("ImportError:", exc)
' "${module[0]}" 2>&1)" || true
printf '%s\n' "$out"
grep -q "^ImportError: Python version mismatch: module was compiled for Python 3.12" <<<"$out" ||
  failed+=("the aarch64 module's load up to its interpreter check")

step "The C++ install for aarch64"
cmake --install "$BUILD" --prefix "$KVN_ROOT/build/$ARCH-install" --strip >/dev/null
file -L "$KVN_ROOT/build/$ARCH-install/lib/libkorvantyr.so" | grep -q "ARM aarch64" ||
  kvn_die "the installed libkorvantyr.so is not an aarch64 library"
step "Done"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'failed: %s\n' "${failed[@]}" >&2
  exit 1
fi
kvn_log "aarch64: ${wheel[0]#"$KVN_ROOT"/} built and verified, C++ install in build/$ARCH-install" \
  "($((SECONDS - started)) s)"
