// What every way of writing the download file shares: the records written
// in large chunks to an open file, stop checks and the retry limits.
#ifndef KORVADEX_OUTPUT_DOWNLOAD_SINK_H_
#define KORVADEX_OUTPUT_DOWNLOAD_SINK_H_

#include "output/download_undo.h"
#include "output/download_writer.h"
#include "output/record_list.h"

namespace korvadex {

// How often a run starts over because another run replaced or removed the
// file while this one waited for its lock; only a pathological churn of
// replacing runs gets near it.
constexpr int kMaxAttempts = 1000;

// True once a stop signal has come.
bool IsStopRequested();

// How long a run waits, with the file closed, before it asks again for a
// lock that another run holds (Windows only; see LockFileExclusive).
void PauseWhileBusy();

// Writes every record, sorted, at the descriptor's offset (or end, with
// O_APPEND) in large chunks, each under `undo`'s write lock. A stoppable
// write gives up before its next chunk once a stop signal has come
// (Interrupted); any write gives up once the run is undone.
WriteOutcome WriteRecords(int fd, RecordList& list, bool isStoppable, DownloadUndo& undo);

}  // namespace korvadex

#endif  // KORVADEX_OUTPUT_DOWNLOAD_SINK_H_
