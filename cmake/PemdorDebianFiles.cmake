# SPDX-License-Identifier: MIT
# The files that Debian wants in every package's usr/share/doc/<package>/, written at configure
# time from the sources that hold them, so that they never disagree with those:
#   copyright     the machine-readable copyright file (DEP-5), from LICENSE;
#   changelog.gz  a Debian changelog, one entry per release of CHANGELOG.md (Keep a Changelog
#                 form: "## [X.Y.Z] - YYYY-MM-DD", "### Added" and so on, "- " items), newest
#                 first, compressed as Debian compresses it (gzip -9n).
# The project's version must have its section in CHANGELOG.md; without one the changelog starts
# with an entry that says so, dated at configure time, and the configure step says so too.

set(_pemdor_debian_dir ${PROJECT_BINARY_DIR}/debian)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md)

# Wraps `text` into lines of at most `width` characters, the first starting with `first`, the
# others with `rest`; a word longer than a line stands on a line of its own.
function(pemdor_wrap_text text width first rest out)
  string(REGEX REPLACE "[ \t\n]+" " " text "${text}")
  string(STRIP "${text}" text)
  string(REPLACE ";" "<pemdor-semicolon>" text "${text}")
  string(REPLACE " " ";" words "${text}")
  set(result "")
  set(line "${first}")
  set(line_has_word OFF)
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" length)
    if(line_has_word AND length GREATER width)
      string(APPEND result "${line}\n")
      set(line "${rest}${word}")
    elseif(line_has_word)
      string(APPEND line " ${word}")
    else()
      string(APPEND line "${word}")
    endif()
    set(line_has_word ON)
  endforeach()
  string(APPEND result "${line}")
  string(REPLACE "<pemdor-semicolon>" ";" result "${result}")
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# The date of YYYY-MM-DD as Debian changelogs write it: "Wed, 09 Dec 2026 00:00:00 +0000".
# `hour` (0 to 23) orders the releases of one day: Debian wants each entry later than the one
# before it, and CHANGELOG.md dates releases by the day only.
function(_pemdor_changelog_date year month day hour out)
  # Sakamoto's method for the day of the week, 0 being Sunday.
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${index} month_name)
  if(hour LESS 10)
    set(hour "0${hour}")
  endif()
  set(${out} "${weekday_name}, ${day} ${month_name} ${year} ${hour}:00:00 +0000" PARENT_SCOPE)
endfunction()

# Ends the entry of one release in the changelog text being written.
macro(_pemdor_changelog_close_item)
  if(NOT item STREQUAL "")
    pemdor_wrap_text("${category}${item}" 78 "  * " "    " wrapped)
    string(APPEND entry "${wrapped}\n")
    set(item "")
  endif()
endmacro()
macro(_pemdor_changelog_close_entry)
  _pemdor_changelog_close_item()
  if(NOT version STREQUAL "")
    if(entry STREQUAL "")
      set(entry "  * Release ${version}.\n")
    endif()
    string(APPEND changelog "${PROJECT_NAME} (${version}) unstable; urgency=medium\n\n${entry}\n"
      " -- ${PEMDOR_PACKAGE_MAINTAINER}  ${date}\n\n")
    list(APPEND versions ${version})
  endif()
  set(version "")
  set(entry "")
endmacro()

