// For the Windows step: every BMP character that Windows' own converter
// (WideCharToMultiByte without best fit) writes as one byte of each code page
// that KORVADEX_CODEPAGE takes, as "CODEPAGE HEX HEX" lines.
#include <windows.h>

#include <cstdio>

int wmain() {
  const unsigned codePages[] = {437, 850, 1250, 1252, 28591, 28605};
  for (unsigned codePage : codePages) {
    for (unsigned unit = 1; unit < 0x10000; ++unit) {
      if (unit >= 0xD800 && unit <= 0xDFFF) continue;
      const wchar_t text = static_cast<wchar_t>(unit);
      char out[4] = {};
      BOOL isDefaultUsed = FALSE;
      const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &text, 1, out, sizeof out, nullptr,
                                             &isDefaultUsed);
      if (length == 1 && !isDefaultUsed) std::printf("%u %04X %02X\n", codePage, unit, static_cast<unsigned char>(out[0]));
    }
  }
  return 0;
}
