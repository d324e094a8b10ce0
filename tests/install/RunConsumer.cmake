# SPDX-License-Identifier: MIT
# cmake -P script run by the tests install.MODE (tests/install/CMakeLists.txt). Any failure ends
# the script with an error, which fails the test.
#   MODE=consumer    installs the build PEMDOR_BUILD_DIR into WORK_DIR/prefix, checks the
#                    installed layout, then builds and runs the program in CONSUMER_DIR through
#                    the CMake package and through pkg-config;
#   MODE=packages    makes the Debian packages of the build with cpack, checks what each holds
#                    and depends on, unpacks them into WORK_DIR/root with dpkg-deb -x, runs the
#                    packaged sample host from there, then does what MODE=consumer does against
#                    WORK_DIR/root/usr;
#   MODE=subproject  builds the parent project in SUBPROJECT_DIR, which takes pemdor in with
#                    FetchContent, with GoogleTest and Google Benchmark hidden, and runs it.
# Where a tool is missing, the script prints "pemdor-test-skipped:" (the test is then reported
# as skipped), except under CI=true, where that is a failure.
cmake_minimum_required(VERSION 3.25)
include(${PEMDOR_SOURCE_DIR}/tests/examples/ReadmeExample.cmake)

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

# Ends the script for want of TOOL: skipped, or failed under CI=true.
macro(tool_missing tool)
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "${tool} is missing (CI=true: a missing tool is a failure)")
  endif()
  message("pemdor-test-skipped: ${tool} is missing")
  return()
endmacro()

# Runs the consumer program and checks what it prints.
function(check_consumer program)
  execute_process(COMMAND ${program} RESULT_VARIABLE _result OUTPUT_VARIABLE _output)
  message(STATUS "${program} printed:\n${_output}")
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "${program} failed (${_result})")
  endif()
  string(REPLACE "." "\\." _version "${PEMDOR_VERSION}")
  if(NOT _output MATCHES
     "^pemdor ${_version}\n{\"accelerometer\":\\[\"\\[0.01, -0.02, 0.98\\]\"\\]}\nmotion: ")
    message(FATAL_ERROR "${program} printed something else than the version, the JSON text "
      "and the platform")
  endif()
endfunction()

set(launcher)
if(CXX_LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${CXX_LAUNCHER})
endif()

