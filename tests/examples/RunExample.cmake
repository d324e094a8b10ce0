# SPDX-License-Identifier: MIT
# cmake -P script of the tests examples.NAME: runs COMMAND (a ;-list) with ENV (a ;-list of
# VAR=VALUE) and checks that it prints what the README's example prints.
include(${CMAKE_CURRENT_LIST_DIR}/ReadmeExample.cmake)
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${ENV} ${COMMAND}
  RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _errors)
message(STATUS "${_output}${_errors}")
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "the ${NAME} example failed (${_result})")
endif()
pemdor_check_example_output(${NAME} "${_output}" ${VERSION})
