// kastrovin-cred init: writes a new credentials file, private to its owner,
// whole or not at all; with --force through a new file renamed over the old.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "checks/credential_check.h"
#include "kastrovin_cred/arguments.h"
#include "kastrovin_cred/commands.h"
#include "kastrovin_cred/messages.h"
#include "kastrovin_cred/prompt.h"
#include "platform/file_access.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/terminal.h"

namespace korvadex::cred {

namespace {

// Restricts the open file to its owner, writes `content` and flushes it to
// disk; false with errno set on the first step that fails.
bool FillPrivateFile(int fd, std::string_view content) {
  return RestrictToOwner(fd) && WriteAll(fd, content.data(), content.size()) && SyncFile(fd);
}

// A new file beside the credentials file that becomes it only by a rename, so
// korvadex, a crash or a full disk sees the old file or the complete new one.
// Removed again unless the rename took place.
class TempCredentialFile {
 public:
  explicit TempCredentialFile(const std::string& target) {
    std::string pattern = JoinPath(FolderOf(target), "." + FileNameOf(target) + ".kastrovin-cred-XXXXXX");
    // Created new with mode 0600, so the secrets are never readable by
    // others and no planted file or link is written into.
    fd_ = CreateUniqueFile(pattern);
    if (fd_ >= 0) name_ = pattern;
  }
  ~TempCredentialFile() {
    if (fd_ >= 0) CloseFile(fd_);
    if (!name_.empty()) RemoveFile(name_);
  }
  TempCredentialFile(const TempCredentialFile&) = delete;
  TempCredentialFile& operator=(const TempCredentialFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return CloseFile(fd);
  }

  // Renames the closed file over `target`; afterwards there is nothing to remove.
  bool RenameOver(const std::string& target) {
    if (!ReplaceFileAtomically(name_, target)) return false;
    name_.clear();
    return true;
  }

 private:
  int fd_ = -1;
  std::string name_;  // empty once renamed
};

// Creates `path`, which must not exist, with mode 0600 and writes `content`;
// a file that could not be written whole is removed. Returns 0 or an exit
// code after printing the reason.
int CreateCredentialFile(const std::string& path, std::string_view content) {
  // Creating only a new file makes the existence test and the creation one
  // step, and keeps a planted link from redirecting the secrets elsewhere.
  const int fd = OpenFile(path, {FileAccess::Write, FileCreation::New, false, true});
  if (fd < 0) {
    if (errno == EEXIST) {
      PrintError("init: " + path + " exists; give --force to replace it");
      return kExitFileExists;
    }
    PrintError("init: cannot create " + path + ": " + std::strerror(errno));
    return kExitWriteFailed;
  }
  const bool isWritten = FillPrivateFile(fd, content);
  const int writeErrno = errno;
  const bool isClosed = CloseFile(fd);
  if (!isWritten || !isClosed) {
    const int reason = isWritten ? errno : writeErrno;
    // Created by this call (as a new file), so it is ours to remove.
    RemoveFile(path);
    PrintError("init: cannot write " + path + ": " + std::strerror(reason) + "; no file was left behind");
    return kExitWriteFailed;
  }
  if (!SyncFolderOrFail(FolderOf(path))) {
    PrintError("init: wrote " + path + ", but its folder could not be flushed to disk: " + std::strerror(errno));
    return kExitWriteFailed;
  }
  return 0;
}

// Replaces `path` (or creates it) through a temporary file in its folder, so
// that a failure at any step leaves the old file whole. Returns 0 or an exit
// code after printing the reason.
int ReplaceCredentialFile(const std::string& path, std::string_view content) {
  const PathKind old = InspectPath(path);
  const bool hasOld = old.hasEntry;
  if (hasOld && old.isLink) {
    PrintError("init: cannot create " + path +
               ": it is a symbolic link, which init neither writes through nor replaces");
    return kExitWriteFailed;
  }
  if (hasOld && !old.isRegular) {
    PrintError("init: cannot create " + path + ": it exists and is not a regular file");
    return kExitWriteFailed;
  }
  if (hasOld) {
    // A rename needs only the folder's permission; replacing the file must
    // still need the file's own, as writing into it did.
    if (!MayWriteFile(path)) {
      PrintError("init: cannot replace " + path + ": " + std::strerror(errno));
      return kExitWriteFailed;
    }
  }
  TempCredentialFile temp(path);
  if (!temp.isOpen()) {
    PrintError("init: cannot create a temporary file in " + FolderOf(path) + ": " + std::strerror(errno));
    return kExitWriteFailed;
  }
  // The new file must stay readable by the account the old one belonged to,
  // which only root can hand a file to.
  if (hasOld && !GiveOwnerOf(path, temp.fd())) {
    PrintError("init: cannot replace " + path + ": it belongs to another user (" + std::strerror(errno) +
               "); the old file is left as it was");
    return kExitWriteFailed;
  }
  const std::string keptText = hasOld ? "; the old file is left as it was" : "; no file was left behind";
  const bool isWritten = FillPrivateFile(temp.fd(), content);
  const int writeErrno = errno;
  const bool isClosed = temp.Close();
  if (!isWritten || !isClosed) {
    PrintError("init: cannot write " + path + ": " + std::strerror(isWritten ? errno : writeErrno) + keptText);
    return kExitWriteFailed;
  }
  if (!temp.RenameOver(path)) {
    PrintError("init: cannot replace " + path + ": " + std::strerror(errno) + keptText);
    return kExitWriteFailed;
  }
  if (!SyncFolderOrFail(FolderOf(path))) {
    PrintError("init: replaced " + path + ", but its folder could not be flushed to disk: " +
               std::strerror(errno));
    return kExitWriteFailed;
  }
  return 0;
}

}  // namespace

int Init(const std::vector<std::string>& args) {
  InitOptions options;
  int status = ParseInitOptions(args, options);
  if (status != 0) return status;

  InitValues values;
  values.dataSource = *options.database;
  values.login = *options.login;
  values.dbSystem = *options.dbSystem;
  // Refuse what can be refused before anyone types a password.
  std::string problem = CheckInitValues(values);
  if (!problem.empty()) {
    PrintError("init: " + problem);
    return kExitBadValue;
  }
  if (!options.isForced && InspectPath(options.file).hasEntry) {
    PrintError("init: " + options.file + " exists; give --force to replace it");
    return kExitFileExists;
  }
  if (!options.pass && !IsInputTerminal()) {
    PrintError("init: standard input is not a terminal; give --pass - to read the password from it");
    return kExitNoInput;
  }
  status = ReadConfirmedValue("Password: ", values.password);
  if (status != 0) return status;
  problem = CheckPlainValue("PASS", values.password);
  if (!problem.empty()) {
    WipeString(values.password);
    PrintError("init: " + problem);
    return kExitBadValue;
  }

  std::string content = BuildCredentialFile(values);
  WipeString(values.password);
  status = options.isForced ? ReplaceCredentialFile(options.file, content)
                            : CreateCredentialFile(options.file, content);
  if (status != 0) return status;
  std::printf("Wrote %s (%s): DATABASE, LOGIN, PASS and DB_SYSTEM, entries 1 to 4.\n", options.file.c_str(),
              std::string(OwnerOnlyDescription()).c_str());
  return kExitDone;
}

}  // namespace korvadex::cred
