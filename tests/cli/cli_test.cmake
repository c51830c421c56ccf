# ksvhid as a user runs it: one group of cases per CTest test.
#   cmake -DKSVHID=path [-DEMULATOR=run-wine.sh] -DVERSION=1.3.170 -DCASE=name -P cli_test.cmake
# Under an emulator (Wine) standard output and standard error arrive together, in `out`.

set(failures "")

function(fail message)
  set(failures "${failures}\n  ${message}" PARENT_SCOPE)
endfunction()

# Runs ksvhid with the arguments; sets `out`, `err` and `status` in the caller, and `ran` to a
# description of the call for the failure messages.
function(ksvhid)
  execute_process(COMMAND ${EMULATOR} ${KSVHID} ${ARGN}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 120)
  string(JOIN " " ran ksvhid ${ARGN})
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
  set(ran "${ran}" PARENT_SCOPE)
endfunction()

macro(expect_status want)
  if(NOT status STREQUAL "${want}")
    fail("${ran}: exit status ${status}, expected ${want}\n    stdout: ${out}\n    stderr: ${err}")
  endif()
endmacro()

macro(expect_out_equal want)
  if(NOT out STREQUAL "${want}")
    fail("${ran}: stdout is\n${out}\n    expected\n${want}")
  endif()
endmacro()

macro(expect_out_contains text)
  string(FIND "${out}" "${text}" at)
  if(at LESS 0)
    fail("${ran}: stdout lacks \"${text}\":\n${out}")
  endif()
endmacro()

macro(expect_err_contains text)
  string(FIND "${err}" "${text}" at)
  if(at LESS 0)
    fail("${ran}: stderr lacks \"${text}\":\n${err}")
  endif()
endmacro()

# A failed call explains itself in exactly one line on stderr and prints nothing else.
macro(expect_one_line_error want_status)
  expect_status(${want_status})
  if(NOT err MATCHES "^ksvhid: [^\n]+\n$")
    fail("${ran}: stderr is not one \"ksvhid: ...\" line:\n${err}")
  endif()
  if(NOT out STREQUAL "")
    fail("${ran}: printed on stdout:\n${out}")
  endif()
endmacro()

# The value at a path of the JSON on stdout; `want` "null" asks for a JSON null.
macro(expect_json want)
  string(JSON got ERROR_VARIABLE json_error GET "${out}" ${ARGN})
  string(JSON type ERROR_VARIABLE json_error TYPE "${out}" ${ARGN})
  string(JOIN "." where ${ARGN})
  if(json_error)
    fail("${ran}: JSON ${where}: ${json_error}\n${out}")
  elseif("${want}" STREQUAL "null")
    if(NOT type STREQUAL "NULL")
      fail("${ran}: JSON ${where} is ${type} \"${got}\", expected null")
    endif()
  elseif(NOT got STREQUAL "${want}")
    fail("${ran}: JSON ${where} is \"${got}\", expected \"${want}\"")
  endif()
endmacro()

macro(expect_json_length want)
  string(JSON got ERROR_VARIABLE json_error LENGTH "${out}" ${ARGN})
  if(json_error OR NOT got EQUAL ${want})
    fail("${ran}: JSON length of ${ARGN} is ${got}, expected ${want} ${json_error}")
  endif()
endmacro()

# Hex text of 63 command bytes: `count` bytes first, first+1, ... (mod 256), then zeros.
function(counting_hex first count result)
  set(hex "")
  foreach(i RANGE 1 63)
    set(byte 0)
    if(i LESS_EQUAL count)
      math(EXPR byte "(${first} + ${i} - 1) % 256")
    endif()
    hex_byte(${byte} digits)
    string(APPEND hex "${digits}")
  endforeach()
  set(${result} "${hex}" PARENT_SCOPE)
endfunction()

# The reply of the echo module that adds one to every byte.
function(plus_one_hex command result)
  set(hex "")
  string(LENGTH "${command}" n)
  math(EXPR last "${n} - 2")
  foreach(at RANGE 0 ${last} 2)
    string(SUBSTRING "${command}" ${at} 2 digits)
    math(EXPR byte "(0x${digits} + 1) % 256")
    hex_byte(${byte} digits)
    string(APPEND hex "${digits}")
  endforeach()
  set(${result} "${hex}" PARENT_SCOPE)
