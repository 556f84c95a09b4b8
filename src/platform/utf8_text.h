// UTF-16 to UTF-8 through the system's own converter: iconv on Linux,
// WideCharToMultiByte on Windows, with the same bytes from both.
#ifndef KORVADEX_PLATFORM_UTF8_TEXT_H_
#define KORVADEX_PLATFORM_UTF8_TEXT_H_

#include <cstddef>
#include <cstdint>

namespace korvadex {

// One converter for a run's values; not copyable.
class Utf8Converter {
 public:
  Utf8Converter();
  ~Utf8Converter();
  Utf8Converter(const Utf8Converter&) = delete;
  Utf8Converter& operator=(const Utf8Converter&) = delete;

  // False when the system has no such converter.
  bool isOpen() const;

  // Writes `count` units of well-formed UTF-16 (no lone surrogate: the
  // caller takes those out, so both systems treat them alike) as UTF-8 into
  // `out`, which has room for 3 bytes a unit; the bytes written, or 0 when
  // the converter refused them.
  std::size_t Convert(const std::uint16_t* units, std::size_t count, char* out) const;

 private:
  void* state_ = nullptr;
};

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_UTF8_TEXT_H_
