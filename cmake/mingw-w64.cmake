# The cross-build for Windows with mingw-w64 on Debian, shared by the 64-bit
# and 32-bit toolchain files, which set KORVADEX_MINGW_TRIPLE and the
# processor first: the posix-thread compilers (std::thread needs them), ODBC
# from mingw's own headers and odbc32 import library, and a static C++
# runtime, so the executables need nothing beyond what Windows ships
# (KERNEL32, msvcrt, ODBC32, ADVAPI32).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KORVADEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVADEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVADEX_MINGW_TRIPLE}-windres)

# Headers and libraries come from the mingw tree only; programs from the host.
set(KORVADEX_MINGW_ROOT /usr/${KORVADEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${KORVADEX_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindODBC would otherwise take the host's unixODBC headers.
set(ODBC_INCLUDE_DIR ${KORVADEX_MINGW_ROOT}/include CACHE PATH "mingw-w64 ODBC headers")
set(ODBC_LIBRARY ${KORVADEX_MINGW_ROOT}/lib/libodbc32.a CACHE FILEPATH "mingw-w64 odbc32 import library")

# libgcc, libstdc++ and winpthread linked in rather than shipped as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# CMake ends the link line in dynamic mode after the odbc32 library, which
# would bring back the DLLs of libstdc++ and winpthread that g++ adds last.
set(CMAKE_LINK_SEARCH_END_STATIC ON)
