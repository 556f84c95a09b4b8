// Writes the sorted records into the download file, replacing or appending,
// so that a failure never leaves a half-written file behind where the file
// system allows it, and concurrent runs on one file take turns.
#include "output/download_writer.h"

#include <cstdio>
#include <exception>

#include "output/download_append.h"
#include "output/download_replace.h"
#include "output/download_sink.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"

namespace korvadex {

namespace {

// Writes into the target itself: for devices, pipes and links that point
// nowhere this system can follow. An append to a regular file that fails is
// cut back.
WriteOutcome WriteDirect(const std::string& path, bool replace, RecordList& list, DownloadUndo& undo) {
  UniqueFd fd(OpenFile(path, {FileAccess::Write, replace ? FileCreation::Truncated : FileCreation::Any, !replace,
                              false}));
  if (!fd.isOpen()) return WriteOutcome::NotOpened;
  std::uint64_t length = 0;
  DownloadUndo::Change block;
  if (!replace && RegularFileSize(fd.get(), length)) block = undo.CutBackTo(fd.get(), length);
  WriteOutcome outcome = WriteRecords(fd.get(), list, true, undo);
  if (outcome == WriteOutcome::Written && !SyncFile(fd.get())) outcome = WriteOutcome::NotWritten;
  if (outcome != WriteOutcome::Written) return outcome;
  block.Keep();
  return fd.Close() ? WriteOutcome::Written : WriteOutcome::NotWritten;
}

WriteOutcome WriteTarget(const std::string& path, bool replace, RecordList& list, DownloadUndo& undo) {
  // No name is no file, whichever the flag (a replace would make a temporary file for it).
  if (path.empty()) return WriteOutcome::NotOpened;
  const PathKind kind = InspectPath(path);
  if (kind.isFolder) return WriteOutcome::NotOpened;
  // Devices and pipes are written as they are: there is nothing a rename
  // could keep safe.
  if (kind.exists && !kind.isRegular) return WriteDirect(path, replace, list, undo);
  std::string target = path;
  // A link that points nowhere yet (an export folder linked into the run's)
  // is followed to the name it would create, which is then written like
  // any missing target: created by this run, and removed again by its undo.
  if (kind.hasEntry && !kind.exists && !ResolveLinksToMissingFile(path, target)) {
    return WriteDirect(path, replace, list, undo);
  }
  if (kind.exists && kind.isLink && !ResolveLinks(path, target)) return WriteDirect(path, replace, list, undo);
  RemoveStrayTempFiles(target);
  return replace ? ReplaceFile(target, list, undo) : AppendToFile(target, list, undo);
}

}  // namespace

WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list, DownloadUndo& undo) {
  try {
    // Records were lost when a run could not be spilled; the target stays as it was.
    if (!PrepareSortedEmission(list)) return WriteOutcome::NotWritten;
    return WriteTarget(path, replace, list, undo);
  } catch (const std::exception&) {
    // Out of memory (or threads) while the records were merged and written:
    // on the way out an append was cut back and a temporary file dropped.
    return WriteOutcome::NotWritten;
  }
}

WriteOutcome WriteDownloadFile(const std::string& path, bool replace, RecordList& list) {
  DownloadUndo undo;
  return WriteDownloadFile(path, replace, list, undo);
}

int WriteFile(std::unique_ptr<RecordList>& records, const std::string& targetFileName,
              int replaceFlag, int debugMode, DownloadUndo& undo, const std::function<void()>& beforeMessage) {
  if (debugMode) std::printf("Str WriteFile\n");
  // Whether the records went through the disk tells an operator whether the
  // memory budget (KORVADEX_MEMORY) held the export.
  if (debugMode && records && records->spillRunCount() > 0) {
    std::printf("Ausgelagert: %llu Laeufe, %llu Bytes, Speicher %llu Bytes\n",
                static_cast<unsigned long long>(records->spillRunCount()),
                static_cast<unsigned long long>(records->progress().spilledBytes.load()),
                static_cast<unsigned long long>(records->budget()));
  }
  if (records && (records->count() > 0 || records->hasSpillFailed())) {
    const int stream = StandardStreamOf(targetFileName);
    const WriteOutcome outcome =
        stream != 0 ? WriteOutcome::NotOpened : WriteDownloadFile(targetFileName, replaceFlag == 1, *records, undo);
    if (outcome != WriteOutcome::Written && beforeMessage) beforeMessage();
    if (debugMode && stream != 0) {
      std::printf("Zieldatei ist die Datei der %s\n", stream == 1 ? "Standardausgabe" : "Standardfehlerausgabe");
    }
    switch (outcome) {
      case WriteOutcome::Written:
        break;
      case WriteOutcome::NotOpened:
        std::printf("Ausgabedatei konnte nicht geoeffnet \n");
        return -1;
      case WriteOutcome::NotWritten:
        std::printf("Ausgabedatei konnte nicht geschrieben \n");
        return -1;
      case WriteOutcome::Interrupted:
        // The driver reports the stop and ends the run.
        return -1;
    }
  }
  if (debugMode) std::printf("End WriteFile\n");
  return 0;
}

}  // namespace korvadex
