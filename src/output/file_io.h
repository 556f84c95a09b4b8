// Small POSIX file helpers shared by the record spill and the download writer.
#ifndef KORVADEX_OUTPUT_FILE_IO_H_
#define KORVADEX_OUTPUT_FILE_IO_H_

#include <cstddef>

namespace korvadex {

// Writes all `size` bytes, resuming after short writes and interruptions;
// false on the first real error (errno tells which).
bool WriteAll(int fd, const char* data, std::size_t size);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_FILE_IO_H_
