# The 32-bit Windows program, larkbook's home platform (g++-mingw-w64-i686, wine32).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LARKBOOK_MINGW i686-w64-mingw32)
set(LARKBOOK_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
