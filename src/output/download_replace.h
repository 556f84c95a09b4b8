// Replaces the download file by a complete new one that takes its name in
// one step and keeps its identity, or writes the ready content into it.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_REPLACE_H_
#define KORVADEX_OUTPUT_DOWNLOAD_REPLACE_H_

#include <string>

#include "output/download_undo.h"
#include "output/download_writer.h"
#include "output/record_list.h"

namespace korvadex {

// Removes what killed runs left of their temporary files for `target` (and
// of the short names any target in the folder may use): a kill between
// naming the file and renaming it (a few microseconds) leaves the whole file
// under its hidden name. Files of a process that still exists are left alone.
void RemoveStrayTempFiles(const std::string& target);

// Replaces the target by a complete new file that takes its name in one
// step, keeping the old file's identity; where that cannot be done, writes
// the ready content into the target itself. Runs on one file take turns
// through the old file's lock, held until the new file has its name. A
// temporary file's name and a target the run creates are registered in
// `undo` while they exist; content written into the target itself cannot be.
WriteOutcome ReplaceFile(const std::string& target, RecordList& list, DownloadUndo& undo);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_REPLACE_H_
