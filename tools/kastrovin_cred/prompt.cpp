// kastrovin-cred's input of values: the prompt at a terminal, a line from a pipe.
#include "kastrovin_cred/prompt.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "credentials/blowfish.h"
#include "kastrovin_cred/messages.h"
#include "platform/file_io.h"
#include "platform/terminal.h"

namespace korvadex::cred {

namespace {

// More than any storable value; a longer line is refused rather than cut.
constexpr std::size_t kInputLineLimit = 1024;

enum class LineStatus { Read, NothingRead, TooLong, Failed };

// Reads one line byte by byte, so nothing after it is consumed and no stdio
// buffer keeps a copy of a secret; the line end (LF or CR LF) is dropped.
LineStatus ReadLine(int fd, std::string& line) {
  line.clear();
  line.reserve(kInputLineLimit);
  bool isAnyRead = false;
  for (;;) {
    char c = 0;
    const std::int64_t got = ReadSome(fd, &c, 1);
    if (got < 0) return LineStatus::Failed;
    if (got == 0) break;
    isAnyRead = true;
    if (c == '\n') break;
    if (line.size() == kInputLineLimit) return LineStatus::TooLong;
    line.push_back(c);
  }
  if (!isAnyRead) return LineStatus::NothingRead;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LineStatus::Read;
}

}  // namespace

void WipeString(std::string& text) {
  WipeMemory(text.data(), text.size());
  text.clear();
}

int ReadInputValue(const char* prompt, std::string& value) {
  const bool isTerminal = IsInputTerminal();
  LineStatus status;
  if (isTerminal) {
    // Echo goes off before the prompt shows, so nothing typed after it is echoed
    // or thrown away by the switch.
    NoEchoInput quiet;
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    status = ReadLine(kStandardInput, value);
    // The user's Enter was not echoed.
    std::fprintf(stderr, "\n");
  } else {
    status = ReadLine(kStandardInput, value);
  }
  switch (status) {
    case LineStatus::Read:
      return 0;
    case LineStatus::NothingRead:
      PrintError("no value given on standard input");
      return kExitNoInput;
    case LineStatus::TooLong:
      WipeString(value);
      PrintError("the value read is longer than " + std::to_string(kInputLineLimit) + " characters");
      return kExitBadValue;
    case LineStatus::Failed:
      break;
  }
  PrintError(std::string("cannot read standard input: ") + std::strerror(errno));
  return kExitNoInput;
}

int ReadConfirmedValue(const char* prompt, std::string& value) {
  int status = ReadInputValue(prompt, value);
  if (status != 0 || !IsInputTerminal()) return status;
  std::string again;
  status = ReadInputValue("Repeat: ", again);
  if (status != 0) {
    WipeString(value);
    return status;
  }
  const bool isSame = again == value;
  WipeString(again);
  if (!isSame) {
    WipeString(value);
    PrintError("the two entries differ; nothing was done");
    return kExitNoInput;
  }
  return 0;
}

}  // namespace korvadex::cred
