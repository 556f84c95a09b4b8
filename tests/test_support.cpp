// Shared helpers of the tests: temporary folders, whole-file I/O, running the
// tools as a job script would, and private ODBC data sources.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "credentials/blowfish.h"
#include "platform/memory_limit.h"

namespace korvadex::testing {

TempDir::TempDir() {
  char pattern[] = "/tmp/korvadex-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave folders without write permission behind.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
    if (entry.is_directory(ignored)) ::chmod(entry.path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ignored);
}

void WriteFileBytes(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) { std::filesystem::create_directories(path); }

namespace {

// Runs `argv` with `env` added and SIGXFSZ at its default action, as a job
// script's shell starts it: ResourceLimit ignores it in this process, and an
// ignored signal stays ignored across exec, which would hide what the
// program does about a file size limit.
[[noreturn]] void ExecWithDefaultSignals(const std::vector<std::string>& argv,
                                         const std::map<std::string, std::string>& env) {
  ::signal(SIGXFSZ, SIG_DFL);
  for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& workDir,
                         const std::map<std::string, std::string>& env,
                         const std::string& input) {
  int outPipe[2], errPipe[2], inPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0 || ::pipe(inPipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]}) ::close(fd);
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
    ExecWithDefaultSignals(argv, env);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(inPipe[0]);
  // The child may exit before reading its input; that must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    [[maybe_unused]] ssize_t ignored = ::write(inPipe[1], input.data(), input.size());
  }
  ::close(inPipe[1]);

  CommandResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

JobTree::JobTree(const std::string& rootFolder)
    : root(rootFolder), runDir(rootFolder + "/jobs/run"),
      credentialPath(rootFolder + "/Files/Kastrovin.Ini") {
  MakeDirs(runDir);
  MakeDirs(root + "/Files");
}

void JobTree::WriteCredentials(const std::string& dataSource, const std::string& login,
                               const std::string& password, const std::string& dbSystem) const {
  std::string content;
  int number = 1;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"DATABASE", dataSource},
                                   {"LOGIN", login},
                                   {"PASS", password},
                                   {"DB_SYSTEM", dbSystem}}) {
    content += ";KORVADEX;Test\n" + std::to_string(number++) + ";" + key + ";" +
               EncryptPassword(value, kCredentialKey) + "\n";
  }
  WriteFileBytes(credentialPath, content);
}

void JobTree::WriteJobFile(const std::string& dbSystem, const std::string& content) const {
  WriteFileBytes(runDir + "/KORVADEX." + dbSystem + ".INI", content);
}

std::map<std::string, std::string> WriteOdbcConfig(
    const std::string& folder, const std::map<std::string, std::string>& dataSources) {
  MakeDirs(folder);
  std::string drivers;
  std::string sources;
  for (const auto& [name, body] : dataSources) sources += "[" + name + "]\n" + body + "\n";
  WriteFileBytes(folder + "/odbcinst.ini", drivers);
  WriteFileBytes(folder + "/odbc.ini", sources);
  return {{"ODBCSYSINI", folder}, {"ODBCINI", folder + "/odbc.ini"}};
}

std::string FindDriverLibrary(const std::string& fileName) {
  for (const char* folder : {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc",
                             "/usr/lib/odbc", "/usr/lib64", "/usr/local/lib"}) {
    std::string candidate = std::string(folder) + "/" + fileName;
    if (FileExists(candidate)) return candidate;
  }
  return "";
}

bool UseSqliteDataSource(const std::string& folder, const std::string& name, const std::string& database) {
  const std::string driver = FindDriverLibrary("libsqlite3odbc.so");
  if (driver.empty()) return false;
  auto env = WriteOdbcConfig(folder, {{name, "Driver=" + driver + "\nDatabase=" + database + "\nStepAPI=1\n"}});
  for (const auto& [variable, value] : env) ::setenv(variable.c_str(), value.c_str(), 1);
  return true;
}

