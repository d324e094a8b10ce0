# SPDX-License-Identifier: MIT
# pemdor_readme_example(README NAME OUT): writes to the file OUT the fenced code block that
# follows the line "<!-- example: NAME -->" in README; an error when there is none. Used at
# configure time (tests/examples) and by the install tests' script.
function(pemdor_readme_example readme name out)
  file(READ ${readme} _text)
  string(FIND "${_text}" "<!-- example: ${name} -->\n```" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "${readme} has no example named ${name}")
  endif()
  string(SUBSTRING "${_text}" ${_at} -1 _text)
  # Past the marker line and the opening fence line.
  string(FIND "${_text}" "\n```" _fence)
  math(EXPR _fence "${_fence} + 4")
  string(SUBSTRING "${_text}" ${_fence} -1 _text)
  string(FIND "${_text}" "\n" _line_end)
  math(EXPR _line_end "${_line_end} + 1")
  string(SUBSTRING "${_text}" ${_line_end} -1 _text)
  string(FIND "${_text}" "\n```" _close)
  if(_close EQUAL -1)
    message(FATAL_ERROR "${readme}: the example ${name} has no closing fence")
  endif()
  math(EXPR _close "${_close} + 1")
  string(SUBSTRING "${_text}" 0 ${_close} _code)
  file(CONFIGURE OUTPUT ${out} CONTENT "${_code}" @ONLY)
endfunction()

# pemdor_check_example_output(NAME OUTPUT VERSION): fails unless OUTPUT is what the README's
# example NAME prints.
function(pemdor_check_example_output name output version)
  string(REPLACE "." "\\." _version "${version}")
  if(name STREQUAL "c")
    string(CONCAT _expected "^pemdor ${_version} on motion: simulated, location: simulated\n"
      "position 52\\.520008, 13\\.404954\nreadings {\"Acceleration\":\\[\"\\[[^\n]*\\.\\.\\.\n"
      "sync {\"Accelerometer\":\\[\"[^\n]*\\.\\.\\.\n$")
  else()
    string(CONCAT _expected "^pemdor ${_version} on motion: simulated, location: simulated\n"
      "position 52\\.520008 13\\.404954\naccelerometer -?[0-9.]+,-?[0-9.]+,-?[0-9.]+,[0-9]+\n$")
  endif()
  if(NOT output MATCHES "${_expected}")
    message(FATAL_ERROR "the ${name} example printed something else:\n${output}")
  endif()
endfunction()
