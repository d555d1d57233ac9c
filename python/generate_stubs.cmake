# Writes the type stub of the freshly built extension module: cmake -P, run by the build after the
# module is linked. Inputs (-D): PYTHON, the interpreter the module was built for; MODULE_DIR, the
# folder of the built module; WORK_DIR, a scratch folder; OUTPUT, the stub to write.
#
# pybind11-stubgen only imports the module and inspects it, which opens no network session. Any
# error fails the build: a wheel must not ship stubs that miss or misdescribe part of the module.
cmake_minimum_required(VERSION 3.20)

foreach(var PYTHON MODULE_DIR WORK_DIR OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "generate_stubs.cmake: ${var} is not set")
  endif()
endforeach()

# The built module, not an installed copy, must be the one that is imported: its folder goes first.
# An existing PYTHONPATH stays behind it, since pip's isolated build environment may use it to
# provide pybind11-stubgen.
if("$ENV{PYTHONPATH}" STREQUAL "")
  set(ENV{PYTHONPATH} "${MODULE_DIR}")
else()
  set(ENV{PYTHONPATH} "${MODULE_DIR}:$ENV{PYTHONPATH}")
endif()
set(ENV{PYTHONDONTWRITEBYTECODE} 1)

function(run_python what)
  execute_process(COMMAND "${PYTHON}" ${ARGN}
                  WORKING_DIRECTORY "${MODULE_DIR}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "korvantyr stubs: ${what} failed (${rc}):\n${out}${err}")
  endif()
  set(run_python_output "${out}" PARENT_SCOPE)
endfunction()

# The Python snippets separate statements with newlines: a semicolon would split a CMake list.
run_python("importing the built module" -c
           "import os, korvantyr\nprint(os.path.dirname(os.path.abspath(korvantyr.__file__)))")
string(STRIP "${run_python_output}" imported_from)
file(REAL_PATH "${imported_from}" imported_from)
file(REAL_PATH "${MODULE_DIR}" module_dir)
if(NOT imported_from STREQUAL module_dir)
  message(FATAL_ERROR "korvantyr stubs: imported korvantyr from ${imported_from}, "
                      "not the built module in ${module_dir}")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
# --exit-code: any name or annotation that the generator cannot resolve is an error.
run_python("pybind11-stubgen" -m pybind11_stubgen --exit-code -o "${WORK_DIR}" korvantyr)
file(READ "${WORK_DIR}/korvantyr.pyi" stub)

# The generator writes a fixed-size array's metadata as pybind11_stubgen.typing_ext.FixedSize(7)
# and imports that module, which the users of the stub do not have. The metadata of Annotated is
# any expression: the string "FixedSize(7)" keeps the text of the module's own signatures and
# imports nothing.
string(REGEX REPLACE "pybind11_stubgen\\.typing_ext\\.FixedSize\\(([0-9, ]+)\\)"
       "\"FixedSize(\\1)\"" stub "${stub}")
string(REGEX REPLACE "(^|\n)import pybind11_stubgen\\.typing_ext\n" "\\1" stub "${stub}")
if(stub MATCHES "pybind11_stubgen")
  message(FATAL_ERROR "korvantyr stubs: the stub still refers to pybind11_stubgen:\n${stub}")
endif()

file(WRITE "${WORK_DIR}/checked.pyi" "${stub}")
run_python("checking the stub's syntax" -c
           "import ast, sys\nast.parse(open(sys.argv[1], encoding='utf-8').read(), sys.argv[1])"
           "${WORK_DIR}/checked.pyi")
get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${output_dir}")
file(RENAME "${WORK_DIR}/checked.pyi" "${OUTPUT}")
