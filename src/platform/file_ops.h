// File primitives the download writer builds on — locks, durability, a new
// file's names and a replaced file's identity — each saying what it guarantees.
#ifndef KORVADEX_PLATFORM_FILE_OPS_H_
#define KORVADEX_PLATFORM_FILE_OPS_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/file_io.h"

namespace korvadex {

enum class LockResult {
  Locked,       // this descriptor holds the exclusive lock until it is closed
  Busy,         // Windows: another run holds it; close the file, open it again and retry
  Stopped,      // `shouldStop` said so while waiting; no lock is held
  Unsupported,  // the file system keeps no locks (e.g. NFS without a lock manager)
  Failed,       // another error; errno tells which
};

// Takes the exclusive lock on the whole file behind `fd`, asking
// `shouldStop` (if set) every few milliseconds. On Linux it waits, and
// locks are advisory: only programs that ask for them wait for each other.
// On Windows the lock (LockFileEx) also keeps other programs from reading
// and writing the file while it is held, and the call waits only a moment
// before it gives Busy: a waiting run must not keep the file open, because
// Windows replaces no file that is open.
LockResult LockFileExclusive(int fd, const std::function<bool()>& shouldStop);

// True when `path` names the file that `fd` has open (same device and inode,
// or volume and file index), false when it names another file or nothing.
bool IsSameFile(int fd, const std::string& path);

// The standard stream (1 output, 2 error) that has the file `path` names
// open, or 0: for a file or pipe that would keep the records and the run's
// messages mixed. A terminal or null device shared with them counts as none.
int StandardStreamOf(const std::string& path);

// Makes the data and size of the file behind `fd` durable. True as well for
// things that cannot be synced (pipes, terminals): they keep nothing to lose.
bool SyncFile(int fd);

// Asks the system to start writing the file's dirty data to disk now,
// without waiting for it, so that a later SyncFile finds little left to do.
// A hint only: nothing to do where the system has no such call (Windows).
void StartWriteback(int fd);

// Makes the names in `folder` durable: a rename or new link in it survives a
// power loss once this returns true. True as well where the file system or
// the folder's permissions do not allow it (nothing more can be done there;
// on Windows the file system logs its name changes itself).
bool SyncFolder(const std::string& folder);

// As SyncFolder, but false with errno set when the folder cannot be opened
// at all (Linux), for callers that report it.
bool SyncFolderOrFail(const std::string& folder);

// Gives the new file `fd` the permissions of a file created with 0666 (0666
// less the umask); on Windows, where a new file takes its folder's access
// rules, takes away the hidden attribute it was created with. Failures are
// ignored: the file keeps mode 0600 (stays hidden).
void GiveNewFileMode(int fd);

// Opens a new, empty file in `folder` that has no name yet, for reading and
// writing, mode 0600: a process that dies leaves nothing behind. -1 where the
// file system has no such files (Windows) or this process could not name it later.
int OpenUnnamedFile(const std::string& folder);

enum class LinkResult {
  Linked,       // the file now has the name
  NameTaken,    // something already has that name; nothing changed
  NameTooLong,  // the name is longer than the file system allows
  Unsupported,  // the file cannot get a name this way here (no /proc, no hard links)
  Failed,       // another error; errno tells which
};

// Gives the file `fd` the name `path`, never replacing what has that name
// already. `name` is the file's present, temporary name, empty for an
// unnamed file from OpenUnnamedFile; once Linked the file no longer has it.
LinkResult PublishNewFile(int fd, const std::string& name, const std::string& path);

// Renames the closed file `from` over `to` in one step: anyone opening `to`
// finds the old file or the new one, never none. On Windows it retries for
// a few seconds while another program holds `to` open. False with errno set.
bool ReplaceFileAtomically(const std::string& from, const std::string& to);

enum class ReplaceResult {
  Replaced,   // `target` names the new file, which is closed
  NotClosed,  // `target` names the new file, but closing it reported an error
  Refused,    // the folder refuses the rename (EPERM, EACCES); nothing changed, both files still open
  Failed,     // another error; `target` names the old file; errno tells which
};

// Makes the complete new file `newFile`, named `newName` in the target's
// folder, take the place of `target` in one step, keeping the old file
// `oldFile` locked until then where the system allows it. On Linux the old
// file stays open, and with it the lock, until the caller closes it. Windows
// renames over no open file: both are closed first (the lock goes with
// `oldFile`), and the rename is retried for a few seconds while another
// program holds the target open; a run that took the lock meanwhile has
// finished before the rename succeeds.
ReplaceResult ReplaceWithNewFile(UniqueFd& newFile, const std::string& newName, UniqueFd& oldFile,
                                 const std::string& target);

// True where an open file can be renamed over (Linux); false where no file
// that any program holds open can be replaced (Windows).
bool CanReplaceOpenFiles();

// True when a new file could take the place of the file behind `fd` without
// changing it for anyone: it has no further names (hard links) and, on
// Linux, this process may give a new file that owner (it is the owner, or
// root). CopyFileIdentity has the final word.
bool IsReplaceableKeepingIdentity(int fd);

// Gives the file `toFd` what decides who may do what with `fromFd`: on Linux
// the owner, group, extended attributes (ACLs included) and mode bits, in an
// order that keeps set-id bits and file capabilities; on Windows the
// attributes (hidden, system) and the access rules (the DACL) where they
// differ from those the new file has. False when any of them could not be
// given — the caller then cannot replace the one file by the other without
// changing who may do what with it.
bool CopyFileIdentity(int fromFd, int toFd);

// Copies the whole content of `fromFd`, from its start, to `toFd` at its
// current offset. False with errno set on a read or write error.
bool CopyFileContent(int fromFd, int toFd);

// The names in `folder` ("." and ".." left out); false when it cannot be read.
bool ListFolder(const std::string& folder, std::vector<std::string>& names);

// This process's id.
long CurrentProcessId();

// True only when no process `pid` exists any longer: a process that exists
// but may not be looked at counts as running.
bool HasProcessEnded(long pid);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_FILE_OPS_H_
