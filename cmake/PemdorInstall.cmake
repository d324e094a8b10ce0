# SPDX-License-Identifier: MIT
# Installation: headers, the library, a CMake package and a pkg-config file, in the install
# components that the Debian packages split along (cmake/PemdorPackaging.cmake):
#   runtime: the shared library itself (libpemdor.so.<soversion>);
#   dev:     headers, the link library (the .so link or the static archive), the CMake package
#            and the pkg-config file;
#   tools:   the sample host (tools/pemdor-sensors).
#
# Included at the end of the top-level CMakeLists.txt, once every folder has added its sources,
# headers and libraries (cmake/PemdorDependencies.cmake) to the target pemdor.
include(CMakePackageConfigHelpers)

set(PEMDOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/pemdor
  CACHE STRING "Where the CMake package of pemdor is installed, relative to the prefix")

install(TARGETS pemdor EXPORT pemdorTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT pemdorTargets
  NAMESPACE pemdor::
  DESTINATION ${PEMDOR_INSTALL_CMAKEDIR}
  FILE pemdorTargets.cmake
  COMPONENT dev)

# What a consumer needs of each library pemdor linked: the public ones always, the private ones
# only with the static archive (a shared library carries its own). The same list gives the
# CMake package's lookups, the pkg-config fields and the -dev package's dependencies.
get_target_property(_pemdor_type pemdor TYPE)
get_property(_linked GLOBAL PROPERTY PEMDOR_LINKED_DEPENDENCIES)
list(REMOVE_DUPLICATES _linked)
set(PEMDOR_CONFIG_DEPENDENCIES "")
set(_pc_requires)
set(_pc_libs)
set(_pc_libs_private)
set(PEMDOR_DEV_PACKAGE_DEPENDS)
foreach(_name IN LISTS _linked)
  pemdor_dependency_field(${_name} SCOPE _scope)
  pemdor_dependency_field(${_name} FIND_PACKAGE _package)
  pemdor_dependency_field(${_name} PKG_CONFIG _modules)
  pemdor_dependency_field(${_name} PC_MODULE _pc_module)
  pemdor_dependency_field(${_name} PC_LIBS _pc_flags)
  pemdor_dependency_field(${_name} DEB _deb)
  if(_scope STREQUAL "PRIVATE" AND NOT _pemdor_type STREQUAL "STATIC_LIBRARY")
    # Only a consumer that links statically could need these, and there is no static archive
    # in this build. Plain flags rather than Requires.private: pkg-config would otherwise want
    # the private libraries' own .pc files (and their -dev packages) for every consumer.
    pemdor_dependency_field(${_name} FOUND_LIBS _found_flags)
    list(APPEND _pc_libs_private ${_found_flags} ${_pc_flags})
    continue()
  endif()
  if(_package)
    list(JOIN _package " " _arguments)
    string(APPEND PEMDOR_CONFIG_DEPENDENCIES "find_dependency(${_arguments})\n")
  else()
    string(APPEND PEMDOR_CONFIG_DEPENDENCIES
      "_pemdor_pkg_config_dependency(${_name} ${_modules})\n")
  endif()
  if(_pc_module)
    list(APPEND _pc_requires ${_pc_module})
  endif()
  list(APPEND _pc_libs ${_pc_flags})
  if(_deb)
    list(APPEND PEMDOR_DEV_PACKAGE_DEPENDS ${_deb})
  endif()
endforeach()

set(PEMDOR_PACKAGE_HAS_IIO ${PEMDOR_HAVE_IIO})
set(PEMDOR_PACKAGE_HAS_GPSD ${PEMDOR_HAVE_GPSD})
set(PEMDOR_PACKAGE_HAS_GEOCLUE ${PEMDOR_HAVE_GEOCLUE})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pemdorConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pemdorConfig.cmake
  INSTALL_DESTINATION ${PEMDOR_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pemdorConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/pemdorConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/pemdorConfigVersion.cmake
  DESTINATION ${PEMDOR_INSTALL_CMAKEDIR}
  COMPONENT dev)

# A C host that links the static archive needs the C++ runtime named (bindings/c).
if(_pemdor_type STREQUAL "STATIC_LIBRARY" AND PEMDOR_BUILD_C_API)
  list(APPEND _pc_libs -lstdc++ -lm)
endif()
list(REMOVE_DUPLICATES _pc_libs)
list(REMOVE_DUPLICATES _pc_libs_private)
list(JOIN _pc_requires " " PEMDOR_PC_REQUIRES)
list(JOIN _pc_libs " " PEMDOR_PC_LIBS)
string(PREPEND PEMDOR_PC_LIBS "-L\${libdir} -lpemdor ")
list(JOIN _pc_libs_private " " PEMDOR_PC_LIBS_PRIVATE)
# The file finds the prefix from its own place, so an installed tree can be moved.
set(_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${_pc_dir}")
  message(FATAL_ERROR "CMAKE_INSTALL_LIBDIR must be relative to the prefix")
endif()
file(RELATIVE_PATH _pc_to_prefix /prefix/${_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
set(PEMDOR_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/pemdor.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pemdor.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pemdor.pc DESTINATION ${_pc_dir} COMPONENT dev)
