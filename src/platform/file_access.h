// Who may read and write a file: mode bits and owners on Linux; on Windows
// the access rules (ACL) that a file takes from its folder.
#ifndef KORVADEX_PLATFORM_FILE_ACCESS_H_
#define KORVADEX_PLATFORM_FILE_ACCESS_H_

#include <optional>
#include <string>
#include <string_view>

namespace korvadex {

// The permission bits of the file behind `fd` (mode & 07777); nothing where
// the system keeps none (Windows, where the ACL decides).
std::optional<unsigned> FileModeBits(int fd);

// Leaves the new file `fd` readable and writable by its owner only where the
// system has mode bits (0600); on Windows it keeps the access rules its
// folder hands down. False with errno set.
bool RestrictToOwner(int fd);

// How RestrictToOwner leaves a file, for messages: "mode 0600" on Linux.
std::string_view OwnerOnlyDescription();

// Opens `path` for writing and closes it again, following no link and never
// waiting (a FIFO), to learn whether this process may write it; false with
// errno set.
bool MayWriteFile(const std::string& path);

// Gives the new file `fd` the owner and group of the file at `oldPath` when
// this process does not own that file (only root may); true when nothing was
// needed, and on Windows, where the new file's owner is whoever runs this.
// False with errno set.
bool GiveOwnerOf(const std::string& oldPath, int fd);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_FILE_ACCESS_H_
