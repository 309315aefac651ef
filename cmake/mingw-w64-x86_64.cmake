# The same Windows code as a 64-bit program (g++-mingw-w64-x86-64, wine64), for
# running the Windows tests where the kernel cannot start 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LARKBOOK_MINGW x86_64-w64-mingw32)
set(LARKBOOK_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
