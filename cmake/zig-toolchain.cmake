# Builds with Zig's C and C++ compilers (clang with libc++, linked statically) for a chosen CPU and
# glibc version, so the binaries run on distributions older than the build machine. The glibc
# version is bound at the link: Zig links against its own stubs of that release, never against the
# build machine's C library, and compiles against its own C headers.
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DKORVANTYR_CROSS_TOOLS=DIR      a Python environment with ziglang and cargo-zigbuild
#                                    (scripts/requirements-cross.txt; scripts/lib.sh makes one in
#                                    build/cross-tools)
#   -DKORVANTYR_ZIG_TARGET=T         x86_64-linux-gnu.2.28 (default) or aarch64-linux-gnu.2.28
#
# Another CPU than the build machine's makes this a cross build: the Rust bridge is then built by
# cargo-zigbuild for that CPU into a target folder of its own (bridge/CMakeLists.txt), and tests
# run through qemu-user (CMAKE_CROSSCOMPILING_EMULATOR, with the target's libraries from Debian's
# multiarch packages). On the build machine's own CPU the host's bridge archive is linked as it is.

set(KORVANTYR_ZIG_TARGET "x86_64-linux-gnu.2.28" CACHE STRING "Zig's target: CPU-os-gnu.GLIBC")
set(KORVANTYR_CROSS_TOOLS "" CACHE PATH "Python environment holding ziglang and cargo-zigbuild")
# try_compile projects read this file again and need the same answers.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANTYR_ZIG_TARGET KORVANTYR_CROSS_TOOLS)

if(NOT KORVANTYR_CROSS_TOOLS OR NOT EXISTS "${KORVANTYR_CROSS_TOOLS}/bin/python")
  message(FATAL_ERROR "zig-toolchain.cmake needs -DKORVANTYR_CROSS_TOOLS=DIR, a Python environment "
                      "with scripts/requirements-cross.txt installed "
                      "(scripts/lib.sh makes build/cross-tools)")
endif()

string(REGEX MATCH "^([a-z0-9_]+)-linux-gnu\\.([0-9]+\\.[0-9]+)$" zig_target_ok "${KORVANTYR_ZIG_TARGET}")
if(NOT zig_target_ok)
  message(FATAL_ERROR "KORVANTYR_ZIG_TARGET must read CPU-linux-gnu.MAJOR.MINOR, "
                      "not \"${KORVANTYR_ZIG_TARGET}\"")
endif()
set(KORVANTYR_TARGET_CPU ${CMAKE_MATCH_1})
set(KORVANTYR_TARGET_GLIBC ${CMAKE_MATCH_2})

cmake_host_system_information(RESULT host_cpu QUERY OS_PLATFORM)
if(NOT KORVANTYR_TARGET_CPU STREQUAL host_cpu)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${KORVANTYR_TARGET_CPU})
  # Rust's name for the same target; its glibc version is given to cargo-zigbuild.
  set(KORVANTYR_RUST_TARGET ${KORVANTYR_TARGET_CPU}-unknown-linux-gnu)
  find_program(KORVANTYR_QEMU NAMES qemu-${KORVANTYR_TARGET_CPU}-static qemu-${KORVANTYR_TARGET_CPU})
  if(KORVANTYR_QEMU)
    # -L: the dynamic linker and the C library of the target, from Debian's multiarch packages.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVANTYR_QEMU} -L /usr/${KORVANTYR_TARGET_CPU}-linux-gnu)
  endif()
  # The module's file name for CPython 3.12 on that CPU; the build machine's interpreter only
  # lends its headers, which read the same on every 64-bit little-endian Linux.
  set(PYTHON_MODULE_EXTENSION ".cpython-312-${KORVANTYR_TARGET_CPU}-linux-gnu.so")
  set(PYTHON_IS_DEBUG 0)
  set(PYTHON_MODULE_DEBUG_POSTFIX "")
endif()

# Zig names no Debian multiarch folder, where CMake would find the package files of spdlog and fmt;
# the build takes only their headers, which are the same for every CPU.
list(APPEND CMAKE_PREFIX_PATH /usr/lib/${host_cpu}-linux-gnu/cmake)

# One small script per tool, the target baked in, so the build runs the same without any
# environment (a later `cmake --build`, ninja itself).
set(zig_wrappers "${CMAKE_BINARY_DIR}/zig-${KORVANTYR_ZIG_TARGET}")
if(NOT EXISTS "${zig_wrappers}/c++")
  execute_process(
    COMMAND "${KORVANTYR_CROSS_TOOLS}/bin/python" -c
            "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE zig_missing)
  if(zig_missing OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "no ziglang in ${KORVANTYR_CROSS_TOOLS}: "
                        "pip install -r scripts/requirements-cross.txt")
  endif()
  foreach(tool cc c++ ar ranlib)
    if(tool MATCHES "^c")
      # -O3 ahead of the build's own flags, which override it: CMake's identification of the
      # compiler links a program with no flags of its own, for which Zig would otherwise build its
      # compiler runtime and libunwind a second time, unoptimised (36 s on two cores).
      set(command "exec \"${zig}\" ${tool} -target ${KORVANTYR_ZIG_TARGET} -O3 \"$@\"")
    else()
      set(command "exec \"${zig}\" ${tool} \"$@\"")
    endif()
    file(WRITE "${zig_wrappers}/${tool}" "#!/bin/sh\n${command}\n")
    file(CHMOD "${zig_wrappers}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endif()

# Binutils of the target's CPU for what the build inspects and strips (Debian's
# binutils-aarch64-linux-gnu for aarch64); LLVM's tools of the machine may be older than the LLVM
# of Rust and misread the bridge archive.
if(KORVANTYR_RUST_TARGET)
  set(binutils_prefix ${KORVANTYR_TARGET_CPU}-linux-gnu-)
else()
  set(binutils_prefix "")
endif()
foreach(tool nm strip objcopy objdump readelf)
  string(TOUPPER ${tool} variable)
  find_program(CMAKE_${variable} ${binutils_prefix}${tool} NO_CMAKE_FIND_ROOT_PATH)
  if(NOT CMAKE_${variable})
    message(FATAL_ERROR "${binutils_prefix}${tool} not found: apt-get install "
                        "binutils-${KORVANTYR_TARGET_CPU}-linux-gnu (or binutils)")
  endif()
endforeach()

# Zig compiles libc++ and the C runtime the first time a combination of options links, about a
# minute and a half of one core each; CMake's checks of the compilers need no link, so they build
# none of it.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# No link-time optimisation of the module: with Zig it takes libc++ in, and one link of the module
# goes from seconds to a minute and a half.
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION OFF)

set(CMAKE_C_COMPILER "${zig_wrappers}/cc")
set(CMAKE_CXX_COMPILER "${zig_wrappers}/c++")
set(CMAKE_AR "${zig_wrappers}/ar" CACHE FILEPATH "Archiver" FORCE)
set(CMAKE_RANLIB "${zig_wrappers}/ranlib" CACHE FILEPATH "Ranlib" FORCE)
