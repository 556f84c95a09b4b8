// Path names as the two systems read them: Linux separates folders with '/'
// only; Windows with '\' or '/', after an optional drive ("C:") or share.
#ifndef KORVADEX_PLATFORM_PATHS_H_
#define KORVADEX_PLATFORM_PATHS_H_

#include <string>
#include <string_view>

namespace korvadex {

enum class PathStyle { Posix, Windows };

// The rules of the system this build runs on.
#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

// The folder that holds `path`'s last component: "." for a bare name, the
// root for a name in the root ("/" or "C:\"); on Windows also the drive
// alone for "C:x.dat" (that drive's current folder), "sub" for "sub\a.dat".
std::string FolderOf(std::string_view path, PathStyle style = kNativePathStyle);

// The last component of `path`: what follows its folder.
std::string FileNameOf(std::string_view path, PathStyle style = kNativePathStyle);

// `name` inside `folder`, as FolderOf gives it back: a separator goes in
// unless the folder already ends in one, or in a drive ("C:" + "x" is "C:x").
std::string JoinPath(std::string_view folder, std::string_view name, PathStyle style = kNativePathStyle);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_PATHS_H_
