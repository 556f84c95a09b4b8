// UTF-16 to UTF-8 through glibc's iconv.
#include "platform/utf8_text.h"

#include <iconv.h>

#include <bit>

namespace korvadex {

namespace {

// The units come in the machine's own order, as the driver wrote them.
const char* HostUtf16() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

}  // namespace

Utf8Converter::Utf8Converter() {
  iconv_t cd = iconv_open("UTF-8", HostUtf16());
  if (cd != reinterpret_cast<iconv_t>(-1)) state_ = cd;
}

Utf8Converter::~Utf8Converter() {
  if (state_ != nullptr) iconv_close(static_cast<iconv_t>(state_));
}

bool Utf8Converter::isOpen() const { return state_ != nullptr; }

std::size_t Utf8Converter::Convert(const std::uint16_t* units, std::size_t count, char* out) const {
  if (state_ == nullptr || count == 0) return 0;
  char* in = const_cast<char*>(reinterpret_cast<const char*>(units));
  std::size_t inLeft = count * 2;
  char* at = out;
  std::size_t outLeft = count * 3;
  if (iconv(static_cast<iconv_t>(state_), &in, &inLeft, &at, &outLeft) == static_cast<std::size_t>(-1)) {
    // Back to the initial state for the next value.
    iconv(static_cast<iconv_t>(state_), nullptr, nullptr, nullptr, nullptr);
    return 0;
  }
  return static_cast<std::size_t>(at - out);
}

}  // namespace korvadex
