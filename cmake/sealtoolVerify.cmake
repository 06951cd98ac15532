# The last step of a sealing rule: checks the freshly sealed image, then
# moves it into place.
#   cmake -DIMAGE=<sealed image> -DOUTPUT=<its final name> [-DRECORD=<record>]
#         [-DALLOW_UNVERIFIED=ON] -P sealtoolVerify.cmake -- [<sealinfo command>]
# With a command, sealinfo must pass the image (exit 0; with
# ALLOW_UNVERIFIED also 3, "could not verify everything", for a key check
# without the key files). A refused image is removed with its record, so
# that a build never leaves an unverified image behind. The record names
# the image by its final name.
set(command)
set(started OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(started)
    string(REPLACE ";" "\\;" word "${CMAKE_ARGV${i}}")
    list(APPEND command "${word}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(started ON)
  endif()
endforeach()

if(command)
  execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT (status EQUAL 0 OR (ALLOW_UNVERIFIED AND status EQUAL 3)))
    file(REMOVE "${IMAGE}")
    if(RECORD)
      file(REMOVE "${RECORD}")
    endif()
    message(FATAL_ERROR "sealinfo refused ${OUTPUT} (exit ${status}); nothing is left at its name:\n${out}${err}")
  endif()
endif()

if(RECORD)
  file(READ "${RECORD}" record)
  string(JSON recorded GET "${record}" images 0 output path)
  string(REGEX REPLACE "\\.unverified$" "" final "${recorded}")
  string(JSON record SET "${record}" images 0 output path "\"${final}\"")
  file(WRITE "${RECORD}.part" "${record}\n")
  file(RENAME "${RECORD}.part" "${RECORD}")
endif()
file(RENAME "${IMAGE}" "${OUTPUT}")
