# Linux/X11 backend of the platform layer.
find_package(X11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
# zlib beside libzip: an update's program is inflated while the package downloads.
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip zlib)
pkg_check_modules(MD4C REQUIRED IMPORTED_TARGET md4c-html)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
# An update package's SHA-256, with the processor's SHA instructions.
pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET libcrypto)
target_link_libraries(kelvora_core PUBLIC PkgConfig::LIBCRYPTO)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
file(GLOB KELVORA_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/*.cpp platform/linux/*.cpp)
list(REMOVE_ITEM KELVORA_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/platform/linux/main.cpp)
add_library(kelvora_platform STATIC ${KELVORA_PLATFORM_SOURCES})
target_include_directories(kelvora_platform PUBLIC ${CMAKE_SOURCE_DIR} ${X11_INCLUDE_DIR})
target_link_libraries(kelvora_platform PUBLIC X11::X11 X11::Xtst X11::Xrandr PkgConfig::SODIUM PkgConfig::SYSTEMD PkgConfig::CURL PkgConfig::PULSE Threads::Threads)
target_compile_options(kelvora_platform PRIVATE -Wall -Wextra)
target_link_libraries(kelvora_core PUBLIC kelvora_platform)

add_executable(kelvora platform/linux/main.cpp)
target_link_libraries(kelvora PRIVATE kelvora_core kelvora_platform)
