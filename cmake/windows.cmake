# Windows tree (MinGW-w64): Kelvo.exe, the Windows build of dlftool, and the
# in-process tests that run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -Wall -Wextra -Werror=cast-function-type")
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0600 WINVER=0x0600)
# One self-contained executable: no MinGW runtime DLLs beside it.
set(KELVO_STATIC_LINK -static -static-libgcc -static-libstdc++)

set(KELVO_CORE_SOURCES
    app/ttyinfo.cpp app/wndproc.cpp app/about.cpp
    terminal/screen.cpp terminal/display.cpp
    serial/connect.cpp serial/commio.cpp serial/portcheck.cpp
    download/popfile.cpp download/commwatch.cpp
    settings/settings.cpp)
add_library(kelvo_core STATIC ${KELVO_CORE_SOURCES} ${KELVO_PORTABLE_SOURCES})
target_include_directories(kelvo_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kelvo_core PUBLIC comdlg32 gdi32 user32 kernel32)

set(KELVO_RC ${CMAKE_SOURCE_DIR}/res/kelvo.rc)
add_executable(Kelvo WIN32 app/main.cpp ${KELVO_RC})
target_link_libraries(Kelvo PRIVATE kelvo_core ${KELVO_STATIC_LINK})

add_executable(dlftool tools/dlftool.cpp ${KELVO_PORTABLE_SOURCES})
target_include_directories(dlftool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(dlftool PRIVATE ${KELVO_STATIC_LINK})

# The helper that works a running Kelvo like a user (demo, end-to-end tests).
add_executable(kelvo-drive tools/kelvo-drive.cpp)
target_link_libraries(kelvo-drive PRIVATE ${KELVO_STATIC_LINK})

# The reference loop the benchmarks compare Kelvo's watch thread with.
add_executable(refloop bench/refloop.cpp ${KELVO_PORTABLE_SOURCES})
target_include_directories(refloop PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(refloop PRIVATE ${KELVO_STATIC_LINK})

if(KELVO_TESTS)
    # The tests link the same core built with the check that only the watch
    # thread uses the session's port (serial/portcheck.h).
    add_library(kelvo_core_checked STATIC ${KELVO_CORE_SOURCES} ${KELVO_PORTABLE_SOURCES})
    target_include_directories(kelvo_core_checked PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_definitions(kelvo_core_checked PUBLIC KELVO_PORT_CHECK)
    target_link_libraries(kelvo_core_checked PUBLIC comdlg32 gdi32 user32 kernel32)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_subdirectory(tests/win)
endif()
