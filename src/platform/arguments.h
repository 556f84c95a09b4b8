// The program's arguments as the system hands them over, and the two forms
// they take inside the program: file names, and text for the job file and
// the driver. The same on Linux; on Windows the wide command line, so that
// no name is best-fitted into another.
#ifndef KORVADEX_PLATFORM_ARGUMENTS_H_
#define KORVADEX_PLATFORM_ARGUMENTS_H_

#include <string>
#include <vector>

namespace korvadex {

// The arguments, program name first. Linux: argv as it is. Windows: taken
// from the wide command line, in UTF-8, the form in which this program's
// file names travel there (see WidePath), whatever the ANSI code page holds.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Turns an argument as ProgramArguments gives it into text for the job file
// and the driver: the ANSI code page on Windows; false, `argument` unchanged,
// when the code page lacks one of its characters (never a look-alike in its
// place). Linux: the bytes as they are, always true.
bool ArgumentAsText(std::string& argument);

// A file name as the program holds it, for a message: in the ANSI code page
// on Windows, "?" for each character it lacks. Linux: the name as it is.
std::string PathAsText(const std::string& path);

// Text in the ANSI code page that names a file (an argument of a program
// that keeps its arguments as text), as the program holds file names.
// Linux: the text as it is.
std::string PathOfText(const std::string& text);

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_ARGUMENTS_H_
