// Wide text from the driver turned into the bytes of the code page that
// KORVADEX_CODEPAGE names: published tables for the single-byte code pages,
// the system's converter for UTF-8 (65001).
#ifndef KORVADEX_DB_CODE_PAGE_H_
#define KORVADEX_DB_CODE_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "db/row_buffer.h"
#include "platform/utf8_text.h"

namespace korvadex {

inline constexpr int kUtf8CodePage = 65001;
// A value keeps at most this many bytes of its code page, as the narrow slot does.
inline constexpr std::size_t kMaxValueBytes = kSlotSize - 1;
// UTF-16 units of a wide slot: a value of kMaxValueBytes characters arrives
// whole even when every one is a surrogate pair, and its terminator.
inline constexpr std::size_t kWideSlotUnits = 2 * kMaxValueBytes + 1;

// True for the code page numbers that KORVADEX_CODEPAGE accepts.
bool IsKnownCodePage(int codePage);

// Encodes UTF-16 values into one code page. A character the code page lacks,
// and a lone surrogate, becomes '?'; there is no best-fit replacement.
class CodePageEncoder {
 public:
  // Chooses `codePage`; false when it is not one of the known ones or the
  // system cannot convert to it. 0 closes the encoder.
  bool Open(int codePage);
  // A code page was chosen.
  bool isOpen() const { return codePage_ != 0; }
  int codePage() const { return codePage_; }

  // Writes the units at `units`, up to the first zero unit or `count` of
  // them, into `out` as at most kMaxValueBytes bytes, ending before the
  // first character that would not fit whole; returns the bytes written and
  // adds the characters written as '?' to `replaced`.
  std::size_t Encode(const std::uint16_t* units, std::size_t count, char* out, int& replaced) const;

 private:
  std::size_t EncodeUtf8(const std::uint16_t* units, std::size_t count, char* out, int& replaced) const;

  int codePage_ = 0;
  std::vector<unsigned char> bytes_;        // per BMP character its byte, 0 for none
  std::unique_ptr<Utf8Converter> utf8_;     // only for 65001
};

}  // namespace korvadex

#endif  // KORVADEX_DB_CODE_PAGE_H_
