// Plain file I/O built on the system's primitives alike on Linux and Windows.
#include "platform/file_io.h"

namespace korvadex {

bool ReadExactly(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const std::int64_t got = ReadSome(fd, bytes, size);
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace korvadex
