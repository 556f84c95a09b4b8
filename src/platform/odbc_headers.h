// The ODBC headers of the driver manager: unixODBC's on Linux; on Windows
// the system's, which need <windows.h> first.
#ifndef KORVADEX_PLATFORM_ODBC_HEADERS_H_
#define KORVADEX_PLATFORM_ODBC_HEADERS_H_

#ifdef _WIN32
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

#endif  // KORVADEX_PLATFORM_ODBC_HEADERS_H_
