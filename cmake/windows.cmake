# Windows tree (MinGW-w64): Kelvo.exe, the Windows build of dlftool, and the
# in-process tests that run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -Wall -Wextra -Werror=cast-function-type")
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0600 WINVER=0x0600)
# One self-contained executable: no MinGW runtime DLLs beside it.
set(KELVO_STATIC_LINK -static -static-libgcc -static-libstdc++)

set(KELVO_STATION_SOURCES
    station/app/ttyinfo.cpp station/app/wndproc.cpp station/app/about.cpp
    station/terminal/screen.cpp station/terminal/display.cpp
    station/serial/connect.cpp station/serial/commio.cpp station/serial/portcheck.cpp
    station/download/popfile.cpp station/download/commwatch.cpp
    station/settings/settings.cpp)
add_library(kelvo_station STATIC ${KELVO_STATION_SOURCES} ${KELVO_CORE_SOURCES})
target_include_directories(kelvo_station PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/station)
target_link_libraries(kelvo_station PUBLIC comdlg32 gdi32 user32 kernel32)

set(KELVO_RC ${CMAKE_SOURCE_DIR}/station/res/kelvo.rc)
add_executable(Kelvo WIN32 station/app/main.cpp ${KELVO_RC})
target_link_libraries(Kelvo PRIVATE kelvo_station ${KELVO_STATIC_LINK})

add_executable(dlftool cli/dlftool.cpp ${KELVO_CORE_SOURCES})
target_include_directories(dlftool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(dlftool PRIVATE ${KELVO_STATIC_LINK})

# kelvo-cli.exe: the engine every kelvo-cli shares, on the Windows port layer.
set(KELVO_CLI_WIN_SOURCES cli/options.cpp cli/engine.cpp cli/output.cpp cli/win/kelvo-cli.cpp cli/win/adapter.cpp
    ${KELVO_CORE_SOURCES})
add_executable(kelvo-cli ${KELVO_CLI_WIN_SOURCES})
target_include_directories(kelvo-cli PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(kelvo-cli PRIVATE advapi32 ${KELVO_STATIC_LINK})

# The helper that works a running Kelvo like a user (demo, end-to-end tests).
add_executable(kelvo-drive tests/drive/kelvo-drive.cpp)
target_link_libraries(kelvo-drive PRIVATE ${KELVO_STATIC_LINK})

# The reference loop the benchmarks compare Kelvo's watch thread with.
add_executable(refloop bench/refloop.cpp ${KELVO_CORE_SOURCES})
target_include_directories(refloop PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(refloop PRIVATE ${KELVO_STATIC_LINK})

if(KELVO_TESTS)
    # The tests link the same core built with the check that only the watch
    # thread uses the session's port (station/serial/portcheck.h).
    add_library(kelvo_station_checked STATIC ${KELVO_STATION_SOURCES} ${KELVO_CORE_SOURCES})
    target_include_directories(kelvo_station_checked PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/station)
    target_compile_definitions(kelvo_station_checked PUBLIC KELVO_PORT_CHECK)
    target_link_libraries(kelvo_station_checked PUBLIC comdlg32 gdi32 user32 kernel32)
    # kelvo-cli.exe as the tests run it: with the checks of what Windows
    # refuses and Wine lets pass (a port used by a thread that does not own
    # it, COM10 and up opened by their plain name).
    add_executable(kelvo-cli-checked ${KELVO_CLI_WIN_SOURCES})
    target_include_directories(kelvo-cli-checked PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_definitions(kelvo-cli-checked PRIVATE KELVO_PORT_CHECK)
    target_link_libraries(kelvo-cli-checked PRIVATE advapi32 ${KELVO_STATIC_LINK})
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_subdirectory(tests/win)
endif()
