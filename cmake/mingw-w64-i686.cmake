# Cross-build for 32-bit Windows (x86) with mingw-w64 on Debian: for the
# 32-bit ODBC drivers and data sources that a 64-bit program cannot see.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORVADEX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
