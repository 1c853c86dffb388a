# cmake -P script behind the package_consumer test: install, build a consumer
# against the installed package, run it. Any failing step fails the test with
# that step's output.
foreach(var BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR CXX_COMPILER EXPECTED_VERSION)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "RunPackageTest.cmake needs -D${var}=...")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/consumer-build)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run_step name)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${name} failed (${result}):\n${output}")
  endif()
  message(STATUS "${name}: ok")
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

set(install_args --install ${BUILD_DIR} --prefix ${prefix})
if(BUILD_TYPE)
  list(APPEND install_args --config ${BUILD_TYPE})
endif()
run_step("install into ${prefix}" ${CMAKE_COMMAND} ${install_args})

# A sanitized library needs its runtime linked into the program that loads it.
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()
set(build_type ${BUILD_TYPE})
if(NOT build_type)
  set(build_type RelWithDebInfo)
endif()
run_step("configure the consumer" ${CMAKE_COMMAND}
  -S ${CONSUMER_SOURCE_DIR} -B ${consumer_build}
  -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  -DCMAKE_BUILD_TYPE=${build_type}
  "-DCMAKE_CXX_FLAGS=${flags}"
  "-DCMAKE_EXE_LINKER_FLAGS=${flags}"
  -DEXPECTED_VERSION=${EXPECTED_VERSION})
run_step("build the consumer" ${CMAKE_COMMAND} --build ${consumer_build})

# The consumer must load the installed libraries, not the build tree's.
run_step("run the consumer" ${consumer_build}/kosession-consumer)
message(STATUS "consumer said:\n${step_output}")
if(NOT step_output MATCHES "${prefix}")
  message(FATAL_ERROR "the consumer did not load koSession from ${prefix}")
endif()
