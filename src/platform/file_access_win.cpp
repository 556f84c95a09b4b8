// Who may read and write a file on Windows: the access rules (ACL) a new
// file takes from its folder; there are no mode bits to judge or set.
#include "platform/file_access.h"

#include "platform/file_io.h"

namespace korvadex {

std::optional<unsigned> FileModeBits(int /*fd*/) { return std::nullopt; }

bool RestrictToOwner(int /*fd*/) { return true; }

std::string_view OwnerOnlyDescription() { return "access rules inherited from its folder"; }

bool MayWriteFile(const std::string& path) {
  const int fd = OpenFile(path, {FileAccess::Write, FileCreation::Existing, false, false});
  if (fd < 0) return false;
  CloseFile(fd);
  return true;
}

bool GiveOwnerOf(const std::string& /*oldPath*/, int /*fd*/) { return true; }

}  // namespace korvadex
