// Shared helpers of the tests: temporary folders, whole-file I/O, running the
// tools as a job script would, and private ODBC data sources.
#ifndef KORVADEX_TESTS_TEST_SUPPORT_H_
#define KORVADEX_TESTS_TEST_SUPPORT_H_

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvadex::testing {

// A fresh folder under /tmp, removed with everything in it when it goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFileBytes(const std::string& path, const std::string& content);
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
void MakeDirs(const std::string& path);

struct CommandResult {
  int exitCode = -1;   // the exit status, or 128 + signal
  std::string out;     // standard output
  std::string err;     // standard error
};

// Runs `argv` in `workDir` with `env` added to the environment and `input` on
// standard input.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& workDir,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& input = "");

// The layout a job script runs in: <root>/Files/Kastrovin.Ini for the
// credentials and <root>/jobs/run as the working folder with the job file.
struct JobTree {
  explicit JobTree(const std::string& root);
  std::string root;
  std::string runDir;
  std::string credentialPath;
  // Writes the credentials file with the four values encrypted.
  void WriteCredentials(const std::string& dataSource, const std::string& login,
                        const std::string& password, const std::string& dbSystem) const;
  // Writes ./KORVADEX.<dbSystem>.INI in the run folder.
  void WriteJobFile(const std::string& dbSystem, const std::string& content) const;
};

// Writes a private odbcinst.ini and odbc.ini into `folder` and returns the
// ODBCSYSINI/ODBCINI environment that selects them. `dataSources` maps a DSN
// name to its body lines (Driver=... and the rest).
std::map<std::string, std::string> WriteOdbcConfig(
    const std::string& folder, const std::map<std::string, std::string>& dataSources);

// The installed driver library of that name (e.g. "libsqlite3odbc.so"), or empty.
std::string FindDriverLibrary(const std::string& fileName);

// Makes `name` a SQLite data source on the database file `database` for this
// process's driver manager, which reads the configuration written to `folder`
// at its first connection; false when the SQLite ODBC driver is not installed.
bool UseSqliteDataSource(const std::string& folder, const std::string& name, const std::string& database);

// Lowers this process's soft limit of `resource` (RLIMIT_FSIZE, RLIMIT_AS) to
// `bytes` for the guard's life. A write past RLIMIT_FSIZE meanwhile fails
// with EFBIG, as on a full disk, instead of raising SIGXFSZ.
class ResourceLimit {
 public:
  ResourceLimit(int resource, rlim_t bytes);
  ~ResourceLimit();
  ResourceLimit(const ResourceLimit&) = delete;
  ResourceLimit& operator=(const ResourceLimit&) = delete;

 private:
  int resource_;
  rlimit saved_{};
  sighandler_t oldHandler_ = SIG_DFL;
};

// Bytes of address space this process has mapped (VmSize).
std::uint64_t MappedBytes();

// False in sanitizer builds: their shadow memory maps terabytes of address
// space up front, so an address-space limit cannot be tried on them.
bool CanLimitAddressSpace();

// A running program (korvadex) that the test can signal and wait for; its
// standard output goes to a file, and its standard error too when `errPath`
// is given. Killed and reaped when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& workDir,
        const std::map<std::string, std::string>& env, const std::string& outPath,
        const std::string& errPath = "");
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // True once the child has ended; `status` then holds its wait status.
  bool HasEnded(int& status);
  // Kills the child unless it has ended, and returns its wait status.
  int KillAndWait();
  // Waits up to `limit`; false when the child was still running and got killed.
  bool WaitFor(std::chrono::milliseconds limit, int& status);

 private:
  pid_t pid_ = -1;
  bool isReaped_ = false;
  int status_ = 0;
};

// A throw-away database server started by one of the scripts in tests/
// (pg-server.sh, mariadb-server.sh): the one of the ctest run when the
// environment variable `stateVariable` names a folder holding its port, else
// one of this object's own, stopped when the object goes.
class TestServer {
 public:
  TestServer(const std::string& scriptName, const char* stateVariable);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  // The loopback port; empty when the script started no server.
  const std::string& port() const { return port_; }

 private:
  void Script(const char* command);
  std::string script_;
  std::unique_ptr<TempDir> own_;
  std::string state_;
  std::string port_;
};

// The rows that every driver's end-to-end test exports with KORVADEX_CODEPAGE:
// umlauts, sharp s, the euro sign, typographic quotes, characters that no
// single-byte code page has, MariaDB's short-counted letters and values
// longer than their field. `kCodePageRows` are the SQL VALUES of a table
// t (id, name, note) in UTF-8, `kCodePageColumns` the job's column keys.
extern const char kCodePageRows[];
extern const char kCodePageColumns[];
// The download file of those rows, written by hand, with KORVADEX_CODEPAGE=1252
// and with 65001, and the /D lines counting their cuts and replacements.
extern const std::string kCodePage1252Records;
extern const char kCodePage1252Counts[];
extern const std::string kCodePage65001Records;
extern const char kCodePage65001Counts[];

// Runs korvadex in the tree's run folder.
CommandResult RunKorvadex(const JobTree& tree, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env);

// The run report at `path`, validated against docs/run-report.schema.json
// by /usr/bin/python3's jsonschema, checked to hold no kScrubWindow
// consecutive characters of `secret` (all of a shorter one), and parsed.
// Each failed check is a test failure; an unreadable report gives null.
nlohmann::json ReadCheckedReport(const std::string& path, const std::string& secret);

// The SHA-256 of `bytes` as sha256sum computes it.
std::string Sha256sum(const std::string& bytes);

// ThreadSanitizer's build: its runtime delays a signal's handler until the
// thread leaves the call it waits in, and hangs on a SIGSEGV sent from outside.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kIsThreadSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kIsThreadSanitized = true;
#else
inline constexpr bool kIsThreadSanitized = false;
#endif
#else
inline constexpr bool kIsThreadSanitized = false;
#endif

}  // namespace korvadex::testing

#endif  // KORVADEX_TESTS_TEST_SUPPORT_H_
