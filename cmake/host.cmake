# Native Linux tree: host tools (dlftool, dlfsim, kelvo-cli), their tests and
# the fuzzers. Everything here runs without Wine.
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -Wall -Wextra")
find_package(Threads REQUIRED)

add_library(kelvo_portable STATIC ${KELVO_PORTABLE_SOURCES})
target_include_directories(kelvo_portable PUBLIC ${CMAKE_SOURCE_DIR})

# GoogleTest from Debian's sources, built natively.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_subdirectory(tools)
add_subdirectory(tests/host)
add_subdirectory(tests/peer)
