# Installs the build tree BUILD into a fresh prefix under WORK, then configures, builds and runs the
# consumer project against it with find_package(korvantyr).
file(REMOVE_RECURSE ${WORK})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G Ninja -DCMAKE_PREFIX_PATH=${WORK}/prefix
    -DSHARED_LOGGER=${SHARED_LOGGER})
run(${CMAKE_COMMAND} --build ${WORK}/build)
run(${WORK}/build/consumer)
message(STATUS "find_package(korvantyr) consumer built and ran against ${WORK}/prefix")
