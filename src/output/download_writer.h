// Writes the sorted records into the download file, replacing or appending,
// so that a failure never leaves a half-written file behind where the file
// system allows it, and concurrent runs on one file take turns.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_WRITER_H_
#define KORVADEX_OUTPUT_DOWNLOAD_WRITER_H_

#include <functional>
#include <memory>
#include <string>

#include "output/download_undo.h"
#include "output/record_list.h"

namespace korvadex {

enum class WriteOutcome {
  Written,      // every record is in the file and on disk
  NotOpened,    // the file could not be opened for writing; it is as it was
  NotWritten,   // writing failed; the file is as it was (where that could be kept)
  Interrupted,  // a stop signal came first; the file is as it was (where that could be kept)
};

// Writes all records of `list` (sorted first) back to back into `path`: the
// whole file replaced when `replace` is set, appended to it otherwise. Runs
// on the same file take turns (an exclusive lock on it); other programs that
// write the file meanwhile are not held back. Prints nothing.
//
// A replace writes a new file and renames it over the old one, which keeps
// its owner, group, mode and extended attributes (ACLs). Where that cannot be
// done — the runner may not give a new file the old owner, the file has
// further hard links, the folder takes no new file — the ready content is
// written into the file itself; a failure or kill during that write leaves a
// mix of old and new content. An append writes only the new block at the
// end of the file and cuts it back to its old length on failure; a SIGKILL
// or power loss during the append can leave part of the block. Written
// means the data (and a new name) was synced to disk. Every change is
// registered in `undo` while it lasts, so another way out of the run can
// take it back too (DownloadUndo::UndoAll).
//
// A stop signal (StopSignal()) seen while waiting for the lock or between
// write chunks gives Interrupted; an in-place replace is finished first.
WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list, DownloadUndo& undo);

// The same with an undo of its own, for a writer outside a run.
WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list);

// The run's write step: the debug trace lines, the message on failure, and
// 0 when written or nothing to write, -1 otherwise. Prints nothing for
// Interrupted (the driver reports the stop); returns -1. A target that is
// the file of standard output or error is refused before anything is
// written: the messages would land between or over the records.
// `beforeMessage` runs before a failure is printed (it clears the progress line).
int WriteFile(std::unique_ptr<RecordList>& records, const std::string& targetFileName,
              int replaceFlag, int debugMode, DownloadUndo& undo, const std::function<void()>& beforeMessage = {});

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_WRITER_H_
