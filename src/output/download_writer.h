// Writes the sorted records into the download file, replacing or appending,
// so that a failure never leaves a half-written file behind.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_WRITER_H_
#define KORVADEX_OUTPUT_DOWNLOAD_WRITER_H_

#include <memory>
#include <string>

#include "output/record_list.h"

namespace korvadex {

enum class WriteOutcome {
  Written,     // every record is in the file
  NotOpened,   // the file could not be opened for writing; it is as it was
  NotWritten,  // writing failed; the file is as it was (where that could be kept)
};

// Writes all records of `list` (sorted first) back to back into `path`: the
// whole file replaced when `replace` is set, appended to it otherwise. Prints nothing.
WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list);

// The run's write step: the debug trace lines, the message on failure, and
// 0 when written or nothing to write, -1 otherwise.
int WriteFile(std::unique_ptr<RecordList>& records, const std::string& targetFileName,
              int replaceFlag, int debugMode);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_WRITER_H_
