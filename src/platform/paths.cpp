// Path names as the two systems read them: Linux separates folders with '/'
// only; Windows with '\' or '/', after an optional drive ("C:") or share.
#include "platform/paths.h"

namespace korvadex {

namespace {

bool IsSeparator(char c, PathStyle style) { return c == '/' || (style == PathStyle::Windows && c == '\\'); }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Length of the part of a Windows path that names a drive or share and is
// never split: "C:", "\\server\share", "\\?\C:" and the like.
std::size_t WindowsPrefixLength(std::string_view path) {
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == ':') return 2;
  if (path.size() < 2 || !IsSeparator(path[0], PathStyle::Windows) || !IsSeparator(path[1], PathStyle::Windows)) {
    return 0;
  }
  // \\server\share, \\?\C: and \\.\device: two components after the double separator.
  std::size_t end = 2;
  for (int component = 0; component < 2; ++component) {
    while (end < path.size() && !IsSeparator(path[end], PathStyle::Windows)) ++end;
    if (component == 0 && end < path.size()) ++end;
  }
  return end;
}

// Position of the separator before the last component, or npos.
std::size_t LastSeparator(std::string_view path, std::size_t prefix, PathStyle style) {
  for (std::size_t i = path.size(); i > prefix; --i) {
    if (IsSeparator(path[i - 1], style)) return i - 1;
  }
  return std::string_view::npos;
}

// A Windows folder takes a separator before a name unless it is empty, ends
// in one, or is a bare drive: "C:x" is x in that drive's current folder.
bool NeedsWindowsSeparator(std::string_view folder) {
  if (folder.empty() || IsSeparator(folder.back(), PathStyle::Windows)) return false;
  return !(folder.size() == 2 && folder[1] == ':' && IsAsciiLetter(folder[0]));
}

}  // namespace

std::string FolderOf(std::string_view path, PathStyle style) {
  const std::size_t prefix = style == PathStyle::Windows ? WindowsPrefixLength(path) : 0;
  const std::size_t separator = LastSeparator(path, prefix, style);
  if (separator == std::string_view::npos) return prefix > 0 ? std::string(path.substr(0, prefix)) : ".";
  // The root keeps its separator: "/x" is in "/", "C:\x" in "C:\".
  if (separator == prefix) return std::string(path.substr(0, prefix + 1));
  return std::string(path.substr(0, separator));
}

std::string FileNameOf(std::string_view path, PathStyle style) {
  const std::size_t prefix = style == PathStyle::Windows ? WindowsPrefixLength(path) : 0;
  const std::size_t separator = LastSeparator(path, prefix, style);
  return std::string(path.substr(separator == std::string_view::npos ? prefix : separator + 1));
}

std::string JoinPath(std::string_view folder, std::string_view name, PathStyle style) {
  std::string path(folder);
  if (style == PathStyle::Posix) {
    // "/" + "x" gives "//x", which names the same file; the writer's names
    // have always been built this way.
    path += '/';
  } else if (NeedsWindowsSeparator(folder)) {
    path += '\\';
  }
  path += name;
  return path;
}

}  // namespace korvadex
