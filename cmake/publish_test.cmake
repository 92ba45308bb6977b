# Programs that trust a publisher key made while the tests run: tests/api/publish.test.mjs
# makes a key with kelvora-publish keygen, writes its public half to
# <build>/publicar/update_key.hex and builds these targets, so that the release it makes
# is checked against programs built with that key, not copies of the test build. Only the
# key unit is compiled and the programs linked; none of them is part of a normal build.
kelvora_later_update_key(kelvora_publish_test_key ${CMAKE_BINARY_DIR}/publicar)
if(WIN32)
    add_executable(Kelvora-publicable WIN32 EXCLUDE_FROM_ALL
                   ${CMAKE_SOURCE_DIR}/platform/windows/main.cpp)
    target_link_libraries(Kelvora-publicable PRIVATE kelvora_publish_test_key kelvora_core
                          kelvora_platform)
    target_link_options(Kelvora-publicable PRIVATE -municode -static -static-libgcc
                        -static-libstdc++)
else()
    add_executable(kelvora-publicable EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/platform/linux/main.cpp)
    target_link_libraries(kelvora-publicable PRIVATE kelvora_publish_test_key kelvora_core
                          kelvora_platform)
    # The older version the release must update, trusting the same key.
    add_executable(kelvora-anterior-publicable EXCLUDE_FROM_ALL
                   ${CMAKE_SOURCE_DIR}/tests/api/prior/main.cpp)
    target_link_libraries(kelvora-anterior-publicable PRIVATE kelvora_publish_test_key
                          kelvora_core kelvora_platform)
endif()
