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
    "LINKER:--as-needed"
    "$<$<CONFIG:Release,MinSizeRel>:LINKER:--strip-debug>")
endfunction()

function(korvantyr_export_only target map)
  korvantyr_release_link(${target})
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${map}"
    "LINKER:--exclude-libs,ALL")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
