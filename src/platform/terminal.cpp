// The terminal a person may be watching the run from: standard error.
#include "platform/terminal.h"

#include <unistd.h>

#include "output/file_io.h"

namespace korvadex {

bool IsErrorStreamTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void WriteToErrorStream(std::string_view text) {
  [[maybe_unused]] const bool isWritten = WriteAll(STDERR_FILENO, text.data(), text.size());
}

}  // namespace korvadex
