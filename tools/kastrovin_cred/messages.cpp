// kastrovin-cred's usage text and the form of its error messages.
#include "kastrovin_cred/messages.h"

#include <cstdio>

#include "driver/run.h"
#include "platform/case_path.h"
#include "platform/file_access.h"

namespace korvadex::cred {

std::string Usage() {
  std::string usage =
      "Usage:\n"
      "  kastrovin-cred encrypt [VALUE | -]\n"
      "  kastrovin-cred decrypt HEX\n"
      "  kastrovin-cred init FILE --database DSN --login USER --db-system NAME [--pass -] [--force]\n"
      "  kastrovin-cred check [FILE] [--connect [--terminal NAME]]\n"
      "  kastrovin-cred help\n"
      "\n"
      "encrypt  Prints the hex text that the credentials file stores for VALUE. Without\n"
      "         VALUE, or with -, the value is read from the terminal without echo, or\n"
      "         as one line from standard input when that is not a terminal.\n"
      "decrypt  Prints the plain value of a hex text.\n"
      "init     Writes a new credentials file with ";
  usage += OwnerOnlyDescription();
  usage +=
      ". The password is read from\n"
      "         the terminal without echo, or with --pass - from standard input; it is\n"
      "         never taken from the command line. --force replaces an existing file\n"
      "         through a new one renamed over it: a failure leaves the old file whole.\n"
      "check    Shows which entry korvadex takes for DATABASE, LOGIN, PASS and DB_SYSTEM\n"
      "         and warns about likely mistakes. FILE defaults to ";
  usage += ToNativePath(kCredentialFile);
  usage +=
      ".\n"
      "         Then reads ./KORVADEX.<DB_SYSTEM>.INI in the current directory and warns,\n"
      "         per job section, about what korvadex would cut, skip or misread.\n"
      "         --connect also connects as korvadex would and prepares each section's\n"
      "         statement without executing it ($parm01 replaced by the NAME of\n"
      "         --terminal, else by KVCHECK), and warns where its result columns do\n"
      "         not fit the fields: too few, too many, or wider than FLENnn.\n"
      "\n"
      "Exit codes: 0 done, 1 check found warnings, 2 wrong usage or unreadable file,\n"
      "3 value refused, 4 no value read, 5 file exists, 6 file not written,\n"
      "7 check --connect could not connect, 8 the ODBC driver process ended.\n";
  return usage;
}

void PrintError(const std::string& message) { std::fprintf(stderr, "kastrovin-cred: %s\n", message.c_str()); }

int UsageError(const std::string& message) {
  PrintError(message);
  std::fprintf(stderr, "Try 'kastrovin-cred --help'.\n");
  return kExitUsage;
}

}  // namespace korvadex::cred
