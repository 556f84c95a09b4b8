// UTF-16 to UTF-8 through WideCharToMultiByte(CP_UTF8).
#include "platform/utf8_text.h"

#include <windows.h>

namespace korvadex {

Utf8Converter::Utf8Converter() = default;

Utf8Converter::~Utf8Converter() = default;

bool Utf8Converter::isOpen() const { return true; }

std::size_t Utf8Converter::Convert(const std::uint16_t* units, std::size_t count, char* out) const {
  if (count == 0) return 0;
  // No flags: CP_UTF8 takes none but WC_ERR_INVALID_CHARS, and the input
  // holds no lone surrogate for it to refuse.
  const int written = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<LPCWCH>(units), static_cast<int>(count),
                                          out, static_cast<int>(count * 3), nullptr, nullptr);
  return written > 0 ? static_cast<std::size_t>(written) : 0;
}

}  // namespace korvadex
