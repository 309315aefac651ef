# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# Programs built here run on this machine under Wine, which CTest uses to run the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(LARKBOOK_MINGW i686-w64-mingw32)
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

# Quiet Wine: no debug chatter on the programs' standard error, and no offer to
# install Mono or Gecko when a new Wine prefix is made.
find_program(LARKBOOK_WINE wine)
if(LARKBOOK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=" ${LARKBOOK_WINE})
endif()
