// Appends the records to the download file in place, under the file's lock,
// and cuts the file back to its old length when the append fails.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_APPEND_H_
#define KORVADEX_OUTPUT_DOWNLOAD_APPEND_H_

#include <string>

#include "output/download_undo.h"
#include "output/download_writer.h"
#include "output/record_list.h"

namespace korvadex {

// Appends the records in place: only the new block is written, so the cost
// grows with the block, not with the file. Runs on one file take turns
// through the file's lock. The old length (and a file the run created) is
// registered in `undo` before the first byte: a failure cuts the file back
// and removes a created one, as does an undo from another way out.
WriteOutcome AppendToFile(const std::string& target, RecordList& list, DownloadUndo& undo);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_APPEND_H_
