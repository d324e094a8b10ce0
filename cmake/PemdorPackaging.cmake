# SPDX-License-Identifier: MIT
# Debian packages with CPack, split as Debian splits a library: `cpack -G DEB` in a build folder
# makes one package per install component (cmake/PemdorInstall.cmake):
#   libpemdor<soversion>  runtime: the shared library (only with BUILD_SHARED_LIBS=ON);
#   libpemdor-dev     dev: headers, link library, CMake package and pkg-config file;
#   pemdor-sensors    tools: the sample host (when PEMDOR_BUILD_TOOLS is on);
#   python3-pemdor    python: the Python module (when it is built; bindings/python).
# Dependencies on other packages come from dpkg-shlibdeps, plus, for the -dev package, the
# runtime package and the -dev packages of the libraries a consumer compiles or links against
# (PEMDOR_DEV_PACKAGE_DEPENDS, from the table in cmake/PemdorDependencies.cmake). Configure with
# -DCMAKE_INSTALL_PREFIX=/usr so that the library goes to Debian's multiarch folder.
get_target_property(_pemdor_type pemdor TYPE)
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "pemdor: Debian packages install into /usr/${CMAKE_INSTALL_LIBDIR}; "
    "configure with -DCMAKE_INSTALL_PREFIX=/usr for the multiarch library folder")
endif()

set(CPACK_PACKAGE_NAME pemdor)
set(CPACK_PACKAGE_VENDOR pemdor)
set(CPACK_PACKAGE_CONTACT "pemdor developers <pemdor@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)

set(_runtime_package libpemdor${PEMDOR_SOVERSION})
set(_exact "(= ${PROJECT_VERSION})")
set(CPACK_COMPONENTS_ALL dev)
set(_dev_depends ${PEMDOR_DEV_PACKAGE_DEPENDS})
set(_tools_depends)
if(_pemdor_type STREQUAL "SHARED_LIBRARY")
  list(PREPEND CPACK_COMPONENTS_ALL runtime)
  list(PREPEND _dev_depends "${_runtime_package} ${_exact}")
  set(_tools_depends "${_runtime_package} ${_exact}")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_runtime_package})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "${PROJECT_DESCRIPTION}\nThe shared library that host applications link.")
  # The runtime package tells dpkg-shlibdeps which package provides libpemdor.so.<soversion>.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # dpkg-shlibdeps has to find the library that the sample host links, which is in no
  # installed package yet: it is in the build folder.
  get_target_property(_library_dir pemdor LIBRARY_OUTPUT_DIRECTORY)
  if(NOT _library_dir)
    set(_library_dir ${PROJECT_BINARY_DIR})
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_library_dir})
endif()
list(JOIN _dev_depends ", " CPACK_DEBIAN_DEV_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libpemdor-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "${PROJECT_DESCRIPTION} (development files)\n\
Headers, the link library, the CMake package and the pkg-config file of pemdor.")

if(TARGET pemdor-sensors)
  list(APPEND CPACK_COMPONENTS_ALL tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME pemdor-sensors)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_tools_depends}")
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Sample host of pemdor\n\
pemdor-sensors takes motion-sensor and position samples through pemdor and prints them as text \
or JSON.")
endif()

# The Python module, for the Python that it was built for. Its extension links the shared
# library (or carries the static archive); dpkg-shlibdeps adds what the extension links.
if(TARGET pemdor_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-pemdor)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  math(EXPR _python_next_minor "${PEMDOR_PYTHON_VERSION_MINOR} + 1")
  set(_python_depends "python3 (>= ${PEMDOR_PYTHON_VERSION})"
    "python3 (<< ${PEMDOR_PYTHON_VERSION_MAJOR}.${_python_next_minor})")
  if(_tools_depends)
    list(PREPEND _python_depends "${_tools_depends}")
  endif()
  list(JOIN _python_depends ", " CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS)
  # Debian wants the lines of an extended description under 80 characters.
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python module of pemdor\n\
The module pemdor takes motion-sensor and position samples through pemdor\n\
from Python: platforms, collectors with their callback and sync runs, and\n\
the JSON wrapper.")
endif()

include(CPack)
