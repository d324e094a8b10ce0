# cmake -P script run by the test install.consumer: installs the build PEMDOR_BUILD_DIR into
# WORK_DIR/prefix, checks the installed layout, then builds and runs the program in
# CONSUMER_DIR through the CMake package and through pkg-config. Any failure ends the script
# with an error, which fails the test.
cmake_minimum_required(VERSION 3.25)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Runs a command with the script's output; stops the script when it fails.
function(run)
  string(REPLACE ";" " " _line "${ARGN}")
  message(STATUS "running: ${_line}")
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "failed (${_result}): ${_line}")
  endif()
endfunction()

# Runs the consumer program and checks what it prints.
function(check_consumer program)
  execute_process(COMMAND ${program} RESULT_VARIABLE _result OUTPUT_VARIABLE _output)
  message(STATUS "${program} printed:\n${_output}")
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "${program} failed (${_result})")
  endif()
  if(NOT _output MATCHES "^{\"accelerometer\":\\[\"\\[0.01, -0.02, 0.98\\]\"\\]}\nmotion: ")
    message(FATAL_ERROR "${program} printed something else than the JSON text and the platform")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${PEMDOR_BUILD_DIR} --prefix ${prefix})

# The layout that find_package and pkg-config look for; only public headers are installed, and
# only under include/pemdor.
set(expected
  ${LIBDIR}/cmake/pemdor/pemdorConfig.cmake
  ${LIBDIR}/cmake/pemdor/pemdorConfigVersion.cmake
  ${LIBDIR}/cmake/pemdor/pemdorTargets.cmake
  ${LIBDIR}/pkgconfig/pemdor.pc
  include/pemdor/PemdorJsonWrapper.h
  include/pemdor/PemdorDeviceSensorInfo.h
  include/pemdor/platform/Platform.h)
if(PEMDOR_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  list(APPEND expected ${LIBDIR}/libpemdor.so)
else()
  list(APPEND expected ${LIBDIR}/libpemdor.a)
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
foreach(header IN LISTS headers)
  if(NOT header MATCHES "^pemdor/.*\\.h$")
    message(FATAL_ERROR "include/${header} is installed but is not a public header of pemdor")
  endif()
endforeach()

# The version file takes this version and refuses another major or minor one.
foreach(requested IN ITEMS ${PEMDOR_VERSION} 99.0)
  set(PACKAGE_FIND_VERSION ${requested})
  string(REPLACE "." ";" _parts ${requested})
  list(GET _parts 0 PACKAGE_FIND_VERSION_MAJOR)
  list(GET _parts 1 PACKAGE_FIND_VERSION_MINOR)
  unset(PACKAGE_VERSION_COMPATIBLE)
  include(${prefix}/${LIBDIR}/cmake/pemdor/pemdorConfigVersion.cmake)
  if(requested STREQUAL PEMDOR_VERSION AND NOT PACKAGE_VERSION_COMPATIBLE)
    message(FATAL_ERROR "the package refuses its own version ${requested}")
  elseif(NOT requested STREQUAL PEMDOR_VERSION AND PACKAGE_VERSION_COMPATIBLE)
    message(FATAL_ERROR "the package of version ${PEMDOR_VERSION} accepts ${requested}")
  endif()
endforeach()

# The CMake package. The prefix path holds only the new prefix's package, and the consumer
# must find that one.
set(launcher)
if(CXX_LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${CXX_LAUNCHER})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${launcher}
  "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}"
  -DCMAKE_PREFIX_PATH=${prefix}
  -DPEMDOR_VERSION=${PEMDOR_VERSION})
file(STRINGS ${WORK_DIR}/cmake/CMakeCache.txt found_dir REGEX "^pemdor_DIR:")
if(NOT found_dir STREQUAL "pemdor_DIR:PATH=${prefix}/${LIBDIR}/cmake/pemdor")
  message(FATAL_ERROR "the consumer found another package: ${found_dir}")
endif()
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
check_consumer(${WORK_DIR}/cmake/pemdor_consumer)

# pkg-config, with every installed header in one translation unit: a public header that needs a
# header that was not installed fails here.
if(NOT PKG_CONFIG)
  message(STATUS "pkg-config is not installed: the pkg-config half is skipped")
  return()
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs pemdor
  RESULT_VARIABLE result OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs pemdor failed (${result})")
endif()
message(STATUS "pkg-config --cflags --libs pemdor: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
set(all_headers "")
foreach(header IN LISTS headers)
  string(APPEND all_headers "#include <${header}>\n")
endforeach()
file(WRITE ${WORK_DIR}/all_headers.cpp "${all_headers}")
set(compile ${CXX_LAUNCHER} ${CXX_COMPILER} -std=c++20 -Wall -Wextra -Wpedantic -Werror
  ${consumer_flags})
run(${compile} -fsyntax-only ${WORK_DIR}/all_headers.cpp ${flags})
set(rpath)
if(PEMDOR_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(rpath -Wl,-rpath,${prefix}/${LIBDIR})
endif()
run(${compile} ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/pemdor_consumer_pc ${flags} ${rpath})
check_consumer(${WORK_DIR}/pemdor_consumer_pc)
