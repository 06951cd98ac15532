# One sealing rule's work: seals the image under a temporary name, checks
# it, then moves it into place.
#   cmake -DIMAGE=<sealed image> -DOUTPUT=<its final name> -DMODE=<mode> -DCHIP=<id>
#         [-DRECORD=<record>] [-DALLOW_UNVERIFIED=ON] -P sealtoolVerify.cmake
#         --seal <sealtool command> --check [<sealinfo command>]
# sealtool's console is kept back: the build log gets one line an image, and
# on a failure sealtool's messages with the AES key it echoes left out.
# With a check command, sealinfo must pass the image (exit 0; with
# ALLOW_UNVERIFIED also 3, "could not verify everything", for a key check
# without the key files). A refused image is removed with its record, so
# that a build never leaves an unverified image behind. The record names
# the image by its final name.
cmake_policy(VERSION 3.20)
set(seal)
set(check)
set(into "")
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(CMAKE_ARGV${i} STREQUAL "--seal" AND into STREQUAL "")
    set(into seal)
  elseif(CMAKE_ARGV${i} STREQUAL "--check" AND into STREQUAL "seal")
    set(into check)
  elseif(NOT into STREQUAL "")
    string(REPLACE ";" "\\;" word "${CMAKE_ARGV${i}}")
    list(APPEND ${into} "${word}")
  endif()
endforeach()

function(_sealtool_refuse text)
  file(REMOVE "${IMAGE}")
  if(RECORD)
    file(REMOVE "${RECORD}")
  endif()
  message(FATAL_ERROR "${text}")
endfunction()

execute_process(COMMAND ${seal} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  string(REGEX REPLACE "AES-Key:\r?\n[^\n]*" "AES-Key: (not shown)" out "${out}")
  _sealtool_refuse("sealtool failed for ${OUTPUT} (exit ${status}); nothing is left at its name:\n${out}${err}")
endif()

if(check)
  execute_process(COMMAND ${check} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT (status EQUAL 0 OR (ALLOW_UNVERIFIED AND status EQUAL 3)))
    _sealtool_refuse("sealinfo refused ${OUTPUT} (exit ${status}); nothing is left at its name:\n${out}${err}")
  endif()
endif()

# A text as a JSON string's contents.
function(_sealtool_json_escape text out)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The recorded name or path of the image, without its temporary ending; a
# text that is not UTF-8 is recorded in hex.
function(_sealtool_final_name record field out)
  string(JSON type TYPE "${record}" images 0 ${field})
  if(type STREQUAL "OBJECT")
    string(JSON hex GET "${record}" images 0 ${field} hex)
    string(REGEX REPLACE "2e756e7665726966696564$" "" hex "${hex}")
    set(${out} "{\"hex\": \"${hex}\"}" PARENT_SCOPE)
  else()
    string(JSON text GET "${record}" images 0 ${field})
    string(REGEX REPLACE "\\.unverified$" "" text "${text}")
    _sealtool_json_escape("${text}" text)
    set(${out} "\"${text}\"" PARENT_SCOPE)
  endif()
endfunction()

if(RECORD)
  file(READ "${RECORD}" record)
  _sealtool_final_name("${record}" "output;path" path)
  _sealtool_final_name("${record}" "name" name)
  string(JSON record SET "${record}" images 0 output path "${path}")
  string(JSON record SET "${record}" images 0 name "${name}")
  file(WRITE "${RECORD}.part" "${record}\n")
  file(RENAME "${RECORD}.part" "${RECORD}")
endif()
file(RENAME "${IMAGE}" "${OUTPUT}")
file(SHA256 "${OUTPUT}" sha256)
get_filename_component(shown "${OUTPUT}" NAME)
message("${shown}: ${MODE}, chip ${CHIP}, sha256 ${sha256}")
