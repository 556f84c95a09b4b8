// kastrovin-cred check: which entries korvadex takes from a credentials file,
// and what it would cut, skip or misread there and in the job definition file.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "credentials/blowfish.h"
#include "checks/credential_check.h"
#include "driver/run.h"
#include "checks/job_check.h"
#include "jobdef/job_definition.h"
#include "jobdef/profile_reader.h"
#include "kastrovin_cred/arguments.h"
#include "kastrovin_cred/check_connect.h"
#include "kastrovin_cred/commands.h"
#include "kastrovin_cred/messages.h"
#include "kastrovin_cred/prompt.h"
#include "platform/case_path.h"
#include "platform/file_access.h"
#include "platform/file_io.h"

namespace korvadex::cred {

namespace {

// Reads the whole file into `raw`, and its permission bits into `mode` where
// the system has them; false with `error` set when it cannot.
bool ReadCredentialFile(const std::string& path, std::string& raw, std::optional<unsigned>& mode,
                        std::string& error) {
  // Only read, so the closing at the end loses nothing.
  UniqueFd file(OpenFile(path, {}));
  if (!file.isOpen()) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint64_t size = 0;
  if (!RegularFileSize(file.get(), size)) {
    error = "cannot read " + path + ": not a regular file";
    return false;
  }
  mode = FileModeBits(file.get());
  raw.reserve(static_cast<std::size_t>(size) + 1);
  char chunk[4096];
  for (;;) {
    const std::int64_t got = ReadSome(file.get(), chunk, sizeof chunk);
    if (got < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    raw.append(chunk, static_cast<std::size_t>(got));
  }
  WipeMemory(chunk, sizeof chunk);
  return true;
}

bool IsRegularFile(const std::string& path) { return InspectPath(path).isRegular; }

// Reads the job definition file as korvadex does and adds what it would cut,
// skip or misread; `shownPath` is the path as the report may show it.
void AddJobDefinitionFindings(CredentialCheck& check, const std::string& path, const std::string& shownPath) {
  ProfileData profile;
  if (!LoadProfile(path, profile)) {
    check.warnings.push_back("The job definition file " + shownPath +
                             " cannot be read; korvadex would find no job in it and end with exit code 3.");
    return;
  }
  for (const JobFinding& finding : CheckJobDefinition(profile)) {
    (finding.isInfo ? check.notes : check.warnings).push_back(FormatJobFinding(finding));
  }
}

}  // namespace

int Check(const std::vector<std::string>& args) {
  CheckOptions options;
  const int parsed = ParseCheckArgs(args, options);
  if (parsed != 0) return parsed;
  const std::optional<std::string>& given = options.file;
  // Without FILE, the file that korvadex itself would read from here.
  const std::string path = given ? *given : ResolvePathCase(ToNativePath(kCredentialFile));
  std::string raw;
  std::optional<unsigned> mode;
  std::string error;
  if (!ReadCredentialFile(path, raw, mode, error)) {
    PrintError("check: " + error);
    return kExitUsage;
  }
  std::string content = TextModeContent(raw);
  WipeString(raw);
  CredentialCheck check = CheckCredentialContent(content);
  WipeString(content);

  if (mode) {
    AddPermissionFinding(check, path, *mode);
  } else {
    AddUnjudgedPermissionNote(check, path);
  }
  std::string jobPath;
  bool isJobFileFound = false;
  if (HasDbSystem(check)) {
    const std::string resolvedPath = ResolvePathCase(JobDefinitionPath(ResolvedDbSystem(check)));
    isJobFileFound = IsRegularFile(resolvedPath);
    jobPath = ShownJobPath(check, resolvedPath);
    AddJobFileFinding(check, jobPath, isJobFileFound);
    if (isJobFileFound) AddJobDefinitionFindings(check, resolvedPath, jobPath);
  }
  int connected = 0;
  if (options.isConnecting) {
    // Without a job file there is nothing to prepare, but the connect is still tried.
    ProfileData profile;
    if (isJobFileFound) LoadProfile(ResolvePathCase(JobDefinitionPath(ResolvedDbSystem(check))), profile);
    connected = AddConnectFindings(check, profile, options.terminal);
  }
  std::string report = FormatCheckReport(check, path, jobPath, isJobFileFound);
  std::fwrite(report.data(), 1, report.size(), stdout);
  for (KeyResolution& resolution : check.keys) WipeString(resolution.entry.value);
  if (connected != 0) return connected;
  return check.warnings.empty() ? kExitDone : kExitWarnings;
}

}  // namespace korvadex::cred