endfunction()

function(hex_byte value result)
  math(EXPR value "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${value}" 2 -1 digits)
  string(TOLOWER "${digits}" digits)
  if(value LESS 16)
    set(digits "0${digits}")
  endif()
  set(${result} "${digits}" PARENT_SCOPE)
endfunction()

# The rows after the first of the echo module's reply to a short command: zeros plus one.
string(CONCAT plus_one_tail
  "  10   01 01 01 01 01 01 01 01  01 01 01 01 01 01 01 01  |................|\n"
  "  20   01 01 01 01 01 01 01 01  01 01 01 01 01 01 01 01  |................|\n"
  "  30   01 01 01 01 01 01 01 01  01 01 01 01 01 01 01     |...............|\n")

if(CASE STREQUAL "list")
  # Every mode sees its own modules among the simulated devices, in walk order; the keyboard that
  # comes first is never one.
  ksvhid(--simulated list)
  expect_status(0)
  expect_out_equal("4 modules (mode 0)\n  0  KSV-SIM-0001\n  1  KSV-SIM-0002\n  2  KSV-SIM-0003\n  3  KSV-\\xb5-0004\n")
  # A module whose serial number cannot be read is still listed, in its place.
  ksvhid(list --simulated --mode 1)
  expect_status(0)
  expect_out_equal("2 modules (mode 1)\n  0  KSV-SIM-L001\n  1  (serial number unreadable)\n")
  ksvhid(--simulated list --mode=2)
  expect_out_equal("3 modules (mode 2)\n  0  KSV-SIM-0001\n  1  KSV-SIM-0003\n  2  KSV-\\xb5-0004\n")
  ksvhid(--simulated list --mode 3)
  expect_out_equal("1 module (mode 3)\n  0  KSV-SIM-0002\n")
  # The attached hardware: whatever is there, listed the same way, and success.
  ksvhid(list)
  expect_status(0)
  if(NOT out MATCHES "^[0-9]+ modules? \\(mode 0\\)\n")
    fail("${ran}: no count line:\n${out}")
  endif()

elseif(CASE STREQUAL "send")
  ksvhid(--simulated send KSV-SIM-0001 01 02 03)
  expect_status(0)
  string(CONCAT want "module KSV-SIM-0001 (mode 0)\n"
    "result: 1 reply (report ID 1)\n"
    "reply (63 bytes):\n"
    "  00   02 03 04 01 01 01 01 01  01 01 01 01 01 01 01 01  |................|\n"
    "${plus_one_tail}")
  expect_out_equal("${want}")

  # Report ID 2 is a reply too (result 0), and the bytes come back as sent.
  ksvhid(--simulated send KSV-SIM-0002 0x48692100ff)
  expect_status(0)
  expect_out_contains("result: 0 reply (report ID 2)\n")
  expect_out_contains("  00   48 69 21 00 ff 00 00 00  00 00 00 00 00 00 00 00  |Hi!.............|\n")

  # A serial number with a byte that is not printable, typed as it is shown. Its reply is short:
  # a failure (exit 1), yet the bytes that arrived are shown, zero where nothing arrived.
  ksvhid(--simulated send "KSV-\\xb5-0004" 41 42)
  expect_status(1)
  expect_out_contains("module KSV-\\xb5-0004 (mode 0)\n")
  expect_out_contains("result: -16 wrong reply length\n")
  expect_out_contains("  00   41 42 00 00")

  # Mode 1 accepts report ID 3 and a reply of any length.
  ksvhid(--simulated send KSV-SIM-L001 7e --mode 1)
  expect_status(0)
  expect_out_contains("result: 3 reply (report ID 3)\n")

  # A module that never answers: -1 after the time limit, and no reply bytes.
  ksvhid(--simulated send KSV-SIM-0003 01)
  expect_status(1)
  expect_out_contains("result: -1 timed out\nno reply\n")

  # The attached hardware has no module by that name.
  ksvhid(send KSV-SIM-0001 01)
  expect_one_line_error(1)

