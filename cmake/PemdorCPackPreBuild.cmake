# SPDX-License-Identifier: MIT
# Run by cpack once the files are staged, before the packages are made (CPACK_PRE_BUILD_SCRIPTS).
# For the components in CPACK_PEMDOR_SHLIBDEPS_COMPONENTS, which CPack must not scan (it would
# write maintainer scripts calling ldconfig for their shared libraries, where Debian wants the
# ldconfig trigger they carry), the dependencies on other shared libraries are found here with
# dpkg-shlibdeps, as CPack would find them, and added to the component's Depends.
find_program(_pemdor_shlibdeps dpkg-shlibdeps)
foreach(_component IN LISTS CPACK_PEMDOR_SHLIBDEPS_COMPONENTS)
  string(TOUPPER ${_component} _c)
  file(GLOB_RECURSE _objects LIST_DIRECTORIES false
    ${CPACK_TEMPORARY_DIRECTORY}/${_component}/*.so.*)
  list(FILTER _objects EXCLUDE REGEX "\\.debug$")
  if(NOT _objects)
    continue()
  endif()
  if(NOT _pemdor_shlibdeps)
    message(FATAL_ERROR "pemdor: dpkg-shlibdeps (package dpkg-dev) is needed for the package "
      "of component ${_component}")
  endif()
  # dpkg-shlibdeps wants a debian/control in its working folder, as CPack gives it.
  set(_work ${CPACK_TEMPORARY_DIRECTORY}/pemdor-shlibdeps-${_component})
  file(MAKE_DIRECTORY ${_work}/debian)
  file(WRITE ${_work}/debian/control "")
  execute_process(COMMAND ${_pemdor_shlibdeps} -O ${_objects}
    WORKING_DIRECTORY ${_work}
    RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _errors)
  file(REMOVE_RECURSE ${_work})
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "pemdor: dpkg-shlibdeps failed for ${_component}:\n${_errors}")
  endif()
  string(REGEX REPLACE "^.*shlibs:Depends=([^\n]*).*$" "\\1" _found "${_output}")
  if(_found STREQUAL _output)
    set(_found "")
  endif()
  set(_depends "${CPACK_DEBIAN_${_c}_PACKAGE_DEPENDS}")
  if(_depends AND _found)
    string(APPEND _depends ", ")
  endif()
  string(APPEND _depends "${_found}")
  set(CPACK_DEBIAN_${_c}_PACKAGE_DEPENDS "${_depends}")
  message(STATUS "pemdor: ${_component} depends on ${_depends}")
endforeach()
