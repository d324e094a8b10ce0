# Installation: headers, the library, a CMake package and a pkg-config file.
#
# Included at the end of the top-level CMakeLists.txt, once every folder has added its sources,
# headers and link dependencies to the target pemdor.
include(CMakePackageConfigHelpers)

set(PEMDOR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/pemdor
  CACHE STRING "Where the CMake package of pemdor is installed, relative to the prefix")

install(TARGETS pemdor EXPORT pemdorTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT pemdorTargets
  NAMESPACE pemdor::
  DESTINATION ${PEMDOR_INSTALL_CMAKEDIR}
  FILE pemdorTargets.cmake)

# The exported target names every link dependency of pemdor; a static archive needs even the
# private ones ($<LINK_ONLY:...>) at the consumer's link. Plain library paths and flags work as
# they are; imported targets must exist before pemdorTargets.cmake is read, so the package
# config makes them again. Targets from pkg_check_modules(PREFIX IMPORTED_TARGET ...) are
# looked up again with pkg-config (falling back to the library files found here); other
# imported targets are made again from their interface properties as found here.
get_target_property(_pemdor_type pemdor TYPE)
get_target_property(_pemdor_link pemdor LINK_LIBRARIES)
get_target_property(_pemdor_interface pemdor INTERFACE_LINK_LIBRARIES)
set(_pemdor_items)
foreach(_item IN LISTS _pemdor_link _pemdor_interface)
  if(_item MATCHES "^\\$<LINK_ONLY:(.+)>$")
    set(_item "${CMAKE_MATCH_1}")
  endif()
  # Skip the directory-scope markers CMake puts around items linked from other folders, the
  # dependencies the package config finds itself, and what is not a target.
  if(NOT _item OR _item MATCHES "^::@" OR _item MATCHES "\\$<" OR _item MATCHES "-NOTFOUND$"
     OR _item STREQUAL "nlohmann_json::nlohmann_json" OR _item STREQUAL "Threads::Threads"
     OR NOT _item MATCHES "::")
    continue()
  endif()
  list(APPEND _pemdor_items "${_item}")
endforeach()
list(REMOVE_DUPLICATES _pemdor_items)

set(PEMDOR_CONFIG_DEPENDENCIES "")
if(_pemdor_type STREQUAL "STATIC_LIBRARY")
  foreach(_item IN LISTS _pemdor_items)
    string(APPEND PEMDOR_CONFIG_DEPENDENCIES "\n")
    if(_item MATCHES "^PkgConfig::(.+)$")
      set(_prefix "${CMAKE_MATCH_1}")
      # pkg_check_modules keeps its arguments and the library files it found in the cache.
      set(_modules ${__pkg_config_arguments_${_prefix}})
      list(REMOVE_ITEM _modules REQUIRED QUIET IMPORTED_TARGET GLOBAL NO_CMAKE_PATH
        NO_CMAKE_ENVIRONMENT_PATH)
      get_cmake_property(_cache_names CACHE_VARIABLES)
      set(_files)
      foreach(_name IN LISTS _cache_names)
        if(_name MATCHES "^pkgcfg_lib_${_prefix}_")
          list(APPEND _files "${${_name}}")
        endif()
      endforeach()
      if(NOT _modules)
        message(WARNING "pemdor links ${_item}, but no pkg-config modules are known for it; "
          "the installed package will not find it")
        continue()
      endif()
      string(APPEND PEMDOR_CONFIG_DEPENDENCIES
        "_pemdor_pkg_config_dependency(${_prefix} \"${_modules}\" \"${_files}\")")
    elseif(TARGET "${_item}")
      # A target of this project must be in the export set; install(EXPORT) says so.
      get_target_property(_imported "${_item}" IMPORTED)
      if(NOT _imported)
        continue()
      endif()
      set(_properties)
      foreach(_property INTERFACE_LINK_LIBRARIES INTERFACE_INCLUDE_DIRECTORIES
          INTERFACE_COMPILE_DEFINITIONS INTERFACE_COMPILE_OPTIONS INTERFACE_LINK_OPTIONS
          INTERFACE_LINK_DIRECTORIES)
        get_target_property(_value "${_item}" ${_property})
        if(_property STREQUAL "INTERFACE_LINK_LIBRARIES")
          # A library file of an imported library target becomes a link item of the new one.
          get_target_property(_location "${_item}" IMPORTED_LOCATION)
          if(NOT _location)
            string(TOUPPER "${CMAKE_BUILD_TYPE}" _config)
            get_target_property(_location "${_item}" IMPORTED_LOCATION_${_config})
          endif()
          if(_location)
            list(PREPEND _value "${_location}")
          endif()
          list(FILTER _value EXCLUDE REGEX "-NOTFOUND$")
        endif()
        if(_value)
          string(APPEND _properties "\n    ${_property} \"${_value}\"")
        endif()
      endforeach()
      string(APPEND PEMDOR_CONFIG_DEPENDENCIES "if(NOT TARGET ${_item})\n"
        "  add_library(${_item} INTERFACE IMPORTED)\n")
      if(_properties)
        string(APPEND PEMDOR_CONFIG_DEPENDENCIES
          "  set_target_properties(${_item} PROPERTIES${_properties})\n")
      endif()
      string(APPEND PEMDOR_CONFIG_DEPENDENCIES "endif()")
    else()
      message(WARNING "pemdor links ${_item}, which cannot be seen from the top-level "
        "folder, so the installed package cannot make it; make it with "
        "pkg_check_modules(... IMPORTED_TARGET) or as a GLOBAL imported target")
    endif()
  endforeach()
endif()

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
  DESTINATION ${PEMDOR_INSTALL_CMAKEDIR})

# pkg-config: the providers' libraries are private to a shared library; a static archive
# records no dependencies of its own, so then every consumer needs them and they are public.
set(_pc_requires nlohmann_json)
set(_pc_requires_private)
if(PEMDOR_HAVE_IIO)
  list(APPEND _pc_requires_private libiio)
endif()
if(PEMDOR_HAVE_UDEV)
  list(APPEND _pc_requires_private libudev)
endif()
if(PEMDOR_HAVE_GPSD)
  list(APPEND _pc_requires_private libgps)
endif()
if(PEMDOR_HAVE_GEOCLUE)
  list(APPEND _pc_requires_private libsystemd)
endif()
set(_pc_libs_private -pthread)
set(PEMDOR_PC_LIBS "-L\${libdir} -lpemdor")
if(_pemdor_type STREQUAL "STATIC_LIBRARY")
  list(APPEND _pc_requires ${_pc_requires_private})
  set(_pc_requires_private)
  string(APPEND PEMDOR_PC_LIBS " ${_pc_libs_private}")
  set(_pc_libs_private)
endif()
list(JOIN _pc_requires " " PEMDOR_PC_REQUIRES)
list(JOIN _pc_requires_private " " PEMDOR_PC_REQUIRES_PRIVATE)
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
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pemdor.pc DESTINATION ${_pc_dir})
