// Paths on Windows, whose file systems ignore letter case: nothing to resolve.
#include "platform/case_path.h"

namespace korvadex {

std::string ToNativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '/') c = '\\';
  }
  return native;
}

std::string ResolvePathCase(const std::string& path) { return path; }

}  // namespace korvadex