elseif(CASE STREQUAL "json")
  ksvhid(--simulated list --json)
  expect_status(0)
  expect_json(0 mode)
  expect_json(4 count)
  expect_json_length(4 modules)
  expect_json(0 modules 0 ordinal)
  expect_json(KSV-SIM-0001 modules 0 serial)
  expect_json(3 modules 3 ordinal)
  expect_json("KSV-\\xb5-0004" modules 3 serial)
  expect_json(4b53562db52d30303034 modules 3 serial_hex)

  # The serial number a script reads from the list opens that module.
  string(JSON listed ERROR_VARIABLE json_error GET "${out}" modules 3 serial)
  ksvhid(--simulated send "${listed}" 01 --json)
  expect_status(1)
  expect_json(-16 result)
  expect_json("wrong reply length" result_name)

  ksvhid(--simulated list --json --mode 1)
  expect_status(0)
  expect_json(1 mode)
  expect_json(2 count)
  expect_json(KSV-SIM-L001 modules 0 serial)
  expect_json(1 modules 1 ordinal)
  expect_json(null modules 1 serial)
  expect_json(null modules 1 serial_hex)

  # All 63 command bytes travel: 00..3e out, 01..3f back.
  counting_hex(0 63 command)
  plus_one_hex(${command} reply)
  ksvhid(--simulated send KSV-SIM-0001 ${command} --json)
  expect_status(0)
  expect_json(KSV-SIM-0001 serial)
  expect_json(0 mode)
  expect_json(${command} command)
  expect_json(1 exchanges)
  expect_json(1 result)
  expect_json("reply (report ID 1)" result_name)
  expect_json(${reply} reply)
  expect_json(1 results 1)

  # ff wraps to 00; a repeated exchange is counted per result, with ordered round trips.
  counting_hex(255 2 command)
  plus_one_hex(${command} reply)
  ksvhid(--json --simulated send KSV-SIM-0001 ff00 --repeat 5)
  expect_status(0)
  expect_json(${command} command)
  expect_json(${reply} reply)
  expect_json(5 exchanges)
  expect_json(5 results 1)
  string(JSON low ERROR_VARIABLE json_error GET "${out}" round_trip_ms min)
  string(JSON middle ERROR_VARIABLE json_error GET "${out}" round_trip_ms median)
  string(JSON high ERROR_VARIABLE json_error GET "${out}" round_trip_ms max)
  if(NOT (low GREATER_EQUAL 1 AND middle GREATER_EQUAL low AND high GREATER_EQUAL middle))
    fail("${ran}: round trips min ${low}, median ${middle}, max ${high}")
  endif()

  # No reply: null, not stale bytes.
  ksvhid(--simulated send KSV-SIM-0003 01 --json)
  expect_status(1)
  expect_json(-1 result)
  expect_json(null reply)

elseif(CASE STREQUAL "repeat")
  ksvhid(--simulated send KSV-SIM-0002 01 --repeat 10)
  expect_status(0)
  expect_out_contains("exchanges: 10\n  10 x 0 reply (report ID 2)\n")
  expect_out_contains("last result: 0 reply (report ID 2)\nlast reply (63 bytes):\n")
  expect_err_contains("exchanges done: 10 of 10")
  if(NOT out MATCHES "round trip: min ([0-9.]+) ms, median ([0-9.]+) ms, max ([0-9.]+) ms\n")
    fail("${ran}: no round-trip line:\n${out}")
  # This module answers after 2 ms: every round trip includes that.
  elseif(NOT (CMAKE_MATCH_1 GREATER_EQUAL 2 AND CMAKE_MATCH_2 GREATER_EQUAL CMAKE_MATCH_1
              AND CMAKE_MATCH_3 GREATER_EQUAL CMAKE_MATCH_2))
    fail("${ran}: round trips ${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, ${CMAKE_MATCH_3}")
  endif()

