# Linux/X11 backend of the platform layer.
find_package(X11 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
file(GLOB KELVORA_PLATFORM_SOURCES CONFIGURE_DEPENDS platform/*.cpp platform/linux/*.cpp)
list(REMOVE_ITEM KELVORA_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/platform/linux/main.cpp)
add_library(kelvora_platform STATIC ${KELVORA_PLATFORM_SOURCES})
target_include_directories(kelvora_platform PUBLIC ${CMAKE_SOURCE_DIR} ${X11_INCLUDE_DIR})
target_link_libraries(kelvora_platform PUBLIC X11::X11 X11::Xtst X11::Xrandr PkgConfig::SODIUM PkgConfig::SYSTEMD Threads::Threads)
target_compile_options(kelvora_platform PRIVATE -Wall -Wextra)
target_link_libraries(kelvora_core PUBLIC kelvora_platform)
# Markdown of the manual and the release notes.
pkg_check_modules(MD4C REQUIRED IMPORTED_TARGET md4c-html)
target_link_libraries(kelvora_core PUBLIC PkgConfig::MD4C)

add_executable(kelvora platform/linux/main.cpp)
target_link_libraries(kelvora PRIVATE kelvora_core kelvora_platform)
