# SPDX-License-Identifier: MIT
# Every library that pemdor itself links is a row of one table, below. A row says how the build
# finds the library, whether it is part of pemdor's interface, and which Debian -dev package
# provides it. The installed CMake package (pemdorConfig.cmake), the pkg-config file and the
# Debian -dev package are all written from the rows of the libraries the build really linked,
# so adding a dependency is one row here and, where it is used:
#
#   pemdor_find_dependency(libfoo _found)     # finds it and sets _found
#   if(_found)
#     pemdor_link_dependency(libfoo)          # links it to pemdor and records it
#   endif()
#
# pemdor_dependency(<name> PUBLIC|PRIVATE
#                   FIND_PACKAGE <package> [<version>] TARGET <target> | PKG_CONFIG <module>...
#                   [PC_MODULE <module>] [PC_LIBS <flag>...] [DEB <package>])
#
# PUBLIC: the public headers need it, so every consumer links it. PRIVATE: only the library's
# own sources use it; consumers of a shared library never see it, consumers of a static archive
# link it too. FIND_PACKAGE finds a CMake package that makes <target>; PKG_CONFIG finds modules
# with pkg_check_modules and makes the target PkgConfig::pemdor_<name>, with the same name in
# the installed package. PC_MODULE is the pkg-config module of a FIND_PACKAGE library, PC_LIBS
# the flags a pkg-config consumer needs for it instead, DEB its Debian -dev package.

function(pemdor_dependency name scope)
  cmake_parse_arguments(ARG "" "TARGET;PC_MODULE;DEB" "FIND_PACKAGE;PKG_CONFIG;PC_LIBS" ${ARGN})
  if(NOT scope MATCHES "^(PUBLIC|PRIVATE)$" OR (NOT ARG_FIND_PACKAGE AND NOT ARG_PKG_CONFIG)
     OR (ARG_FIND_PACKAGE AND NOT ARG_TARGET) OR ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "pemdor_dependency(${name} ${scope} ${ARGN}): malformed row")
  endif()
  if(ARG_PKG_CONFIG)
    set(ARG_TARGET PkgConfig::pemdor_${name})
    set(ARG_PC_MODULE ${ARG_PKG_CONFIG})
  endif()
  foreach(_field IN ITEMS TARGET PC_MODULE PC_LIBS DEB FIND_PACKAGE PKG_CONFIG)
    set_property(GLOBAL PROPERTY PEMDOR_DEPENDENCY_${name}_${_field} "${ARG_${_field}}")
  endforeach()
  set_property(GLOBAL PROPERTY PEMDOR_DEPENDENCY_${name}_SCOPE ${scope})
endfunction()

# Reads one field of a row into <out>.
function(pemdor_dependency_field name field out)
  get_property(_defined GLOBAL PROPERTY PEMDOR_DEPENDENCY_${name}_SCOPE SET)
  if(NOT _defined)
    message(FATAL_ERROR "pemdor: no dependency named ${name} in cmake/PemdorDependencies.cmake")
  endif()
  get_property(_value GLOBAL PROPERTY PEMDOR_DEPENDENCY_${name}_${field})
  set(${out} "${_value}" PARENT_SCOPE)
endfunction()

# Finds the library of row <name>; <found> is set to TRUE or FALSE. REQUIRED stops the configure
# step when it is missing; otherwise the caller says what is left out without it.
function(pemdor_find_dependency name found)
  cmake_parse_arguments(ARG "REQUIRED" "" "" ${ARGN})
  pemdor_dependency_field(${name} TARGET _target)
  pemdor_dependency_field(${name} FIND_PACKAGE _package)
  pemdor_dependency_field(${name} PKG_CONFIG _modules)
  set(_required)
  if(ARG_REQUIRED)
    set(_required REQUIRED)
  endif()
  if(NOT TARGET ${_target})
    if(_package)
      find_package(${_package} ${_required})
    else()
      find_package(PkgConfig ${_required})
      if(PKG_CONFIG_FOUND)
        # GLOBAL: tests of a provider link the library too, from folders of their own.
        pkg_check_modules(pemdor_${name} ${_required} QUIET IMPORTED_TARGET GLOBAL ${_modules})
        # The linker flags, for the Libs.private field of pemdor's own pkg-config file.
        set(_flags)
        foreach(_library IN LISTS pemdor_${name}_LIBRARIES)
          list(APPEND _flags -l${_library})
        endforeach()
        list(APPEND _flags ${pemdor_${name}_LDFLAGS_OTHER})
        set_property(GLOBAL PROPERTY PEMDOR_DEPENDENCY_${name}_FOUND_LIBS "${_flags}")
      endif()
    endif()
  endif()
  if(TARGET ${_target})
    set(${found} TRUE PARENT_SCOPE)
  else()
    set(${found} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Links the library of row <name>, found before, to pemdor with the row's scope and records it
# for the installed package, the pkg-config file and the Debian -dev package.
function(pemdor_link_dependency name)
  pemdor_dependency_field(${name} TARGET _target)
  pemdor_dependency_field(${name} SCOPE _scope)
  target_link_libraries(pemdor ${_scope} ${_target})
  set_property(GLOBAL APPEND PROPERTY PEMDOR_LINKED_DEPENDENCIES ${name})
endfunction()

# The table. Adding a library: one row here, then find and link it where it is used.
pemdor_dependency(nlohmann_json PUBLIC FIND_PACKAGE nlohmann_json 3.10
  TARGET nlohmann_json::nlohmann_json PC_MODULE nlohmann_json DEB nlohmann-json3-dev)
# The public headers hold std::mutex members; -pthread costs nothing where glibc has the
# threads built in.
pemdor_dependency(Threads PUBLIC FIND_PACKAGE Threads TARGET Threads::Threads PC_LIBS -pthread)
pemdor_dependency(libiio PRIVATE PKG_CONFIG libiio DEB libiio-dev)
pemdor_dependency(libudev PRIVATE PKG_CONFIG libudev DEB libudev-dev)
pemdor_dependency(libevdev PRIVATE PKG_CONFIG libevdev DEB libevdev-dev)
pemdor_dependency(libgps PRIVATE PKG_CONFIG libgps DEB libgps-dev)
pemdor_dependency(libsystemd PRIVATE PKG_CONFIG libsystemd DEB libsystemd-dev)

# Says that an optional part is left out because <reason> (a library or tool is missing). In
# continuous integration (environment CI=true) with the tests on, that is an error instead: the
# tests of the part would be left out without anyone noticing. A part switched off on purpose
# (PEMDOR_WITH_IIO=OFF and the like) never gets here.
function(pemdor_part_missing reason)
  if("$ENV{CI}" STREQUAL "true" AND PEMDOR_BUILD_TESTS)
    message(SEND_ERROR "pemdor: ${reason} (CI=true: everything must be built and tested)")
  else()
    message(STATUS "pemdor: ${reason}")
  endif()
endfunction()
