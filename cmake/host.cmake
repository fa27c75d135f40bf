# Native Linux tree: host tools (dlftool, dlfsim, kelvo-cli), their tests,
# the fuzzers and the line benchmark's floor loop. Everything here runs without Wine.
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -Wall -Wextra")
find_package(Threads REQUIRED)

add_library(kelvo_core STATIC ${KELVO_CORE_SOURCES})
target_include_directories(kelvo_core PUBLIC ${CMAKE_SOURCE_DIR})

# GoogleTest from Debian's sources, built natively.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# What the host programs share about a POSIX serial port.
add_library(kelvo_posix STATIC ${CMAKE_SOURCE_DIR}/posix/serial.cpp)
target_include_directories(kelvo_posix PUBLIC ${CMAKE_SOURCE_DIR})

add_subdirectory(cli)
add_subdirectory(sim)
# The least loop serving several targets, compared with kelvo-cli by bench/line.sh.
add_executable(linefloor bench/linefloor.cpp)
target_link_libraries(linefloor PRIVATE kelvo_core kelvo_posix)
set_target_properties(linefloor PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_subdirectory(tests/rig)
add_subdirectory(tests/host)

# The fuzzers need a clang++ whose libFuzzer links; without one they are
# left out.
find_program(KELVO_FUZZ_CXX NAMES clang++ clang++-14)
if(KELVO_FUZZ_CXX)
    set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/fuzz_probe)
    file(WRITE ${probe}.cpp "#include <cstddef>\n#include <cstdint>\nextern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n")
    execute_process(COMMAND ${KELVO_FUZZ_CXX} -fsanitize=fuzzer,address,undefined ${probe}.cpp -o ${probe}
                    RESULT_VARIABLE fuzz_probe_result OUTPUT_QUIET ERROR_QUIET)
    if(fuzz_probe_result EQUAL 0)
        add_subdirectory(tests/fuzz)
    endif()
endif()
