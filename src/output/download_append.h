// Appends the records to the download file in place, under the file's lock,
// and cuts the file back to its old length when the append fails.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_APPEND_H_
#define KORVADEX_OUTPUT_DOWNLOAD_APPEND_H_

#include <cstdint>
#include <string>

#include "output/download_writer.h"
#include "output/record_list.h"

namespace korvadex {

// Cuts a file that is being appended to back to the length it had under the
// lock unless the append is committed: on every way out, an exception
// unwinding through the writer included. A file the run created is removed
// again, so a failed run leaves the target as it was. The lock must be held.
class AppendGuard {
 public:
  AppendGuard(int fd, std::uint64_t length, const std::string* createdPath)
      : fd_(fd), length_(length), createdPath_(createdPath) {}
  ~AppendGuard();
  AppendGuard(const AppendGuard&) = delete;
  AppendGuard& operator=(const AppendGuard&) = delete;

  void Commit() { isCommitted_ = true; }

 private:
  int fd_;
  std::uint64_t length_;
  const std::string* createdPath_;
  bool isCommitted_ = false;
};

// Appends the records in place: only the new block is written, so the cost
// grows with the block, not with the file. Runs on one file take turns
// through the file's lock; a failure cuts the file back to its old length.
WriteOutcome AppendToFile(const std::string& target, RecordList& list);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_APPEND_H_
