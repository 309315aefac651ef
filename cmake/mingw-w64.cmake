# Cross build for Windows with Debian's mingw-w64, included by the toolchain file of
# each architecture after it has set LARKBOOK_MINGW and LARKBOOK_WINE_LOADER.
# Programs built here run on this machine under Wine, which CTest uses to run the tests.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${LARKBOOK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LARKBOOK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${LARKBOOK_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LARKBOOK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beside the program: the C++ runtime and winpthread go into the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# Wine reads non-ASCII command lines right only under a UTF-8 locale. Quiet Wine:
# no debug chatter on the programs' standard error, and no offer to install Mono or
# Gecko when a new Wine prefix is made.
if(EXISTS ${LARKBOOK_WINE_LOADER})
  set(CMAKE_CROSSCOMPILING_EMULATOR env LANG=C.UTF-8 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
                                    WINELOADER=${LARKBOOK_WINE_LOADER} ${LARKBOOK_WINE_LOADER})
endif()
