# Driver of the package test; run with cmake -P. Each stage stops the test
# with its output when it fails.

function(run_stage name)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${name} failed (${result}):\n${output}")
  endif()
  message(STATUS "${name}: ok")
endfunction()

set(prefix "${WORK_DIR}/prefix")
set(consumer_build "${WORK_DIR}/consumer-build")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

set(config_args "")
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()

run_stage("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
  --component TolvarineController ${config_args})

# Only the package may lead to the library: the consumer is told nothing
# about this source tree or its build folder.
run_stage("configure consumer" "${CMAKE_COMMAND}"
  -S "${CONSUMER_SOURCE}" -B "${consumer_build}" -G "${GENERATOR}"
  "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_PREFIX_PATH=${prefix}"
  "-DCMAKE_BUILD_TYPE=Release"
  "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}")
run_stage("build consumer" "${CMAKE_COMMAND}" --build "${consumer_build}" ${config_args})

# Where a multi-configuration generator put it: below a folder of its configuration.
file(GLOB_RECURSE program "${consumer_build}/package_consumer*")
list(FILTER program INCLUDE REGEX "package_consumer(\\.exe)?$")
# It exits 0 only once every check has passed.
run_stage("run consumer" "${program}")
