# Writes the manual page from `pixoria --help`, so that the two never say
# different things. Run as a script:
#   cmake -DPIXORIA=path/to/pixoria -DOUT=pixoria.1 -DVERSION=x.y.z
#         -P HelpToMan.cmake
# The help text is laid out as a manual already: headings in capitals at
# the margin, their text indented by four spaces. Each heading becomes a
# section; the NAME text is joined into the one line whatis reads, the rest
# is kept line for line (no filling), as the help shows it.
execute_process(COMMAND "${PIXORIA}" --help
                OUTPUT_VARIABLE help
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "pixoria --help failed (${status})")
endif()

# Characters roff reads as its own.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REPLACE ";" "\\;" help "${help}")
string(REGEX REPLACE "\n$" "" help "${help}")
string(REPLACE "\n" ";" lines "${help}")

set(page ".TH PIXORIA 1 \"\" \"pixoria ${VERSION}\" \"User Commands\"\n")
set(section "")
set(name "")
foreach(line IN LISTS lines)
  string(REPLACE "\\;" ";" line "${line}")
  if(line MATCHES "^[A-Z][A-Z ]*$")
    if(section STREQUAL "NAME")
      string(APPEND page ".SH NAME\n${name}\n")
    elseif(NOT section STREQUAL "")
      string(APPEND page ".fi\n")
    endif()
    set(section "${line}")
    if(NOT section STREQUAL "NAME")
      string(APPEND page ".SH ${section}\n.nf\n")
    endif()
    continue()
  endif()
  # (REGEX REPLACE would take every run of four at the start, not one.)
  if(line MATCHES "^    ")
    string(SUBSTRING "${line}" 4 -1 line)
  endif()
  if(section STREQUAL "NAME")
    string(STRIP "${line}" line)
    if(NOT line STREQUAL "")
      string(APPEND name "${line} ")
    endif()
    string(STRIP "${name}" name)
    string(APPEND name " ")
    continue()
  endif()
  # A line that starts with a dot or a quote is no request.
  if(line MATCHES "^[.']")
    set(line "\\&${line}")
  endif()
  if(line STREQUAL "")
    string(APPEND page "\n")
  else()
    string(APPEND page "${line}\n")
  endif()
endforeach()
if(NOT section STREQUAL "" AND NOT section STREQUAL "NAME")
  string(APPEND page ".fi\n")
endif()
string(REPLACE " \n" "\n" page "${page}")
file(WRITE "${OUT}" "${page}")
