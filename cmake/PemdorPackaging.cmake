# SPDX-License-Identifier: MIT
# Debian packages with CPack, split as Debian splits a library: `cpack -G DEB` in a build folder
# makes one package per install component. The packages are the rows of the table at the end
# of this file, one pemdor_debian_package() call each:
#
#   pemdor_debian_package(<component> NAME <package> SECTION <section>
#                         SYNOPSIS <one line> DESCRIPTION <paragraph>...
#                         [ARCHITECTURE all] [DEPENDS_ON_RUNTIME] [DEPENDS <relation>...])
#
# <component> is the install component whose files the package holds (install(... COMPONENT
# <component>)). The synopsis is the first line of the package's description; the long
# description is the paragraphs given, each a string that is wrapped here, after a paragraph
# shared by every package about what pemdor is. DEPENDS_ON_RUNTIME adds the shared library's
# package of the same version (in shared builds); DEPENDS adds further relations. Dependencies
# on shared libraries come from dpkg-shlibdeps. Every package holds, in usr/share/doc/<package>/,
# the machine-readable copyright file written from LICENSE and a changelog written from
# CHANGELOG.md (cmake/PemdorDebianFiles.cmake).
#
# The shared library's package is special in one way: it triggers ldconfig instead of calling
# it from maintainer scripts, which CPack would write for it, so CPack does not look at its files
# and its dependencies on other libraries are worked out by cmake/PemdorCPackPreBuild.cmake.
set(PEMDOR_PACKAGE_MAINTAINER "pemdor developers <pemdor-dev@lists.example.org>" CACHE STRING
  "Maintainer field of the Debian packages: the project's address, never a person's")
include(${CMAKE_CURRENT_LIST_DIR}/PemdorDebianFiles.cmake)


get_target_property(_pemdor_type pemdor TYPE)
set(_pemdor_shared OFF)
if(_pemdor_type STREQUAL "SHARED_LIBRARY")
  set(_pemdor_shared ON)
endif()
set(PEMDOR_RUNTIME_PACKAGE libpemdor${PEMDOR_SOVERSION})

