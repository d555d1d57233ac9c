# How the shared objects are linked: which spdlog they log through, and what they export.
#
# korvantyr_logging    spdlog and fmt as every target of this build includes and links them. The
#                      whole build uses one form (KORVANTYR_SPDLOG_HEADER_ONLY), so no object built
#                      against the shared spdlog meets one with spdlog compiled in.
# korvantyr_release_link(TARGET)
#                      an executable or shared object that links the bridge: unused sections and
#                      unneeded libraries are dropped, and release builds drop the debug
#                      information of the Rust standard library as well, which cargo ships inside
#                      the bridge archive.
# korvantyr_export_only(TARGET MAP)
#                      the same, and TARGET exports exactly what the version script MAP lists. The
#                      static archives linked into it (the Rust bridge with Zenoh, the internal
#                      archive) export nothing.

add_library(korvantyr_logging INTERFACE)
if(KORVANTYR_SPDLOG_HEADER_ONLY)
  if(NOT TARGET fmt::fmt-header-only)
    find_package(fmt CONFIG QUIET)
  endif()
  if(NOT TARGET fmt::fmt-header-only)
    message(FATAL_ERROR "fmt not found: apt-get install libfmt-dev")
  endif()
  if(NOT TARGET spdlog::spdlog_header_only)
    message(FATAL_ERROR "spdlog has no header-only target: apt-get install libspdlog-dev")
  endif()
  # Debian's spdlog::spdlog_header_only still links the shared libfmt: keep its headers and
  # definitions, and take fmt header-only as well.
  get_target_property(spdlog_dirs spdlog::spdlog_header_only INTERFACE_INCLUDE_DIRECTORIES)
  get_target_property(spdlog_defs spdlog::spdlog_header_only INTERFACE_COMPILE_DEFINITIONS)
  get_target_property(spdlog_libs spdlog::spdlog_header_only INTERFACE_LINK_LIBRARIES)
  foreach(property spdlog_dirs spdlog_defs spdlog_libs)
    if(NOT ${property})
      set(${property} "")
    endif()
  endforeach()
  list(TRANSFORM spdlog_libs REPLACE "^fmt::fmt$" "fmt::fmt-header-only")
  if(KORVANTYR_ZIG_TARGET)
    # A toolchain with a C library of its own (cmake/zig-toolchain.cmake) must never see the build
    # machine's /usr/include, where spdlog and fmt live: their headers come from a folder that
    # holds only them.
    get_target_property(fmt_dirs fmt::fmt-header-only INTERFACE_INCLUDE_DIRECTORIES)
    set(logging_include ${CMAKE_BINARY_DIR}/logging-include)
    foreach(library spdlog fmt)
      find_path(korvantyr_${library}_headers NAMES ${library}/${library}.h ${library}/core.h
                PATHS ${spdlog_dirs} ${fmt_dirs} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
      file(MAKE_DIRECTORY ${logging_include})
      file(CREATE_LINK ${korvantyr_${library}_headers}/${library} ${logging_include}/${library}
           SYMBOLIC)
    endforeach()
    set(spdlog_dirs ${logging_include})
    set_target_properties(fmt::fmt-header-only PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES ${logging_include})
  endif()
  target_include_directories(korvantyr_logging SYSTEM INTERFACE ${spdlog_dirs})
  target_compile_definitions(korvantyr_logging INTERFACE ${spdlog_defs})
  target_link_libraries(korvantyr_logging INTERFACE ${spdlog_libs} fmt::fmt-header-only)
  message(STATUS "korvantyr: spdlog ${spdlog_VERSION} and fmt compiled in (header-only)")
else()
  target_link_libraries(korvantyr_logging INTERFACE spdlog::spdlog)
endif()

function(korvantyr_release_link target)
  target_link_options(${target} PRIVATE
    # The parts of Zenoh the bridge never calls can go, once nothing exports them.
    "LINKER:--gc-sections"
    "LINKER:--as-needed")
  # Under Zig a stripping link would have it compile a second libc++ without debug information;
  # the installed binaries are stripped all the same (the wheel's install strips them).
  if(NOT KORVANTYR_ZIG_TARGET)
    target_link_options(${target} PRIVATE "$<$<CONFIG:Release,MinSizeRel>:LINKER:--strip-debug>")
  endif()
endfunction()

function(korvantyr_export_only target map)
  korvantyr_release_link(${target})
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  if(NOT KORVANTYR_ZIG_TARGET)
    # Zig's linker driver refuses --exclude-libs; there the version script alone keeps the
    # archives' symbols local (scripts/check_binaries.py checks the exports either way).
    target_link_options(${target} PRIVATE "LINKER:--exclude-libs,ALL")
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
