# sealtool_seal_image(<name>
#   INPUT <file> OUTPUT <file> CHIP <id> SECURE_BOOT <n>
#   [RSA_KEY <ref>] [RSA_PUB <ref>] [AES_KEY <ref>] [SEAL_KEY <ref>]
#   [EXPECT_KEY <key id or public key file>] [KEYRING <file>]
#   [VERIFY] [RECORD <file>] [ALL] [DEPENDS <files or targets>...])
#
# A custom target <name> that builds OUTPUT from INPUT with sealtool, by a
# real output rule: it seals again exactly when the input, a key file, the
# tool or an argument changes, and not otherwise. A key reference is a file
# (relative paths start at the current source folder), a pkcs11: URI or a
# helper:PROGRAM[?key=NAME] (PROGRAM from the current source folder, and
# depended on), passed as one word whatever its ';', as are paths. A URI holding
# pin-value, or a key reference holding a generator expression, is refused:
# the PIN would land in the build files and in the log of a failed build;
# give pin-source=file:... or SEALTOOL_PIN in the build's environment.
#
# The build log shows one line an image (its mode, chip and SHA-256), and
# on a failure sealtool's messages without the AES key it echoes.
#
# VERIFY checks the sealed image with sealinfo (the recorded mode and chip,
# the input, the key files, EXPECT_KEY or RSA_PUB as the expected key) in
# the same rule; EXPECT_KEY alone checks the image's RSA key. The image is
# moved to OUTPUT only once the check passed. RECORD writes sealtool's
# release record beside it.
#
# KEYRING (relative to the current source folder) is sealtool's --keyring:
# every key must be in it and not revoked; with VERIFY sealinfo names the
# image's keys by it too. The image is sealed again when the keyring
# changes, so that a key revoked since the last build fails it.
include_guard(GLOBAL)

