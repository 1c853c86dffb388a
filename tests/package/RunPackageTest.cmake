# cmake -P script behind the package_consumer test: install, build a consumer
# against the installed package, run it. Any failing step fails the test with
# that step's output.
foreach(var BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR CXX_COMPILER EXPECTED_VERSION SOURCE_DIR)
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
# The install writes the build's install_manifest.txt: this test's own goes
# aside, and a user's manifest from `make install` stays for `make uninstall`.
set(manifest ${BUILD_DIR}/install_manifest.txt)
if(EXISTS ${manifest})
  file(RENAME ${manifest} ${WORK_DIR}/user-manifest.txt)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} ${install_args} RESULT_VARIABLE installed OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(RENAME ${manifest} ${WORK_DIR}/install_manifest.txt)
if(EXISTS ${WORK_DIR}/user-manifest.txt)
  file(RENAME ${WORK_DIR}/user-manifest.txt ${manifest})
endif()
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "install into ${prefix} failed (${installed}):\n${output}")
endif()

# The licence, and the programs' manual pages rendered from their --help.
set(expected "share/doc/koSession/LICENSE:MIT License")
if(TOOLS AND NOT SANITIZE)
  list(APPEND expected "share/man/man1/kosession-server.1:haproxy.-socket" "share/man/man1/kosession-client.1:rejoin.-for")
endif()
foreach(entry ${expected})
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 installed_file)
  list(GET entry 1 text)
  if(NOT EXISTS ${prefix}/${installed_file})
    message(FATAL_ERROR "the install holds no ${installed_file} (a manual page needs help2man: scripts/install-deps)")
  endif()
  file(STRINGS ${prefix}/${installed_file} found REGEX "${text}")
  if(NOT found)
    message(FATAL_ERROR "${installed_file} does not mention ${text}")
  endif()
endforeach()

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

# The same consumer built through pkg-config, as a build without CMake does.
file(GLOB_RECURSE pc_file ${prefix}/koSession.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
run_step("pkg-config" pkg-config --modversion koSession)
if(NOT step_output STREQUAL "${EXPECTED_VERSION}\n")
  message(FATAL_ERROR "pkg-config gives version ${step_output}, expected ${EXPECTED_VERSION}")
endif()
# The README's own lines, with its /opt/kosession, main.cpp and myapp made this test's.
file(READ ${SOURCE_DIR}/README.md readme)
string(REGEX MATCH "\nexport PKG_CONFIG_PATH=[^\n]*\ng\\+\\+ [^\n]*\\\\\n[^\n]*" lines "${readme}")
if(NOT lines)
  message(FATAL_ERROR "README.md shows no build through pkg-config (export PKG_CONFIG_PATH=..., then g++ ...)")
endif()
string(REPLACE "/opt/kosession" "${prefix}" lines "${lines}")
string(REPLACE " main.cpp " " ${CONSUMER_SOURCE_DIR}/main.cpp " lines "${lines}")
string(REPLACE " -o myapp " " -o ${WORK_DIR}/kosession-consumer-pc " lines "${lines}")
string(REPLACE "\ng++ " "\n${CXX_COMPILER} ${flags} " lines "${lines}")
message(STATUS "the README's pkg-config lines run as:${lines}")
run_step("build the consumer with pkg-config" sh -c "${lines}")

# Each consumer must load the installed libraries, not the build tree's.
foreach(program ${consumer_build}/kosession-consumer ${WORK_DIR}/kosession-consumer-pc)
  run_step("run ${program}" ${program})
  message(STATUS "it said:\n${step_output}")
  if(NOT step_output MATCHES "${prefix}")
    message(FATAL_ERROR "${program} did not load koSession from ${prefix}")
  endif()
endforeach()

# A host that runs the server in its own process from the installed package
# only: the example host hosts a session, joins it, and its own commands come
# back to it through that server.
run_step("host a session in-process" ${consumer_build}/example-host/kosession-host --host --name solo --seconds 3)
foreach(line "Session link: 127.0.0.1:" "joined as solo" "solo moved marker of solo to 2"
        "left the session: time is up" "stopped the session's server")
  string(FIND "${step_output}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the in-process host did not print \"${line}\":\n${step_output}")
  endif()
endforeach()

# Uninstalling leaves no file behind.
run_step("uninstall" ${CMAKE_COMMAND} -DMANIFEST=${WORK_DIR}/install_manifest.txt -P ${SOURCE_DIR}/cmake/koUninstall.cmake)
file(GLOB_RECURSE left LIST_DIRECTORIES false ${prefix}/*)
if(left)
  message(FATAL_ERROR "uninstall left files behind:\n${left}")
endif()
