# SPDX-License-Identifier: MIT
# Run by CPack on the staged tree just before it builds the Debian package:
# gives it what Debian policy asks of a package's documents. The manual pages
# are compressed with gzip -9n (reproducible), and /usr/share/doc/platterfell
# gets a machine-readable copyright file made from LICENSE and a changelog in
# Debian's format made from CHANGELOG.md, so that neither is kept twice.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}" DIRECTORY)
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")

function(gzip_file path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${path} failed: ${status}")
  endif()
endfunction()

file(GLOB_RECURSE pages "${root}/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    gzip_file("${page}")
  endif()
endforeach()

file(MAKE_DIRECTORY "${doc}")

# copyright: DEP-5 names the MIT licence "Expat"; its text is LICENSE's
# permission notice, each line indented and each empty line a " .".
file(READ "${source_dir}/LICENSE" licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" ignored "${licence}")
set(holder "${CMAKE_MATCH_1}")
string(FIND "${licence}" "Permission is hereby granted" start)
string(SUBSTRING "${licence}" ${start} -1 notice)
string(STRIP "${notice}" notice)
string(REPLACE "\n\n" "\n.\n" notice "${notice}")
string(REPLACE "\n" "\n " notice "${notice}")
file(WRITE "${doc}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${CPACK_PACKAGE_NAME}\n"
  "Upstream-Contact: ${CPACK_DEBIAN_PACKAGE_MAINTAINER}\n\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n ${notice}\n")

# changelog: each "## VERSION - YYYY-MM-DD" heading of CHANGELOG.md becomes an
# entry, each "### " heading in it an item and each "- " line an item (under
# the heading's, if any), wrapped to 80 columns; other lines are for readers of
# the Markdown only.
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
set(weekdays Sun Mon Tue Wed Thu Fri Sat)
set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)

# "Wed, 09 Dec 2026 00:00:00 +0000" for 2026 12 09 (Sakamoto's weekday rule).
function(debian_date year month day out)
  math(EXPR m "1${month} - 100")
  math(EXPR d "1${day} - 100")
  set(y ${year})
  if(m LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR index "${m} - 1")
  list(GET month_offsets ${index} offset)
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${d}) % 7")
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${index} month_name)
  set(${out} "${weekday_name}, ${day} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

# Appends TEXT to the changelog after PREFIX, its further lines indented alike.
macro(append_wrapped prefix text)
  set(rest "${text}")
  set(lead "${prefix}")
  string(LENGTH "${prefix}" indent)
  math(EXPR width "80 - ${indent}")
  string(LENGTH "${rest}" length)
  while(length GREATER width)
    math(EXPR probe "${width} + 1")
    string(SUBSTRING "${rest}" 0 ${probe} head)
    string(FIND "${head}" " " cut REVERSE)
    if(cut LESS 1)
      break() # a word longer than a line is left whole
    endif()
    string(SUBSTRING "${rest}" 0 ${cut} piece)
    math(EXPR cut "${cut} + 1")
    string(SUBSTRING "${rest}" ${cut} -1 rest)
    string(APPEND changelog "${lead}${piece}\n")
    string(REPEAT " " ${indent} lead)
    string(LENGTH "${rest}" length)
  endwhile()
  string(APPEND changelog "${lead}${rest}\n")
endmacro()

file(READ "${source_dir}/CHANGELOG.md" markdown)
string(REPLACE "`" "" markdown "${markdown}")
string(APPEND markdown "\n")
set(changelog "")
set(trailer "")
set(first_version "")
# Line by line without a CMake list, whose ";" and "[" rules would bend text.
while(NOT markdown STREQUAL "")
  string(FIND "${markdown}" "\n" end)
  string(SUBSTRING "${markdown}" 0 ${end} line)
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${markdown}" ${end} -1 markdown)
  if(line MATCHES "^## ([^ ]+) - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
    if(first_version STREQUAL "")
      set(first_version "${CMAKE_MATCH_1}")
    endif()
    debian_date(${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4} date)
    string(APPEND changelog "${trailer}"
           "${CPACK_PACKAGE_NAME} (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n\n")
    set(item_prefix "  * ")
  elseif(trailer STREQUAL "")
    # nothing before the first entry goes into the Debian changelog
  elseif(line MATCHES "^### (.+)$")
    append_wrapped("  * " "${CMAKE_MATCH_1}:")
    set(item_prefix "    - ")
  elseif(line MATCHES "^- (.+)$")
    append_wrapped("${item_prefix}" "${CMAKE_MATCH_1}")
  endif()
endwhile()
if(NOT first_version STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "CHANGELOG.md begins with ${first_version}, not with an entry for "
                      "${CPACK_PACKAGE_VERSION}: say what this release changes first")
endif()
string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}${trailer}")
file(WRITE "${doc}/changelog" "${changelog}")
gzip_file("${doc}/changelog")

file(CHMOD "${doc}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
           WORLD_READ WORLD_EXECUTE)
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
           WORLD_READ)