elseif(CASE STREQUAL "arguments")
  # Each bad command line: exit 2, one line on stderr, nothing attempted or printed.
  string(REPEAT "ab" 64 too_long)
  set(bad_lines
    "--bogus list" "frobnicate" "list --mode 4" "list --mode x" "list --mode" "list --mode -1"
    "list extra" "list --repeat 2" "version --json" "version --mode 1"
    "send" "send KSV-SIM-0001" "send KSV-SIM-0001 0" "send KSV-SIM-0001 zz" "send KSV-SIM-0001 0x"
    "send KSV-SIM-0001 ${too_long}" "send KSV\\q 01" "send KSV\\x00 01" "send KSV\\x4 01"
    "send KSV-SIM-0001 01 --repeat 0" "send KSV-SIM-0001 01 --repeat 1000001")
  foreach(line IN LISTS bad_lines)
    string(REPLACE " " ";" args "${line}")
    ksvhid(--simulated ${args})
    expect_one_line_error(2)
  endforeach()
  # 63 bytes fit, 64 do not.
  string(REPEAT "ab" 63 longest)
  ksvhid(--simulated send KSV-SIM-0002 ${longest})
  expect_status(0)

  ksvhid()
  expect_status(2)
  expect_err_contains("usage: ksvhid")
  ksvhid(help)
  expect_status(0)
  expect_out_contains("usage: ksvhid")
  expect_out_contains("KSV-SIM-0001    17fe:82cd")
  ksvhid(--help)
  expect_status(0)
  expect_out_contains("usage: ksvhid")

elseif(CASE STREQUAL "unknown_serial")
  # Comparison is exact: another case, a prefix, a module of another mode do not open.
  foreach(args "NOPE" "ksv-sim-0001" "KSV-SIM-000" "KSV-SIM-00011" "KSV-SIM-L001")
    ksvhid(--simulated send ${args} 01)
    expect_one_line_error(1)
    expect_err_contains("cannot open module \"${args}\" in mode 0")
  endforeach()
  ksvhid(--simulated send KSV-SIM-0001 01 --mode 1)
  expect_one_line_error(1)
  expect_err_contains("in mode 1")
  # A module whose serial number cannot be read cannot be opened, not even by an empty one.
  # (A function's arguments lose empty strings, so this call is spelt out.)
  execute_process(COMMAND ${EMULATOR} ${KSVHID} --simulated send "" 01 --mode 1
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 120)
  set(ran "ksvhid --simulated send \"\" 01 --mode 1")
  expect_one_line_error(1)
  expect_err_contains("cannot open module \"\" in mode 1")
  # A serial number beginning with "-" needs "--" to be one.
  ksvhid(--simulated send -- -x 01)
  expect_one_line_error(1)
  expect_err_contains("cannot open module \"-x\"")

elseif(CASE STREQUAL "version")
  ksvhid(version)
  expect_status(0)
  expect_out_contains("KSVHidApi ${VERSION}\nlibrary: ")
  if(NOT out MATCHES "library: [^\n]*KSVHidApi")
    fail("${ran}: no library path:\n${out}")
  endif()
  ksvhid(--simulated version)
  expect_status(0)
  expect_out_contains("KSVHidApi ${VERSION}\nlibrary: built into ksvhid")

elseif(CASE STREQUAL "wine")
  # The Windows build under Wine, where no module is attached; stdout and stderr come together.
  ksvhid(list)
  expect_status(0)
  expect_out_equal("0 modules (mode 0)\n")
  ksvhid(list --json)
  expect_status(0)
  expect_json(0 count)
  ksvhid(send KSV-SIM-0001 01)
  expect_status(1)
  expect_out_contains("ksvhid: cannot open module \"KSV-SIM-0001\"")
  ksvhid(version)
  expect_status(0)
  expect_out_contains("KSVHidApi ${VERSION}\n")
  if(NOT out MATCHES "library: [^\n]*KSVHidApi\\.dll")
    fail("${ran}: no DLL path:\n${out}")
  endif()
  # The simulated modules run the same logic in the Windows build.
  ksvhid(--simulated list)
  expect_status(0)
  expect_out_contains("4 modules (mode 0)\n  0  KSV-SIM-0001\n")
  ksvhid(--simulated send KSV-SIM-0001 01 02 03)
  expect_status(0)
  expect_out_contains("result: 1 reply (report ID 1)\n")
  expect_out_contains("  00   02 03 04 01 01 01 01 01")

else()
  message(FATAL_ERROR "unknown case ${CASE}")
endif()

if(failures)
  message(FATAL_ERROR "case ${CASE} failed:${failures}")
endif()
message(STATUS "case ${CASE}: passed")