# Writes the Debian changelog of CHANGELOG.md into `output` (uncompressed).
function(pemdor_write_debian_changelog output)
  file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md text)
  # List operations must not see the text's own semicolons and brackets.
  string(REPLACE ";" "<pemdor-semicolon>" text "${text}")
  string(REPLACE "[" "<pemdor-open>" text "${text}")
  string(REPLACE "]" "<pemdor-close>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  # The dates of the releases, newest first: a release gets the hour of the number of older
  # releases of its day, so that the entries of one day follow each other.
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md release_lines
    REGEX "^## \\[[0-9][^ ]* - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]")
  set(release_dates)
  foreach(line IN LISTS release_lines)
    string(REGEX REPLACE "^.* - ([0-9-]+).*$" "\\1" release_date "${line}")
    list(APPEND release_dates ${release_date})
  endforeach()
  set(release_index 0)
  set(changelog "")
  set(versions)
  set(version "")
  set(entry "")
  set(item "")
  set(category "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^## <pemdor-open>([0-9][^<]*)<pemdor-close> - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])")
      _pemdor_changelog_close_entry()
      set(version ${CMAKE_MATCH_1})
      set(year ${CMAKE_MATCH_2})
      set(month ${CMAKE_MATCH_3})
      set(day ${CMAKE_MATCH_4})
      set(hour 0)
      list(LENGTH release_dates release_count)
      math(EXPR older "${release_index} + 1")
      while(older LESS release_count)
        list(GET release_dates ${older} older_date)
        if(older_date STREQUAL "${year}-${month}-${day}")
          math(EXPR hour "${hour} + 1")
        endif()
        math(EXPR older "${older} + 1")
      endwhile()
      math(EXPR release_index "${release_index} + 1")
      _pemdor_changelog_date(${year} ${month} ${day} ${hour} date)
      set(category "")
    elseif(line MATCHES "^## ")
      # A section that is no release (Unreleased) is not packaged.
      _pemdor_changelog_close_entry()
    elseif(line MATCHES "^### (.*)$")
      _pemdor_changelog_close_item()
      set(category "${CMAKE_MATCH_1}: ")
    elseif(NOT version STREQUAL "" AND line MATCHES "^- (.*)$")
      _pemdor_changelog_close_item()
      set(item "${CMAKE_MATCH_1}")
    elseif(NOT item STREQUAL "" AND line MATCHES "^  +(.*)$")
      string(APPEND item " ${CMAKE_MATCH_1}")
    else()
      _pemdor_changelog_close_item()
    endif()
  endforeach()
  _pemdor_changelog_close_entry()

  if(NOT PROJECT_VERSION IN_LIST versions)
    message(STATUS "pemdor: CHANGELOG.md has no section for ${PROJECT_VERSION}; the Debian "
      "changelog says so")
    string(TIMESTAMP year "%Y" UTC)
    string(TIMESTAMP month "%m" UTC)
    string(TIMESTAMP day "%d" UTC)
    _pemdor_changelog_date(${year} ${month} ${day} 23 date)
    string(PREPEND changelog "${PROJECT_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
      "  * Release ${PROJECT_VERSION}, which CHANGELOG.md does not describe yet.\n\n"
      " -- ${PEMDOR_PACKAGE_MAINTAINER}  ${date}\n\n")
  endif()
  string(REPLACE "<pemdor-semicolon>" ";" changelog "${changelog}")
  string(REPLACE "<pemdor-open>" "[" changelog "${changelog}")
  string(REPLACE "<pemdor-close>" "]" changelog "${changelog}")
  string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}")
  file(WRITE ${output} "${changelog}")
endfunction()

# Writes the DEP-5 copyright file of LICENSE into `output`. LICENSE holds the MIT licence, which
# DEP-5 names Expat (its name for exactly this text), after the line "Copyright (c) <holders>";
# the years are those of the releases in CHANGELOG.md.
function(pemdor_write_debian_copyright output)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]*)\n\n(.*)$")
    message(FATAL_ERROR "LICENSE: no line \"Copyright (c) ...\" followed by the licence text")
  endif()
  set(holders "${CMAKE_MATCH_1}")
  # Debian wants the years of copyright, which LICENSE leaves out: those of the releases.
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md dated REGEX "^## .* - [0-9][0-9][0-9][0-9]-")
  set(years)
  foreach(line IN LISTS dated)
    string(REGEX REPLACE "^.* - ([0-9][0-9][0-9][0-9])-.*$" "\\1" year "${line}")
    list(APPEND years ${year})
  endforeach()
  if(NOT years)
    string(TIMESTAMP years "%Y" UTC)
  endif()
  list(SORT years)
  list(GET years 0 first)
  list(GET years -1 last)
  if(first STREQUAL last)
    string(PREPEND holders "${first} ")
  else()
    string(PREPEND holders "${first}-${last} ")
  endif()
  string(STRIP "${CMAKE_MATCH_2}" body)
  # Continuation lines start with a space; an empty line is " .".
  string(REPLACE "\n\n" "\n.\n" body "${body}")
  string(REPLACE "\n" "\n " body "${body}")
  file(WRITE ${output}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: ${PROJECT_NAME}\n"
    "Upstream-Contact: ${PEMDOR_PACKAGE_MAINTAINER}\n"
    "\n"
    "Files: *\n"
    "Copyright: ${holders}\n"
    "License: Expat\n"
    " ${body}\n")
endfunction()

find_program(PEMDOR_GZIP gzip)
if(NOT PEMDOR_GZIP)
  message(FATAL_ERROR "pemdor: gzip is needed for the Debian packages' changelogs and manual page")
endif()

# Compresses `input` into `output` as Debian compresses documentation: best compression, no
# name or time stamp inside, so the same input gives the same bytes.
function(pemdor_gzip_now input output)
  execute_process(COMMAND ${PEMDOR_GZIP} -9n -c ${input} OUTPUT_FILE ${output}
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

pemdor_write_debian_copyright(${_pemdor_debian_dir}/copyright)
pemdor_write_debian_changelog(${_pemdor_debian_dir}/changelog)
pemdor_gzip_now(${_pemdor_debian_dir}/changelog ${_pemdor_debian_dir}/changelog.gz)

# Installs the copyright file and the changelog into usr/share/doc/<package>/ with <component>.
function(pemdor_install_debian_files component package)
  install(FILES ${_pemdor_debian_dir}/copyright ${_pemdor_debian_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component})
endfunction()
