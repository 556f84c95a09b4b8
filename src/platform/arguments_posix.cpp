// The program's arguments on Linux: bytes, which name files and serve as text alike.
#include "platform/arguments.h"

namespace korvadex {

std::vector<std::string> ProgramArguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

bool ArgumentAsText(std::string& /*argument*/) { return true; }

std::string PathAsText(const std::string& path) { return path; }

std::string PathOfText(const std::string& text) { return text; }

}  // namespace korvadex
