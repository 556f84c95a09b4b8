// Case-insensitive lookup of paths on Linux, for names that job scripts
// written on Windows give with another letter case than the files have.
#include "platform/case_path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace korvadex {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualFoldingAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The byte-wise smallest name picks one variant whatever order readdir
// returns them in, so the same file wins on every run.
std::optional<std::string> FindCaseVariant(const std::string& folder, std::string_view name) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
  // An unreadable folder is no error here: the caller keeps the path as
  // written, and opening it then reports the failure.
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view candidate(entry->d_name);
    if (EqualFoldingAscii(candidate, name) && (!best || candidate < *best)) {
      best = std::string(candidate);
    }
  }
  return best;
}

std::vector<std::string_view> SplitAtSlashes(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      parts.push_back(path.substr(start));
      return parts;
    }
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

}  // namespace

std::string ToNativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

std::string ResolvePathCase(const std::string& path) {
  if (path.empty() || Exists(path)) return path;
  // Splitting keeps empty parts, so joining them with "/" gives back the
  // leading slash of an absolute path, doubled slashes and a trailing slash.
  const std::vector<std::string_view> parts = SplitAtSlashes(path);
  std::string resolved;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) resolved += '/';
    const std::string_view part = parts[i];
    if (part.empty() || part == "." || part == ".." || Exists(resolved + std::string(part))) {
      resolved += part;
      continue;
    }
    // `resolved` now names the folder that holds `part`, with its slash.
    const std::optional<std::string> variant = FindCaseVariant(resolved, part);
    if (!variant) {
      for (std::size_t rest = i; rest < parts.size(); ++rest) {
        if (rest > i) resolved += '/';
        resolved += parts[rest];
      }
      return resolved;
    }
    resolved += *variant;
  }
  return resolved;
}

}  // namespace korvadex