ResourceLimit::ResourceLimit(int resource, rlim_t bytes) : resource_(resource) {
  ::getrlimit(resource_, &saved_);
  oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved_;
  limit.rlim_cur = bytes;
  if (::setrlimit(resource_, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

ResourceLimit::~ResourceLimit() {
  ::setrlimit(resource_, &saved_);
  ::signal(SIGXFSZ, oldHandler_);
}

std::uint64_t MappedBytes() {
  const std::string status = ReadFileBytes("/proc/self/status");
  return ParseFieldBytes(status, "VmSize").value_or(0);
}

bool CanLimitAddressSpace() { return MappedBytes() < (std::uint64_t{64} << 30); }

Child::Child(const std::vector<std::string>& argv, const std::string& workDir,
             const std::map<std::string, std::string>& env, const std::string& outPath,
             const std::string& errPath) {
  pid_ = ::fork();
  if (pid_ == 0) {
    std::FILE* out = std::freopen(outPath.c_str(), "w", stdout);
    if (out == nullptr || ::chdir(workDir.c_str()) != 0) ::_exit(126);
    if (!errPath.empty() && std::freopen(errPath.c_str(), "w", stderr) == nullptr) ::_exit(126);
    ExecWithDefaultSignals(argv, env);
  }
}

Child::~Child() {
  if (pid_ > 0 && !isReaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Child::HasEnded(int& status) {
  if (isReaped_) {
    status = status_;
    return true;
  }
  if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
  isReaped_ = true;
  status = status_;
  return true;
}

int Child::KillAndWait() {
  if (!isReaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    isReaped_ = true;
  }
  return status_;
}

bool Child::WaitFor(std::chrono::milliseconds limit, int& status) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (HasEnded(status)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  status = KillAndWait();
  return false;
}

TestServer::TestServer(const std::string& scriptName, const char* stateVariable)
    : script_(std::string(KORVADEX_SOURCE_DIR) + "/tests/" + scriptName) {
  const char* shared = std::getenv(stateVariable);
  if (shared != nullptr && FileExists(std::string(shared) + "/port")) {
    state_ = shared;
  } else {
    own_ = std::make_unique<TempDir>();
    state_ = own_->path();
    Script("start");
  }
  port_ = ReadFileBytes(state_ + "/port");
  while (!port_.empty() && port_.back() == '\n') port_.pop_back();
}

TestServer::~TestServer() {
  if (own_) Script("stop");
}

void TestServer::Script(const char* command) {
  CommandResult result = RunCommand({"/bin/bash", script_, command, state_}, "");
  if (result.exitCode != 0) ADD_FAILURE() << script_ << " " << command << ": " << result.err;
}

CommandResult RunKorvadex(const JobTree& tree, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv{KORVADEX_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, tree.runDir, env);
}

nlohmann::json ReadCheckedReport(const std::string& path, const std::string& secret) {
  if (!FileExists(path)) {
    ADD_FAILURE() << "no run report at " << path;
    return nullptr;
  }
  const std::string text = ReadFileBytes(path);
  const std::size_t window = std::min<std::size_t>(secret.size(), 12);
  for (std::size_t from = 0; window > 0 && from + window <= secret.size(); ++from) {
    EXPECT_EQ(text.find(secret.substr(from, window)), std::string::npos) << "the report quotes the password:\n" << text;
  }
  const CommandResult check = RunCommand(
      {"/usr/bin/python3", "-c",
       "import json, sys, jsonschema\n"
       "schema = json.load(open(sys.argv[1]))\n"
       "jsonschema.Draft202012Validator(schema).validate(json.load(open(sys.argv[2])))\n",
       std::string(KORVADEX_SOURCE_DIR) + "/docs/run-report.schema.json", path},
      "");
  EXPECT_EQ(check.exitCode, 0) << check.err << "\n" << text;
  nlohmann::json report = nlohmann::json::parse(text, nullptr, false);
  EXPECT_FALSE(report.is_discarded()) << text;
  return report.is_discarded() ? nlohmann::json() : report;
}

std::string Sha256sum(const std::string& bytes) {
  const CommandResult result = RunCommand({"/usr/bin/sha256sum"}, "", {}, bytes);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return result.out.substr(0, 64);
}
const char kCodePageRows[] =
    "(1, 'Müller', 'Straße'), (2, 'Zoë € ‘x’', '“Gruß”'), (3, '漢字 Ølbær', NULL), "
    "(4, 'ØÙÚÛ', '😀yz12'), (5, '  Weiß  ', 'abcdefgh€')";
const char kCodePageColumns[] =
    "FELD01=ID\nFTYP01=DEC\nFLEN01=2\nFELD02=NAME\nFTYP02=CHAR\nFLEN02=8\nFELD03=NOTE\nFTYP03=TXT\nFLEN03=6\n";
const std::string kCodePage1252Records = std::string("01M\xFCller  Stra\xDF" "e") +
                                         "02o\xEB \x80 \x91x\x92\x93Gru\xDF\x94" +
                                         "03?? \xD8lb\xE6r      " +
                                         "04\xD8\xD9\xDA\xDB    ?yz12 " +
                                         "05Wei\xDF    defgh\x80";
const char kCodePage1252Counts[] =
    "korvadex: Spalte 02 NAME: 1 Werte gekuerzt (laengster Wert 9 Bytes, Breite 8), 2 Zeichen ersetzt durch '?'\n"
    "korvadex: Spalte 03 NOTE: 1 Werte gekuerzt (laengster Wert 9 Bytes, Breite 6), 1 Zeichen ersetzt durch '?'\n";
const std::string kCodePage65001Records = std::string("01M\xC3\xBCller tra\xC3\x9F" "e") +
                                          "02 \xE2\x80\x98x\xE2\x80\x99u\xC3\x9F\xE2\x80\x9D" +
                                          "03 \xC3\x98lb\xC3\xA6r      " +
                                          "04\xC3\x98\xC3\x99\xC3\x9A\xC3\x9Byz12  " +
                                          "05Wei\xC3\x9F   fgh\xE2\x82\xAC";
const char kCodePage65001Counts[] =
    "korvadex: Spalte 02 NAME: 2 Werte gekuerzt (laengster Wert 16 Bytes, Breite 8), 0 Zeichen ersetzt durch '?'\n"
    "korvadex: Spalte 03 NOTE: 4 Werte gekuerzt (laengster Wert 11 Bytes, Breite 6), 0 Zeichen ersetzt durch '?'\n";

}  // namespace korvadex::testing
