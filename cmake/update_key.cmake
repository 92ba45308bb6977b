# The Ed25519 public key the programs trust for their updates.
#
# A Release build takes the publisher's key, -DKELVORA_UPDATE_KEY=<64 hex> as
# `kelvora-publish keygen` prints it, and refuses to start without one. Every other build
# (make build, make test: RelWithDebInfo) carries the test key, whose private half is in
# tests/lib/update_server.mjs: anyone can sign for it, which is what tests need and what a
# release must never ship. The key lives in one small unit made from cmake/update_key.cpp.in,
# so a new key rebuilds that unit and the links, nothing else.
#
# Also run as a script, `cmake -DKEY_FILE=<file> -DOUT=<unit> -P update_key.cmake`, to make
# the unit of a key chosen after configuring (the publishing test's programs).

set(KELVORA_TEST_UPDATE_KEY cb5cca1a2a455eb908d628036332b5f248bdd55164c30c233394eaceff74918b)

# Writes the key unit of key (64 hexadecimal characters, either case) to out.
function(kelvora_write_update_key key out)
    string(STRIP "${key}" key)
    string(TOLOWER "${key}" key)
    string(LENGTH "${key}" length)
    if(NOT length EQUAL 64 OR NOT key MATCHES "^[0-9a-f]+$")
        message(FATAL_ERROR "La llave de actualizaciones debe tener 64 caracteres "
                            "hexadecimales (la imprime «kelvora-publish keygen»), no «${key}».")
    endif()
    set(KELVORA_KEY_HEX ${key})
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/update_key.cpp.in ${out} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    file(STRINGS "${KEY_FILE}" key LIMIT_COUNT 1)
    kelvora_write_update_key("${key}" "${OUT}")
    return()
endif()

set(KELVORA_UPDATE_KEY "" CACHE STRING
    "Llave pública Ed25519 de las actualizaciones (64 hex), la que imprime kelvora-publish keygen")
string(TOLOWER "${KELVORA_UPDATE_KEY}" kelvora_key)
string(STRIP "${kelvora_key}" kelvora_key)
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
    if(kelvora_key STREQUAL "")
        message(FATAL_ERROR "Una compilación ${CMAKE_BUILD_TYPE} necesita la llave pública de "
            "las actualizaciones: -DKELVORA_UPDATE_KEY=<64 caracteres hexadecimales>. "
            "La imprime «kelvora-publish keygen»; «make release» la pasa sola (ver el README).")
    endif()
    if(kelvora_key STREQUAL KELVORA_TEST_UPDATE_KEY)
        message(FATAL_ERROR "KELVORA_UPDATE_KEY es la llave de prueba, cuya mitad privada está "
            "en el repositorio: una versión publicada necesita la llave del publicador.")
    endif()
elseif(kelvora_key STREQUAL "")
    set(kelvora_key ${KELVORA_TEST_UPDATE_KEY})
endif()
kelvora_write_update_key("${kelvora_key}" ${CMAKE_BINARY_DIR}/generated/update_key.cpp)
add_library(kelvora_update_key STATIC ${CMAKE_BINARY_DIR}/generated/update_key.cpp)
target_include_directories(kelvora_update_key PRIVATE ${CMAKE_SOURCE_DIR})

# An object library of the key in <dir>/update_key.hex (first line), remade whenever that
# file changes; it exists only for targets that ask for it. A program that links it gets
# that key: its object file comes before the archives, so the default key's archive
# member is never pulled in.
function(kelvora_later_update_key name dir)
    add_custom_command(
        OUTPUT ${dir}/update_key.cpp
        COMMAND ${CMAKE_COMMAND} -DKEY_FILE=${dir}/update_key.hex -DOUT=${dir}/update_key.cpp
                -P ${CMAKE_SOURCE_DIR}/cmake/update_key.cmake
        DEPENDS ${dir}/update_key.hex ${CMAKE_SOURCE_DIR}/cmake/update_key.cmake
                ${CMAKE_SOURCE_DIR}/cmake/update_key.cpp.in
        COMMENT "Escribiendo la llave de ${name}"
        VERBATIM)
    add_library(${name} OBJECT EXCLUDE_FROM_ALL ${dir}/update_key.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
endfunction()
