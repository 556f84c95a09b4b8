// Finds files whatever the letter case of their names, as files copied from
// Windows are named by job scripts written there.
#ifndef KORVADEX_PLATFORM_CASE_PATH_H_
#define KORVADEX_PLATFORM_CASE_PATH_H_

#include <string>

namespace korvadex {

// Writes a path with this system's separators: backslashes become slashes
// on Linux, slashes become backslashes on Windows.
std::string ToNativePath(const std::string& path);

// Returns `path` when it exists; otherwise resolves each component that does
// not exist as written to the entry of its folder whose name differs only in
// ASCII letter case (the byte-wise smallest of several). Components that cannot
// be resolved are kept as written, so opening the result then fails as usual.
// On Windows, whose file systems ignore letter case, `path` as it is.
std::string ResolvePathCase(const std::string& path);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_CASE_PATH_H_