set(_SEALTOOL_VERIFY_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/sealtoolVerify.cmake")

# The mode sealtool chooses for chip and secure_boot.
function(_sealtool_mode chip secure out)
  if(secure EQUAL 0)
    set(mode plain)
  elseif(chip EQUAL 742)
    if(secure EQUAL 2)
      set(mode rsa)
    else()
      set(mode aes-seal)
    endif()
  elseif(secure EQUAL 3)
    set(mode key-record)
  else()
    set(mode aes-seal)
  endif()
  set(${out} ${mode} PARENT_SCOPE)
endfunction()

# A value as one command or dependency word, whatever ';' it holds.
function(_sealtool_word value out)
  string(REPLACE ";" "$<SEMICOLON>" word "${value}")
  set(${out} "${word}" PARENT_SCOPE)
endfunction()

# A file as a dependency: DEPENDS splits at every ';', even one that a
# generator expression gives, so a path with ';' is depended on through a
# link of its own in the binary folder (a build follows it to the file).
function(_sealtool_depend name path out)
  if(NOT path MATCHES ";")
    set(${out} "${path}" PARENT_SCOPE)
    return()
  endif()
  string(MD5 hash "${path}")
  set(link "${CMAKE_CURRENT_BINARY_DIR}/sealtool-${name}-${hash}.dependency")
  file(CREATE_LINK "${path}" "${link}" SYMBOLIC)
  set(${out} "${link}" PARENT_SCOPE)
endfunction()

# A key reference as one command word (a URI's ';' kept) and, for a file,
# its absolute path as a dependency.
function(_sealtool_key_word name field ref word_out depend_out)
  if(ref MATCHES "\\$<")
    # Evaluated only at build time, it could carry what the checks below refuse.
    message(FATAL_ERROR "sealtool_seal_image(${name}): ${field} holds a generator expression: give the "
                        "key reference itself, so that it can be checked when the project is configured.")
  endif()
  if(ref MATCHES "pin-value")
    message(FATAL_ERROR "sealtool_seal_image(${name}): ${field} holds a pin-value: the PIN would be "
                        "written into the build files and shown in the log of a failed build. Put "
                        "pin-source=file:PATH in the URI, or set SEALTOOL_PIN in the build's environment.")
  endif()
  if(ref MATCHES "^pkcs11:")
    _sealtool_word("${ref}" word)
    set(${word_out} "${word}" PARENT_SCOPE)
    set(${depend_out} "" PARENT_SCOPE)
  elseif(ref MATCHES "^helper:([^?]*)(.*)$")
    # The helper program is named from the current source folder, and the
    # image is sealed again when it changes.
    set(query "${CMAKE_MATCH_2}")
    get_filename_component(program "${CMAKE_MATCH_1}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    _sealtool_word("helper:${program}${query}" word)
    _sealtool_depend(${name} "${program}" depend)
    set(${word_out} "${word}" PARENT_SCOPE)
    set(${depend_out} "${depend}" PARENT_SCOPE)
  else()
    get_filename_component(path "${ref}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    _sealtool_word("${path}" word)
    _sealtool_depend(${name} "${path}" depend)
    set(${word_out} "${word}" PARENT_SCOPE)
    set(${depend_out} "${depend}" PARENT_SCOPE)
  endif()
endfunction()

function(sealtool_seal_image name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;ALL"
    "INPUT;OUTPUT;CHIP;SECURE_BOOT;RSA_KEY;RSA_PUB;AES_KEY;SEAL_KEY;EXPECT_KEY;RECORD;KEYRING" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "sealtool_seal_image(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required INPUT OUTPUT CHIP SECURE_BOOT)
    if(NOT DEFINED arg_${required} OR arg_${required} STREQUAL "")
      message(FATAL_ERROR "sealtool_seal_image(${name}): ${required} is needed")
    endif()
  endforeach()
  foreach(number CHIP SECURE_BOOT)
    if(NOT arg_${number} MATCHES "^-?[0-9]+$")
      message(FATAL_ERROR "sealtool_seal_image(${name}): ${number} is a decimal number, not '${arg_${number}}'")
    endif()
  endforeach()
  foreach(written OUTPUT RECORD)
    if(arg_${written} MATCHES ";")
      message(FATAL_ERROR "sealtool_seal_image(${name}): ${written} holds a ';': a build rule cannot name "
                          "such a file as its output")
    endif()
  endforeach()
  _sealtool_mode(${arg_CHIP} ${arg_SECURE_BOOT} mode)
  get_filename_component(input "${arg_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  _sealtool_depend(${name} "${input}" input_dependency)
  _sealtool_word("${input}" input)
  set(unverified "${output}.unverified")

  set(options)
  set(depends "${input_dependency}" "$<TARGET_FILE:sealtool::sealtool>")
  set(check_keys)
  foreach(field RSA_KEY RSA_PUB AES_KEY SEAL_KEY)
    if(NOT DEFINED arg_${field})
      continue()
    endif()
    _sealtool_key_word(${name} ${field} "${arg_${field}}" word depend)
    string(TOLOWER "${field}" option)
    string(REPLACE "_" "-" option "--${option}")
    list(APPEND options ${option} "${word}")
    list(APPEND depends ${depend})
    # sealinfo reads the AES keys of files in the forms sealtool does.
    if(depend AND field MATCHES "^(AES_KEY|SEAL_KEY)$")
      list(APPEND check_keys ${option} "${word}")
    endif()
  endforeach()

  set(expect)
  if(DEFINED arg_EXPECT_KEY)
    if(arg_EXPECT_KEY MATCHES "^[0-9a-fA-F]+$" AND NOT EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${arg_EXPECT_KEY}")
      set(expect --expect-key "${arg_EXPECT_KEY}")
    else()
      get_filename_component(key "${arg_EXPECT_KEY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      _sealtool_depend(${name} "${key}" key_dependency)
      _sealtool_word("${key}" key)
      set(expect --expect-key "${key}")
      list(APPEND depends "${key_dependency}")
    endif()
  elseif(arg_VERIFY AND DEFINED arg_RSA_PUB AND NOT arg_RSA_PUB MATCHES "^(pkcs11|helper):")
    get_filename_component(key "${arg_RSA_PUB}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    _sealtool_word("${key}" key)
    set(expect --expect-key "${key}")
  endif()

  set(keyring)
  if(DEFINED arg_KEYRING)
    get_filename_component(keyring_path "${arg_KEYRING}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    _sealtool_depend(${name} "${keyring_path}" keyring_dependency)
    _sealtool_word("${keyring_path}" keyring_word)
    set(keyring --keyring "${keyring_word}")
    list(APPEND depends "${keyring_dependency}")
  endif()

  set(record_words)
  set(record_define)
  # The unverified image is not a byproduct: it is gone after every build
  # that succeeds, and a missing byproduct would make Ninja seal again.
  set(byproducts)
  if(DEFINED arg_RECORD)
    get_filename_component(record "${arg_RECORD}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    _sealtool_word("${record}" record)
    set(record_words --record "${record}")
    set(record_define "-DRECORD=${record}")
    list(APPEND byproducts "${record}")
  endif()

  set(check)
  set(allow_unverified ON)
  if(arg_VERIFY)
    set(allow_unverified OFF)
  endif()
  if(arg_VERIFY OR expect)
    set(check "$<TARGET_FILE:sealtool::sealinfo>" --mode ${mode} --chip ${arg_CHIP}
              --input "${input}" ${check_keys} ${expect} ${keyring} "${unverified}")
  endif()

  # The arguments' stamp: rewritten only when they change, so that a
  # changed argument seals again and an unchanged one does not.
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/sealtool-${name}.arguments")
  string(REPLACE ";" "\n" stamp_text "${mode};${arg_CHIP};${arg_SECURE_BOOT};${input};${output};${options};${expect};${record_words};${keyring};${arg_VERIFY}")
  file(CONFIGURE OUTPUT "${stamp}" CONTENT "${stamp_text}\n" @ONLY)
  list(APPEND depends "${stamp}" ${arg_DEPENDS})

  if(byproducts)
    set(byproducts BYPRODUCTS ${byproducts})
  endif()
  # sealtool runs inside the script, which shows one line an image: a
  # single run's console echoes its AES key, and a build log is no place
  # for it.
  add_custom_command(OUTPUT "${output}"
    ${byproducts}
    COMMAND "${CMAKE_COMMAND}" -E rm -f "${output}" "${unverified}"
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${unverified}" "-DOUTPUT=${output}" ${record_define}
            "-DMODE=${mode}" "-DCHIP=${arg_CHIP}"
            "-DALLOW_UNVERIFIED=${allow_unverified}" -P "${_SEALTOOL_VERIFY_SCRIPT}"
            --seal "$<TARGET_FILE:sealtool::sealtool>" ${record_words} ${keyring} ${options} "${input}" "${unverified}"
            ${arg_CHIP} ${arg_SECURE_BOOT}
            --check ${check}
    DEPENDS ${depends}
    COMMENT "Sealing ${arg_OUTPUT} (${mode} mode, chip ${arg_CHIP})"
    VERBATIM)
  set(all)
  if(arg_ALL)
    set(all ALL)
  endif()
  add_custom_target(${name} ${all} DEPENDS "${output}")
endfunction()
