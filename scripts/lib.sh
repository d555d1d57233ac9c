# Shared set-up for scripts/test.sh and scripts/demo.sh: installs what is missing, then builds
# incrementally. Sourced, not executed. Everything lands in the repository: .venv/, build/ and
# bridge/target/ (Cargo's build of the Zenoh bridge, shared by every build so Zenoh compiles once).

set -euo pipefail

KVN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KVN_VENV="$KVN_ROOT/.venv"
KVN_BUILD="$KVN_ROOT/build/cmake"
KVN_JOBS="${KVN_JOBS:-$(nproc)}"

kvn_log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }
kvn_die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Debian packages the build and the tests need.
KVN_APT_PACKAGES=(build-essential cmake ninja-build pkg-config iproute2
                  libspdlog-dev libfmt-dev libgtest-dev libgmock-dev)

# What the sanitizer builds and the fuzz targets add: clang, its runtimes and LLVM's tools.
KVN_CLANG_PACKAGES=(clang libclang-rt-14-dev llvm)

kvn_ensure_apt() {
  local missing=()
  for p in "${KVN_APT_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    kvn_log "Installing Debian packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    kvn_die "missing Debian packages; run: sudo apt-get install -y ${missing[*]}"
  fi
}

kvn_ensure_cargo() {
  if ! command -v cargo >/dev/null 2>&1; then
    [ -x "$HOME/.cargo/bin/cargo" ] && export PATH="$HOME/.cargo/bin:$PATH"
  fi
  command -v cargo >/dev/null 2>&1 ||
    kvn_die "cargo not found: install a Rust toolchain (1.75 or newer) with rustup"
  # Fetch the pinned crates once; later builds run offline from Cargo's cache.
  (cd "$KVN_ROOT/bridge" && cargo fetch --locked -q)
}

kvn_find_python312() {
  local candidates=(python3.12)
  if command -v pyenv >/dev/null 2>&1 || [ -d "$HOME/.pyenv" ]; then
    local root; root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    candidates+=("$root"/versions/3.12*/bin/python3.12)
  fi
  for c in "${candidates[@]}"; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
      command -v "$c"; return 0
    fi
  done
  return 1
}

kvn_ensure_venv() {
  if [ ! -x "$KVN_VENV/bin/python" ]; then
    local py; py="$(kvn_find_python312)" ||
      kvn_die "python3.12 not found: install it (for example: pyenv install 3.12) and retry"
    kvn_log "Creating $KVN_VENV with $py"
    "$py" -m venv "$KVN_VENV"
  fi
  "$KVN_VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  # Build requirements go into the venv so that rebuilds can skip pip's isolated environment.
  "$KVN_VENV/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$KVN_ROOT/scripts/requirements-dev.txt"
}

# The wheels' toolchain (cmake/zig-toolchain.cmake): Zig and cargo-zigbuild in a venv of their own.
KVN_CROSS_TOOLS="$KVN_ROOT/build/cross-tools"
kvn_ensure_cross_tools() {
  if [ ! -x "$KVN_CROSS_TOOLS/bin/python" ]; then
    local py; py="$(kvn_find_python312)" || kvn_die "python3.12 not found"
    "$py" -m venv "$KVN_CROSS_TOOLS"
  fi
  "$KVN_CROSS_TOOLS/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$KVN_ROOT/scripts/requirements-cross.txt"
}

# The oldest glibc the wheels run on: RHEL 8, Ubuntu 20.04 and every Jetson release have it.
KVN_GLIBC=2.28

# kvn_zig_config [CPU]: pip's --config-settings, in KVN_ZIG_CONFIG, for the build of the wheel for
# CPU (default: this machine's): Zig's clang and libc++ against glibc $KVN_GLIBC
# (cmake/zig-toolchain.cmake), in build/wheel-CPU.
kvn_zig_config() {
  local arch=${1:-$(uname -m)}
  kvn_ensure_cross_tools
  KVN_ZIG_CONFIG=(-C "build-dir=build/wheel-$arch"
                  -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$KVN_ROOT/cmake/zig-toolchain.cmake"
                  -C "cmake.define.KORVANTYR_CROSS_TOOLS=$KVN_CROSS_TOOLS"
                  -C "cmake.define.KORVANTYR_ZIG_TARGET=$arch-linux-gnu.$KVN_GLIBC")
}

# Builds the extension module (and the Rust bridge under it) and installs the project into .venv.
# It is built as the wheel is (kvn_zig_config), in the wheel's build folder: the Python tests try
# the module that ships, and scripts/wheel.sh then has nothing left to compile.
kvn_install_project() {
  kvn_log "Building and installing korvantyr into $KVN_VENV"
  kvn_zig_config
  (cd "$KVN_ROOT" && CMAKE_BUILD_PARALLEL_LEVEL="$KVN_JOBS" "$KVN_VENV/bin/python" -m pip install \
     -q --disable-pip-version-check --no-build-isolation "${KVN_ZIG_CONFIG[@]}" ".[sim,test]")
}

# The CMake build with the C++ tests and tools, next to the module build.
kvn_build_cmake() {
  local werror=OFF
  [ "${CI:-}" = "true" ] && werror=ON
  kvn_log "Building the C++ library, tests and tools in $KVN_BUILD"
  cmake -S "$KVN_ROOT" -B "$KVN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVANTYR_BUILD_TESTS=ON -DKORVANTYR_WERROR="$werror" \
    -DPython3_EXECUTABLE="$KVN_VENV/bin/python" -DPython_EXECUTABLE="$KVN_VENV/bin/python" \
    -Dpybind11_DIR="$("$KVN_VENV/bin/python" -m pybind11 --cmakedir)" \
    -DCMAKE_INSTALL_PREFIX="$KVN_ROOT/build/install" >/dev/null
  cmake --build "$KVN_BUILD" -j "$KVN_JOBS"
}

# The module's build (Zig) and the C++ build (GCC) run side by side: Zig compiles its C++ runtime
# and Cargo compiles Zenoh's last crates on one core at a time, which leaves the other core to the
# C++ build. The C++ build writes into build/cmake-build.log, shown if it fails.
kvn_setup() {
  kvn_ensure_apt
  kvn_ensure_cargo
  kvn_ensure_venv
  local log="$KVN_ROOT/build/cmake-build.log" cmake_build
  mkdir -p "$KVN_ROOT/build"
  kvn_log "Building the C++ library, tests and tools in $KVN_BUILD, beside the module (log: $log)"
  kvn_build_cmake >"$log" 2>&1 &
  cmake_build=$!
  if ! kvn_install_project; then
    wait "$cmake_build" || true
    kvn_die "the module's build failed"
  fi
  if ! wait "$cmake_build"; then
    tail -n 80 "$log" >&2
    kvn_die "the C++ build failed (all of it: $log)"
  fi
}
