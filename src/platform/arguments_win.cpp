// The program's arguments on Windows: from the wide command line that the C
// runtime splits, since the ANSI one that main() gets is built with best-fit
// mapping ("Ārtikel.dat" becomes "Artikel.dat", a fullwidth backslash a
// real one).
#include "platform/arguments.h"

#include <windows.h>

#include "platform/win32_util.h"

// msvcrt's own splitting of the wide command line, by the rules main()'s
// arguments follow; declared here since only the runtime's startup code uses it.
struct _startupinfo;
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                              _startupinfo* startInfo);

namespace korvadex {

namespace {

// `wide` in the ANSI code page; false when a character has no exact counterpart there.
bool ToCodePage(const std::wstring& wide, std::string& text) {
  text.clear();
  if (wide.empty()) return true;
  const int size = static_cast<int>(wide.size());
  BOOL isDefaultUsed = FALSE;
  const int length =
      ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr, &isDefaultUsed);
  if (length <= 0 || isDefaultUsed) return false;
  text.assign(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, text.data(), length, nullptr, nullptr);
  return true;
}

std::wstring FromCodePage(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
  return wide;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wideArgs = nullptr;
  wchar_t** env = nullptr;
  int startInfo = 0;  // _startupinfo holds one int, the new-handler mode
  if (::__wgetmainargs(&count, &wideArgs, &env, 0, reinterpret_cast<_startupinfo*>(&startInfo)) != 0 ||
      wideArgs == nullptr || count != argc) {
    // The runtime's ANSI split is all there is then.
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(NarrowPath(FromCodePage(argv[i])));
    return arguments;
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(NarrowPath(wideArgs[i]));
  return arguments;
}

bool ArgumentAsText(std::string& argument) {
  std::string text;
  if (!ToCodePage(WidePath(argument), text)) return false;
  argument = text;
  return true;
}

std::string PathAsText(const std::string& path) {
  std::wstring wide = WidePath(path);
  std::string text;
  if (ToCodePage(wide, text)) return text;
  for (wchar_t& c : wide) {
    std::string one;
    if (!ToCodePage(std::wstring(1, c), one)) c = L'?';
  }
  ToCodePage(wide, text);
  return text;
}

std::string PathOfText(const std::string& text) { return NarrowPath(FromCodePage(text)); }

}  // namespace korvadex