if(MODE STREQUAL "subproject")
  run(${CMAKE_COMMAND} -S ${SUBPROJECT_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${launcher}
    -DPEMDOR_SOURCE_DIR=${PEMDOR_SOURCE_DIR}
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
  check_consumer(${WORK_DIR}/build/pemdor_parent_host)
  # The parent's installation holds its own program and nothing of pemdor's.
  run(${CMAKE_COMMAND} --install ${WORK_DIR}/build --prefix ${WORK_DIR}/prefix)
  file(GLOB_RECURSE installed RELATIVE ${WORK_DIR}/prefix ${WORK_DIR}/prefix/*)
  if(NOT installed STREQUAL "bin/pemdor_parent_host")
    message(FATAL_ERROR "the parent project installed more than its program: ${installed}")
  endif()
  return()
endif()

if(MODE STREQUAL "packages")
  if(NOT DPKG_DEB)
    tool_missing(dpkg-deb)
  endif()
  # The packages install under /usr, with GNUInstallDirs' library folder for that prefix.
  set(prefix ${WORK_DIR}/root/usr)
  run(${CPACK} -G DEB --config ${PEMDOR_BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/packages)
  file(GLOB debs ${WORK_DIR}/packages/*.deb)
  set(runtime libpemdor${PEMDOR_SOVERSION})
  set(expected_packages ${runtime} libpemdor-dev)
  if(PEMDOR_SENSORS)
    list(APPEND expected_packages pemdor-sensors)
  endif()
  if(PYTHON)
    list(APPEND expected_packages python3-pemdor)
  endif()
  if(PEMDOR_DOCS)
    list(APPEND expected_packages libpemdor-doc)
  endif()
  set(packages)
  foreach(deb IN LISTS debs)
    execute_process(COMMAND ${DPKG_DEB} --field ${deb} Package OUTPUT_VARIABLE name
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${DPKG_DEB} --field ${deb} Depends OUTPUT_VARIABLE depends
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${DPKG_DEB} --contents ${deb} OUTPUT_VARIABLE contents
      COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${WORK_DIR}/control)
    run(${DPKG_DEB} --control ${deb} ${WORK_DIR}/control)
    file(GLOB control_files RELATIVE ${WORK_DIR}/control ${WORK_DIR}/control/*)
    string(REPLACE ";" "\n" control_files "${control_files}")
    set(control_${name} "${control_files}\n")
    set(triggers_${name} "")
    if(EXISTS ${WORK_DIR}/control/triggers)
      file(READ ${WORK_DIR}/control/triggers triggers_${name})
    endif()
    message(STATUS "${name}: Depends: ${depends}")
    list(APPEND packages ${name})
    set(depends_${name} "${depends}")
    set(contents_${name} "${contents}")
    run(${DPKG_DEB} -x ${deb} ${WORK_DIR}/root)
  endforeach()
  list(SORT packages)
  list(SORT expected_packages)
  if(NOT packages STREQUAL expected_packages)
    message(FATAL_ERROR "cpack made ${packages}; expected ${expected_packages}")
  endif()

  # Each package holds its part, and its dependencies come from dpkg-shlibdeps (libstdc++ for
  # every binary) plus the packages a consumer needs: the -dev package needs the runtime and
  # nlohmann/json's -dev package (its types are in the headers), nothing of the private
  # libraries.
  string(REPLACE "." "\\." soversion "${PEMDOR_SOVERSION}")
  string(REPLACE "." "\\." version "${PEMDOR_VERSION}")
  set(exact "${runtime} \\(= ${version}\\)")
  set(checks
    "${runtime}|contents|/${LIBDIR}/libpemdor\\.so\\.${soversion} -> "
    "${runtime}|depends|libstdc\\+\\+6"
    "libpemdor-dev|contents|/include/pemdor/version\\.h\n"
    "libpemdor-dev|contents|/${LIBDIR}/libpemdor\\.so -> libpemdor\\.so\\.${soversion}\n"
    "libpemdor-dev|contents|/${LIBDIR}/cmake/pemdor/pemdorConfig\\.cmake\n"
    "libpemdor-dev|contents|/${LIBDIR}/pkgconfig/pemdor\\.pc\n"
    "libpemdor-dev|depends|^${exact}, nlohmann-json3-dev$")
  if(C_API)
    list(APPEND checks "libpemdor-dev|contents|/include/pemdor/pemdor\\.h\n")
  endif()
  if(PYTHON)
    list(APPEND checks
      "python3-pemdor|contents|/${PYTHONDIR}/pemdor/__init__\\.py\n"
      "python3-pemdor|contents|/${PYTHONDIR}/pemdor/__init__\\.pyi\n"
      "python3-pemdor|contents|/${PYTHONDIR}/pemdor/_pemdor\\.[^\n]*\\.so\n"
      "python3-pemdor|depends|${exact}"
      "python3-pemdor|depends|python3 \\(>= 3\\.[0-9]+\\), python3 \\(<< 3\\.[0-9]+\\)")
  endif()
  if(PEMDOR_SENSORS)
    list(APPEND checks
      "pemdor-sensors|contents|/bin/pemdor-sensors\n"
      "pemdor-sensors|contents|/share/man/man1/pemdor-sensors\\.1\\.gz\n"
      "pemdor-sensors|contents|/share/bash-completion/completions/pemdor-sensors\n"
      "pemdor-sensors|depends|^${exact}, .*libstdc\\+\\+6")
  endif()
  if(PEMDOR_DOCS)
    list(APPEND checks "libpemdor-doc|contents|/share/doc/libpemdor-doc/html/index\\.html\n")
  endif()
  # Every package has its copyright file and changelog, and the shared library's package
  # triggers ldconfig instead of running it from maintainer scripts.
  foreach(package IN LISTS packages)
    list(APPEND checks
      "${package}|contents|/share/doc/${package}/copyright\n"
      "${package}|contents|/share/doc/${package}/changelog\\.gz\n")
  endforeach()
  list(APPEND checks "${runtime}|triggers|^activate-noawait ldconfig\n$")
  if(control_${runtime} MATCHES "postinst|postrm")
    message(FATAL_ERROR "${runtime} has maintainer scripts:\n${control_${runtime}}")
  endif()
  foreach(check IN LISTS checks)
    string(REPLACE "|" ";" check "${check}")
    list(GET check 0 package)
    list(GET check 1 field)
    list(GET check 2 pattern)
    if(NOT "${${field}_${package}}" MATCHES "${pattern}")
      message(FATAL_ERROR "${package}: ${field} does not match ${pattern}:\n${${field}_${package}}")
    endif()
  endforeach()
  if(contents_${runtime} MATCHES "/include/|\\.pc\n|cmake/|libpemdor\\.so ")
    message(FATAL_ERROR "${runtime} holds development files:\n${contents_${runtime}}")
  endif()

  # The unpacked sample host runs with the unpacked library.
  if(PEMDOR_SENSORS)
    foreach(arguments IN ITEMS "info" "--version")
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR}
          ${prefix}/bin/pemdor-sensors ${arguments}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
      message(STATUS "pemdor-sensors ${arguments}: ${output}${errors}")
      if(NOT result EQUAL 0 OR NOT output MATCHES "^(availableSensors: |pemdor-sensors ${version}\n$)")
        message(FATAL_ERROR "the packaged pemdor-sensors ${arguments} failed (${result})")
      endif()
    endforeach()
  endif()
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${PEMDOR_BUILD_DIR} --prefix ${prefix})
endif()

# The layout that find_package and pkg-config look for; only public headers are installed, and
# only under include/pemdor.
set(expected
  ${LIBDIR}/cmake/pemdor/pemdorConfig.cmake
  ${LIBDIR}/cmake/pemdor/pemdorConfigVersion.cmake
  ${LIBDIR}/cmake/pemdor/pemdorTargets.cmake
  ${LIBDIR}/pkgconfig/pemdor.pc
  include/pemdor/PemdorJsonWrapper.h
  include/pemdor/PemdorDeviceSensorInfo.h
  include/pemdor/platform/Platform.h
  include/pemdor/version.h)
if(C_API)
  list(APPEND expected include/pemdor/pemdor.h)
endif()
if(PYTHON)
  list(APPEND expected ${PYTHONDIR}/pemdor/__init__.py ${PYTHONDIR}/pemdor/__init__.pyi
    ${PYTHONDIR}/pemdor/py.typed)
endif()
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

# A shared library links its private libraries itself: neither the exported target nor the
# pkg-config file may hand them to a consumer. (A static archive must hand them on.)
file(READ ${prefix}/${LIBDIR}/cmake/pemdor/pemdorTargets.cmake targets)
file(STRINGS ${prefix}/${LIBDIR}/pkgconfig/pemdor.pc pc_public REGEX "^(Requires|Libs):")
if(PEMDOR_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY" AND
   (targets MATCHES "PkgConfig::" OR pc_public MATCHES "iio|gps"))
  message(FATAL_ERROR "the shared library hands private libraries to consumers:\n"
    "${pc_public}\n${targets}")
endif()

# The CMake package. The prefix path holds only the new prefix's package, and the consumer
# must find that one.
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
  tool_missing(pkg-config)
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs pemdor
  RESULT_VARIABLE result OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs pemdor failed (${result})")
endif()
message(STATUS "pkg-config --cflags --libs pemdor: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
# The compile-only check takes the compile flags alone: clang warns about unused link flags.
execute_process(COMMAND ${PKG_CONFIG} --cflags pemdor OUTPUT_VARIABLE cflags
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
set(all_headers "")
foreach(header IN LISTS headers)
  string(APPEND all_headers "#include <${header}>\n")
endforeach()
file(WRITE ${WORK_DIR}/all_headers.cpp "${all_headers}")
set(compile ${CXX_LAUNCHER} ${CXX_COMPILER} -std=c++20 -Wall -Wextra -Wpedantic -Werror
  ${consumer_flags})
run(${compile} -fsyntax-only ${WORK_DIR}/all_headers.cpp ${cflags})
set(rpath)
if(PEMDOR_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(rpath -Wl,-rpath,${prefix}/${LIBDIR})
endif()
run(${compile} ${CONSUMER_DIR}/main.cpp -o ${WORK_DIR}/pemdor_consumer_pc ${flags} ${rpath})
check_consumer(${WORK_DIR}/pemdor_consumer_pc)

# The README's C example, as a C host builds it: a CMake project that enables C alone, and cc
# with pkg-config.
if(C_API)
  pemdor_readme_example(${PEMDOR_SOURCE_DIR}/README.md c ${WORK_DIR}/example.c)
  run(${CMAKE_COMMAND} -S ${C_CONSUMER_DIR} -B ${WORK_DIR}/c-cmake -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    -DCMAKE_C_COMPILER=${C_COMPILER}
    "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}"
    -DCMAKE_PREFIX_PATH=${prefix}
    -DPEMDOR_VERSION=${PEMDOR_VERSION}
    -DEXAMPLE_SOURCE=${WORK_DIR}/example.c)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/c-cmake)
  foreach(program IN ITEMS ${WORK_DIR}/c-cmake/pemdor_c_host ${WORK_DIR}/pemdor_c_host_pc)
    if(program STREQUAL "${WORK_DIR}/pemdor_c_host_pc")
      run(${C_COMPILER} -std=c99 -Wall -Wextra -pedantic -Werror ${consumer_flags}
        ${WORK_DIR}/example.c -o ${program} ${flags} ${rpath})
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${program}
      RESULT_VARIABLE result OUTPUT_VARIABLE output)
    message(STATUS "${program} printed:\n${output}")
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${program} failed (${result})")
    endif()
    pemdor_check_example_output(c "${output}" ${PEMDOR_VERSION})
  endforeach()
endif()

# The README's Python example, with the installed package on the module path.
if(PYTHON)
  pemdor_readme_example(${PEMDOR_SOURCE_DIR}/README.md python ${WORK_DIR}/example.py)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${prefix}/${PYTHONDIR}
      LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${PYTHON} -s ${WORK_DIR}/example.py
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  message(STATUS "the Python example printed:\n${output}${errors}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the Python example failed (${result})")
  endif()
  pemdor_check_example_output(python "${output}" ${PEMDOR_VERSION})
endif()
