# Cross-builds the Windows programs and tests on Debian with MinGW-w64 (g++-mingw-w64-x86-64-posix).
# The POSIX thread model is needed: GoogleTest does not build with the win32 one. Everything is
# linked statically, so the programs run without the MinGW runtime DLLs. Where Wine is installed
# it runs the tests (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QDM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QDM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QDM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QDM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QDM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would report the host's libraries; the target has none of those.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${QDM_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(QDM_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
    if(QDM_WINE64)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${QDM_WINE64})
    endif()
endif()