set(CPACK_PACKAGE_NAME pemdor)
set(CPACK_PACKAGE_VENDOR pemdor)
set(CPACK_PACKAGE_CONTACT "${PEMDOR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Each package has a synopsis of its own: the project's summary is kept out of the descriptions
# (cmake/PemdorCPackProject.cmake), where CPack would put it in front of every one.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PemdorCPackProject.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PemdorCPackPreBuild.cmake)
set(CPACK_COMPONENTS_ALL)
# The components whose dependencies on shared libraries the pre-build script finds.
set(CPACK_PEMDOR_SHLIBDEPS_COMPONENTS)

# The paragraph every package's long description starts with.
set(_pemdor_about "pemdor is a C++20 library that a host application links to take a short \
sample of a device's motion sensors (accelerometer, gyroscope, magnetometer, gravity) and one \
coarse position fix, and get it back as text and JSON. It reads Linux IIO sensors, gpsd and \
GeoClue2, and has a simulated device, driven by scenario files, for tests.")

function(pemdor_debian_package component)
  cmake_parse_arguments(ARG "DEPENDS_ON_RUNTIME" "NAME;SECTION;SYNOPSIS;ARCHITECTURE"
    "DESCRIPTION;DEPENDS" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SECTION OR NOT ARG_SYNOPSIS OR NOT ARG_DESCRIPTION
     OR ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "pemdor_debian_package(${component} ${ARGN}): malformed row")
  endif()
  string(LENGTH "${ARG_SYNOPSIS}" _length)
  if(_length GREATER 80 OR ARG_SYNOPSIS MATCHES "\\.$")
    message(FATAL_ERROR "${ARG_NAME}: a synopsis is at most 80 characters with no full stop")
  endif()
  string(TOUPPER ${component} _c)
  set(_depends ${ARG_DEPENDS})
  if(ARG_DEPENDS_ON_RUNTIME AND _pemdor_shared)
    list(PREPEND _depends "${PEMDOR_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
  endif()
  list(JOIN _depends ", " _depends)

  set(_description "${ARG_SYNOPSIS}")
  foreach(_paragraph IN ITEMS "${_pemdor_about}" ${ARG_DESCRIPTION})
    pemdor_wrap_text("${_paragraph}" 79 "" "" _wrapped)
    string(APPEND _description "\n${_wrapped}\n")
  endforeach()
  string(REGEX REPLACE "\n$" "" _description "${_description}")

  set(CPACK_DEBIAN_${_c}_PACKAGE_NAME ${ARG_NAME} PARENT_SCOPE)
  set(CPACK_DEBIAN_${_c}_PACKAGE_SECTION ${ARG_SECTION} PARENT_SCOPE)
  set(CPACK_DEBIAN_${_c}_PACKAGE_DEPENDS "${_depends}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${_c}_DESCRIPTION "${_description}" PARENT_SCOPE)
  if(ARG_ARCHITECTURE)
    set(CPACK_DEBIAN_${_c}_PACKAGE_ARCHITECTURE ${ARG_ARCHITECTURE} PARENT_SCOPE)
    # Nothing in an architecture-independent package is linked.
    set(CPACK_DEBIAN_${_c}_PACKAGE_SHLIBDEPS OFF PARENT_SCOPE)
  endif()
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${component} PARENT_SCOPE)
  pemdor_install_debian_files(${component} ${ARG_NAME})
endfunction()

# The table of packages. Adding one: a row here, and install rules with its component.
if(_pemdor_shared)
  pemdor_debian_package(runtime NAME ${PEMDOR_RUNTIME_PACKAGE} SECTION libs
    SYNOPSIS "motion-sensor and position samples for C++ hosts (shared library)"
    DESCRIPTION "This package holds the shared library that host applications link.")
  # The shared library: ldconfig triggers, its shlibs file, and its dependencies found by the
  # pre-build script rather than by CPack (see the head of this file).
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
  list(APPEND CPACK_PEMDOR_SHLIBDEPS_COMPONENTS runtime)
  set(_control ${PROJECT_BINARY_DIR}/debian/${PEMDOR_RUNTIME_PACKAGE})
  file(WRITE ${_control}/triggers "activate-noawait ldconfig\n")
  # Before 1.0 the soname carries the minor version, so any later patch release serves.
  file(WRITE ${_control}/shlibs
    "libpemdor ${PEMDOR_SOVERSION} ${PEMDOR_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_control}/triggers ${_control}/shlibs)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # dpkg-shlibdeps has to find the library that the sample host links, which is in no
  # installed package yet: it is in the build folder.
  get_target_property(_library_dir pemdor LIBRARY_OUTPUT_DIRECTORY)
  if(NOT _library_dir)
    set(_library_dir ${PROJECT_BINARY_DIR})
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_library_dir})
endif()

pemdor_debian_package(dev NAME libpemdor-dev SECTION libdevel DEPENDS_ON_RUNTIME
  DEPENDS ${PEMDOR_DEV_PACKAGE_DEPENDS}
  SYNOPSIS "motion-sensor and position samples for C++ hosts (development files)"
  DESCRIPTION "This package holds the headers, the link library, the CMake package and the \
pkg-config file of pemdor.")

if(TARGET pemdor-sensors)
  pemdor_debian_package(tools NAME pemdor-sensors SECTION utils DEPENDS_ON_RUNTIME
    SYNOPSIS "sample host that prints motion-sensor and position samples"
    DESCRIPTION "pemdor-sensors drives the pemdor collector as a host application would: it \
lists the sensors and location services found, takes a snapshot or a timed sync run and prints \
it as text or JSON, and records a device into a scenario that the simulated device replays. It \
comes with a manual page and a bash completion.")
endif()

if(TARGET docs)
  pemdor_debian_package(doc NAME libpemdor-doc SECTION doc ARCHITECTURE all
    SYNOPSIS "motion-sensor and position samples for C++ hosts (API reference)"
    DESCRIPTION "This package holds the HTML reference of pemdor's public headers, with a short \
guide to the library, in /usr/share/doc/libpemdor-doc/html.")
endif()

# The Python module, for the Python that it was built for. Its extension links the shared
# library (or carries the static archive); dpkg-shlibdeps adds what the extension links.
if(TARGET pemdor_python)
  math(EXPR _python_next_minor "${PEMDOR_PYTHON_VERSION_MINOR} + 1")
  pemdor_debian_package(python NAME python3-pemdor SECTION python DEPENDS_ON_RUNTIME
    DEPENDS "python3 (>= ${PEMDOR_PYTHON_VERSION})"
            "python3 (<< ${PEMDOR_PYTHON_VERSION_MAJOR}.${_python_next_minor})"
    SYNOPSIS "motion-sensor and position samples for Python hosts"
    DESCRIPTION "This package holds the Python module pemdor: platforms, collectors with their \
callback and sync runs, and the JSON wrapper, with type hints.")
endif()

include(CPack)
