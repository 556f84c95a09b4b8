// File primitives the download writer builds on — locks, durability, a new
// file's names and a replaced file's identity — each saying what it guarantees.
#ifndef KORVADEX_PLATFORM_FILE_OPS_H_
#define KORVADEX_PLATFORM_FILE_OPS_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace korvadex {

enum class LockResult {
  Locked,       // this descriptor holds the exclusive lock until it is closed
  Stopped,      // `shouldStop` said so while waiting; no lock is held
  Unsupported,  // the file system keeps no locks (e.g. NFS without a lock manager)
  Failed,       // another error; errno tells which
};

// Waits for the exclusive lock on the whole file behind `fd`, asking
// `shouldStop` (if set) every few milliseconds. Locks are advisory: only
// programs that ask for them wait for each other.
LockResult LockFileExclusive(int fd, const std::function<bool()>& shouldStop);

// True when `path` names the file that `fd` has open (same device and inode),
// false when it names another file or nothing.
bool IsSameFile(int fd, const std::string& path);

// Makes the data and size of the file behind `fd` durable. True as well for
// things that cannot be synced (pipes, terminals): they keep nothing to lose.
bool SyncFile(int fd);

// Makes the names in `folder` durable: a rename or new link in it survives a
// power loss once this returns true. True as well where the file system or
// the folder's permissions do not allow it (nothing more can be done there).
bool SyncFolder(const std::string& folder);

// Mode bits a new file gets from open(2) with 0666: 0666 less the umask.
mode_t NewFileMode();

// Opens a new, empty file in `folder` that has no name yet, for reading and
// writing, mode 0600: a process that dies leaves nothing behind. -1 where the
// file system has no such files or this process could not name it later.
int OpenUnnamedFile(const std::string& folder);

enum class LinkResult {
  Linked,       // the file now has the name as well
  NameTaken,    // something already has that name; nothing changed
  NameTooLong,  // the name is longer than the file system allows
  Unsupported,  // the file cannot get a name this way here (no /proc, no hard links)
  Failed,       // another error; errno tells which
};

// Gives the file `fd` the further name `path`, never replacing what has that
// name already. `name` is the file's present name, empty for an unnamed file
// from OpenUnnamedFile; a present name stays and is the caller's to remove.
LinkResult PublishNewFile(int fd, const std::string& name, const std::string& path);

// Renames `from` over `to` in one step: anyone opening `to` finds the old
// file or the new one, never none. False with errno set on failure.
bool ReplaceFileAtomically(const std::string& from, const std::string& to);

// True when a new file could take the place of the file behind `fd` without
// changing it for anyone: it has no further names (hard links) and this
// process may give a new file that owner (it is the owner, or root).
// CopyFileIdentity has the final word.
bool IsReplaceableKeepingIdentity(int fd);

// Gives the file `toFd` the owner, group, extended attributes (ACLs
// included) and mode bits of `fromFd`, in an order that keeps set-id bits
// and file capabilities. False when any of them could not be given — the
// caller then cannot replace the one file by the other without changing who
// may do what with it.
bool CopyFileIdentity(int fromFd, int toFd);

// Copies the whole content of `fromFd`, from its start, to `toFd` at its
// current offset. False with errno set on a read or write error.
bool CopyFileContent(int fromFd, int toFd);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_FILE_OPS_H_
