# The web files are compiled into the executable: nothing is read from disk at run time.
# Each file becomes one byte array in generated/web_assets.cpp, named by its path below web/.
set(FONT_DIR ${CMAKE_SOURCE_DIR}/node_modules/@fontsource-variable)
set(WEB_FONT_ARCHIVO ${FONT_DIR}/archivo/files/archivo-latin-wdth-normal.woff2)
set(WEB_FONT_PLEX ${FONT_DIR}/ibm-plex-sans/files/ibm-plex-sans-latin-wght-normal.woff2)
foreach(f ${WEB_FONT_ARCHIVO} ${WEB_FONT_PLEX})
    if(NOT EXISTS ${f})
        message(FATAL_ERROR "Falta ${f}: corre scripts/install-deps.sh (instala las fuentes desde npm)")
    endif()
endforeach()

file(GLOB_RECURSE WEB_FILES CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/web ${CMAKE_SOURCE_DIR}/web/*)
set(WEB_ASSET_ARGS "")
set(WEB_ASSET_DEPS "")
foreach(rel ${WEB_FILES})
    list(APPEND WEB_ASSET_ARGS "${rel}=${CMAKE_SOURCE_DIR}/web/${rel}")
    list(APPEND WEB_ASSET_DEPS ${CMAKE_SOURCE_DIR}/web/${rel})
endforeach()
list(APPEND WEB_ASSET_ARGS "font/archivo.woff2=${WEB_FONT_ARCHIVO}" "font/plex.woff2=${WEB_FONT_PLEX}")
list(APPEND WEB_ASSET_DEPS ${WEB_FONT_ARCHIVO} ${WEB_FONT_PLEX})
string(REPLACE ";" "|" WEB_ASSET_LIST "${WEB_ASSET_ARGS}")

set(WEB_ASSETS_CPP ${CMAKE_BINARY_DIR}/generated/web_assets.cpp)
add_custom_command(
    OUTPUT ${WEB_ASSETS_CPP}
    COMMAND ${CMAKE_COMMAND} "-DASSETS=${WEB_ASSET_LIST}" -DOUT=${WEB_ASSETS_CPP}
            -P ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
    DEPENDS ${WEB_ASSET_DEPS} ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
    COMMENT "Incrustando los archivos web"
    VERBATIM)
target_sources(kelvora_core PRIVATE ${WEB_ASSETS_CPP})

# The fonts' licences travel with the build output.
file(COPY ${FONT_DIR}/archivo/LICENSE DESTINATION ${CMAKE_BINARY_DIR}/licencias/archivo)
file(COPY ${FONT_DIR}/ibm-plex-sans/LICENSE DESTINATION ${CMAKE_BINARY_DIR}/licencias/ibm-plex-sans)

# The manuals and the release notes, built in the same way from manual/texts/.
file(GLOB MANUAL_TEXT_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/manual/texts/*.md)
set(MANUAL_TEXT_ARGS "")
foreach(f ${MANUAL_TEXT_FILES})
    get_filename_component(name ${f} NAME)
    list(APPEND MANUAL_TEXT_ARGS "${name}=${f}")
endforeach()
string(REPLACE ";" "|" MANUAL_TEXT_LIST "${MANUAL_TEXT_ARGS}")
set(MANUAL_TEXTS_CPP ${CMAKE_BINARY_DIR}/generated/manual_texts.cpp)
add_custom_command(
    OUTPUT ${MANUAL_TEXTS_CPP}
    COMMAND ${CMAKE_COMMAND} "-DASSETS=${MANUAL_TEXT_LIST}" -DOUT=${MANUAL_TEXTS_CPP}
            -DHEADER=manual/texts.hpp -DNAMESPACE=kelvora::manual -DTYPE=Text
            -DFUNCTION=built_in_texts -P ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
    DEPENDS ${MANUAL_TEXT_FILES} ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
    COMMENT "Incrustando el manual y las novedades"
    VERBATIM)
target_sources(kelvora_core PRIVATE ${MANUAL_TEXTS_CPP})
