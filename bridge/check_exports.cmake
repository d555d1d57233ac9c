# Compares the zb_ functions exported by the bridge library with those declared in its header.
# Usage: cmake -DNM=<nm> -DLIBRARY=<libkvn_zbridge.a> -DHEADER=<kvn_zbridge.h> -P check_exports.cmake

foreach(var NM LIBRARY HEADER)
  if(NOT ${var})
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND ${NM} --defined-only --extern-only ${LIBRARY}
  OUTPUT_VARIABLE nm_output
  ERROR_VARIABLE nm_error
  RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIBRARY}: ${nm_error}")
endif()
string(REGEX MATCHALL "[ \t]T[ \t]+zb_[A-Za-z0-9_]+" exported_lines "${nm_output}")
set(exported)
foreach(line IN LISTS exported_lines)
  string(REGEX REPLACE "^[ \t]T[ \t]+" "" name "${line}")
  list(APPEND exported ${name})
endforeach()
list(REMOVE_DUPLICATES exported)
list(SORT exported)

file(READ ${HEADER} header_text)
# Drop comments so that names mentioned in them do not count as declarations.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" header_text "${header_text}")
string(REGEX MATCHALL "zb_result_t[ \t\r\n]+zb_[A-Za-z0-9_]+[ \t\r\n]*\\(" declaration_matches
       "${header_text}")
set(declared)
foreach(match IN LISTS declaration_matches)
  string(REGEX REPLACE "^zb_result_t[ \t\r\n]+" "" name "${match}")
  string(REGEX REPLACE "[ \t\r\n]*\\($" "" name "${name}")
  list(APPEND declared ${name})
endforeach()
list(REMOVE_DUPLICATES declared)
list(SORT declared)

if(NOT exported)
  message(FATAL_ERROR "check_exports: no zb_ function exported by ${LIBRARY}")
endif()

set(missing_in_header ${exported})
list(REMOVE_ITEM missing_in_header ${declared})
set(missing_in_library ${declared})
list(REMOVE_ITEM missing_in_library ${exported})

list(LENGTH exported count)
if(missing_in_header OR missing_in_library)
  message(FATAL_ERROR "check_exports: header and library differ\n"
                      "  exported but not declared: ${missing_in_header}\n"
                      "  declared but not exported: ${missing_in_library}")
endif()
message(STATUS "check_exports: ${count} zb_ functions, header and library agree")
