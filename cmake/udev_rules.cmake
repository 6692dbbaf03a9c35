# Writes the udev rule for every USB identity of the modem table.
#   cmake -DTABLE=modems.conf -DOUTPUT=70-quorrel.rules -P udev_rules.cmake
#
# For each identity: TAG+="uaccess" gives the user at the seat the device's
# ttys (the tag is applied by 73-seat-late.rules, so this file must sort
# before it), and ID_MM_DEVICE_IGNORE keeps ModemManager from probing the
# ports with AT commands in the middle of a download. A line the table reader
# would refuse fails the build here too, naming file and line.
cmake_minimum_required(VERSION 3.25)
if(NOT DEFINED TABLE OR NOT DEFINED OUTPUT)
  message(FATAL_ERROR "udev_rules.cmake needs -DTABLE=<modems.conf> -DOUTPUT=<rules file>")
endif()
# Line by line from the raw text, empty lines included, so that an error
# names the line an editor shows.
file(READ "${TABLE}" _raw)
string(REPLACE ";" "\\;" _raw "${_raw}")
string(REPLACE "\n" ";" _raw_lines "${_raw}")

set(_out "# Generated from modems.conf when quorrel was built; edit the table, not this file.\n")
string(APPEND _out "# The logged-in user may open these modems' ttys, and ModemManager leaves them alone.\n")
string(APPEND _out "ACTION==\"remove\", GOTO=\"quorrel_end\"\n")
set(_number 0)
set(_seen "")
foreach(_line IN LISTS _raw_lines)
  math(EXPR _number "${_number} + 1")
  string(REGEX REPLACE "#.*$" "" _line "${_line}")
  string(STRIP "${_line}" _line)
  if(_line STREQUAL "")
    continue()
  endif()
  if(NOT _line MATCHES "^([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]):([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])[ \t]+diag=[0-9A-Fa-f]+([ \t]|$)")
    message(FATAL_ERROR "${TABLE}:${_number}: not \"VID:PID diag=N [at=M] [name]\": ${_line}")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" _vid)
  string(TOLOWER "${CMAKE_MATCH_2}" _pid)
  if("${_vid}:${_pid}" IN_LIST _seen)
    continue()
  endif()
  list(APPEND _seen "${_vid}:${_pid}")
  string(APPEND _out "SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"${_vid}\", ATTRS{idProduct}==\"${_pid}\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n")
endforeach()
string(APPEND _out "LABEL=\"quorrel_end\"\n")
file(WRITE "${OUTPUT}.tmp" "${_out}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
