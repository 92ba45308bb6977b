# Windows backend of the platform layer, and Kelvora.exe with its manifest, icon and
# version resources.
enable_language(RC)

# Boost and nlohmann/json are header-only and shared with the Linux build, but /usr/include
# itself must stay off the MinGW include path: its glibc headers would shadow MinGW's.
# A directory holding links to just those two trees takes its place.
set(KELVORA_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
foreach(tree boost nlohmann)
    if(NOT EXISTS /usr/include/${tree})
        message(FATAL_ERROR "Falta /usr/include/${tree}: corre scripts/install-deps.sh")
    endif()
    file(MAKE_DIRECTORY ${KELVORA_HOST_HEADERS})
    file(CREATE_LINK /usr/include/${tree} ${KELVORA_HOST_HEADERS}/${tree} SYMBOLIC)
endforeach()
target_include_directories(kelvora_core SYSTEM PUBLIC ${KELVORA_HOST_HEADERS})

# libsodium, libzip (over MinGW's zlib) and md4c with md4c-html, built once from Debian's
# source packages into a cached prefix; the script prints where. The targets are named as
# the Linux build's pkg-config ones, so shared lines link the same names on both.
execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/cross-deps.sh
    OUTPUT_VARIABLE KELVORA_MINGW_DEPS OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE cross_deps_result)
if(NOT cross_deps_result EQUAL 0 OR NOT EXISTS ${KELVORA_MINGW_DEPS}/.ready)
    message(FATAL_ERROR "No se pudieron compilar las bibliotecas para Windows (scripts/cross-deps.sh)")
endif()
function(kelvora_mingw_library name)
    add_library(PkgConfig::${name} INTERFACE IMPORTED GLOBAL)
    target_include_directories(PkgConfig::${name} SYSTEM INTERFACE ${KELVORA_MINGW_DEPS}/include)
    target_link_libraries(PkgConfig::${name} INTERFACE ${ARGN})
endfunction()
kelvora_mingw_library(SODIUM ${KELVORA_MINGW_DEPS}/lib/libsodium.a advapi32)
target_compile_definitions(PkgConfig::SODIUM INTERFACE SODIUM_STATIC)
kelvora_mingw_library(LIBZIP ${KELVORA_MINGW_DEPS}/lib/libzip.a /usr/${MINGW_TRIPLET}/lib/libz.a
    bcrypt advapi32)
target_compile_definitions(PkgConfig::LIBZIP INTERFACE ZIP_STATIC)
kelvora_mingw_library(MD4C ${KELVORA_MINGW_DEPS}/lib/libmd4c-html.a
    ${KELVORA_MINGW_DEPS}/lib/libmd4c.a)

# Every .cpp in platform/windows is a backend of one concern; main.cpp is the entry point.
file(GLOB KELVORA_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/*.cpp
    ${CMAKE_SOURCE_DIR}/platform/windows/*.cpp)
list(REMOVE_ITEM KELVORA_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/platform/windows/main.cpp)
add_library(kelvora_platform STATIC ${KELVORA_PLATFORM_SOURCES})
target_include_directories(kelvora_platform PUBLIC ${CMAKE_SOURCE_DIR})
# Windows 10 is the oldest target; Asio picks its IOCP back end from this. UNICODE makes
# every unsuffixed Win32 name the wide one, so a narrow call can't slip in unnoticed.
# Public, so the portable code that reaches Winsock through Asio is built the same way.
target_compile_definitions(kelvora_platform PUBLIC
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(kelvora_platform PUBLIC
    ws2_32 mswsock bcrypt advapi32 shell32 user32 gdi32 crypt32 ole32 oleaut32 uuid taskschd
    winmm wininet iphlpapi Threads::Threads)
target_compile_options(kelvora_platform PRIVATE -Wall -Wextra)
target_link_libraries(kelvora_core PUBLIC kelvora_platform)

# The icon group: one SVG logo drawn at each size as a PNG, bundled with every entry kept
# as PNG (-r), so the shell and the tray get crisp pictures at every DPI.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
find_program(ICOTOOL icotool REQUIRED)
set(KELVORA_ICON_SIZES 16 20 24 32 40 48 64 128 256)
set(KELVORA_ICON_DIR ${CMAKE_BINARY_DIR}/icon)
set(KELVORA_ICON ${KELVORA_ICON_DIR}/kelvora.ico)
set(KELVORA_LOGO ${CMAKE_SOURCE_DIR}/web/img/kelvora.svg)
set(icon_pngs "")
set(icon_commands "")
foreach(size ${KELVORA_ICON_SIZES})
    set(png ${KELVORA_ICON_DIR}/kelvora-${size}.png)
    list(APPEND icon_pngs ${png})
    list(APPEND icon_commands COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -f png
                                      -o ${png} ${KELVORA_LOGO})
endforeach()
set(icon_raw_args "")
foreach(png ${icon_pngs})
    list(APPEND icon_raw_args -r ${png})
endforeach()
add_custom_command(
    OUTPUT ${KELVORA_ICON}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KELVORA_ICON_DIR}
    ${icon_commands}
    COMMAND ${ICOTOOL} -c -o ${KELVORA_ICON} ${icon_raw_args}
    DEPENDS ${KELVORA_LOGO}
    COMMENT "Dibujando el icono de Kelvora"
    VERBATIM)

set(KELVORA_RES_DIR ${CMAKE_SOURCE_DIR}/platform/windows/resources)
set(KELVORA_RC ${CMAKE_BINARY_DIR}/kelvora.rc)
configure_file(${KELVORA_RES_DIR}/kelvora.rc.in ${KELVORA_RC} @ONLY)
set_source_files_properties(${KELVORA_RC} PROPERTIES
    OBJECT_DEPENDS "${KELVORA_ICON};${KELVORA_RES_DIR}/kelvora.manifest")

add_executable(Kelvora WIN32 ${CMAKE_SOURCE_DIR}/platform/windows/main.cpp ${KELVORA_RC})
target_link_libraries(Kelvora PRIVATE kelvora_core kelvora_platform)
# -municode: the entry point is wWinMain. Static runtime: the .exe runs with no DLLs beside it.
target_link_options(Kelvora PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_compile_options(Kelvora PRIVATE -Wall -Wextra)

# A stand-in browser for the Wine tests (tests/win): it records its command line and shows
# one window with a Chromium window class.
add_executable(fake_browser WIN32 ${CMAKE_SOURCE_DIR}/tests/win/fake_browser/fake_browser.cpp)
target_compile_definitions(fake_browser PRIVATE UNICODE _UNICODE)
target_include_directories(fake_browser SYSTEM PRIVATE ${KELVORA_HOST_HEADERS})
target_link_options(fake_browser PRIVATE -municode -static -static-libgcc -static-libstdc++)

# Runs the platform backend's process, file, random and environment calls inside Wine and
# prints what they did, for tests/win/platform.test.mjs.
add_executable(platform_probe ${CMAKE_SOURCE_DIR}/tests/win/platform_probe/platform_probe.cpp)
target_link_libraries(platform_probe PRIVATE kelvora_platform)
target_include_directories(platform_probe SYSTEM PRIVATE ${KELVORA_HOST_HEADERS})
target_link_options(platform_probe PRIVATE -municode -static -static-libgcc -static-libstdc++)

# The update tests' starting point: Kelvora.exe as an older version that trusts the test key.
add_executable(Kelvora-anterior WIN32 ${CMAKE_SOURCE_DIR}/tests/win/prior/main.cpp)
target_link_libraries(Kelvora-anterior PRIVATE kelvora_core kelvora_platform)
target_link_options(Kelvora-anterior PRIVATE -municode -static -static-libgcc -static-libstdc++)
include(${CMAKE_SOURCE_DIR}/cmake/publish_test.cmake)
