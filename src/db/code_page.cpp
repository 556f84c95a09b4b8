// Wide text from the driver turned into the bytes of one code page.
#include "db/code_page.h"

#include <cstring>

#include "db/code_page_tables.h"

namespace korvadex {

namespace {

bool IsHighSurrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool IsUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

bool IsKnownCodePage(int codePage) {
  return codePage == kUtf8CodePage || SingleByteCodePage(codePage) != nullptr;
}

bool CodePageEncoder::Open(int codePage) {
  codePage_ = 0;
  bytes_.clear();
  utf8_.reset();
  if (codePage == 0) return true;
  if (codePage == kUtf8CodePage) {
    utf8_ = std::make_unique<Utf8Converter>();
    if (!utf8_->isOpen()) return false;
    codePage_ = codePage;
    return true;
  }
  const std::uint16_t* table = SingleByteCodePage(codePage);
  if (table == nullptr) return false;
  // The tables map bytes to characters; the reverse is what a run needs.
  // Byte 0 is never looked up: a value ends at its first NUL.
  bytes_.assign(0x10000, 0);
  for (int byte = 255; byte >= 1; --byte) {
    if (table[byte] != 0xFFFF) bytes_[table[byte]] = static_cast<unsigned char>(byte);
  }
  codePage_ = codePage;
  return true;
}

std::size_t CodePageEncoder::Encode(const std::uint16_t* units, std::size_t count, char* out, int& replaced) const {
  if (utf8_) {
    std::size_t end = 0;
    while (end < count && units[end] != 0) ++end;
    return EncodeUtf8(units, end, out, replaced);
  }
  // One pass finds the value's end and encodes it: this runs for every value.
  std::size_t written = 0;
  for (std::size_t i = 0; i < count && written < kMaxValueBytes; ++i) {
    const std::uint16_t unit = units[i];
    if (unit == 0) break;
    // No code page maps a surrogate, so a character it has needs no other test.
    const unsigned char byte = bytes_[unit];
    if (byte != 0) {
      out[written++] = static_cast<char>(byte);
      continue;
    }
    // No single-byte code page has a character beyond the BMP: a surrogate
    // pair is one missing character.
    if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(units[i + 1])) ++i;
    out[written++] = '?';
    ++replaced;
  }
  return written;
}

std::size_t CodePageEncoder::EncodeUtf8(const std::uint16_t* units, std::size_t count, char* out,
                                        int& replaced) const {
  char converted[kWideSlotUnits * 3];
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < count && written < kMaxValueBytes) {
    // The well-formed stretch up to the next lone surrogate goes through the
    // system's converter; iconv and WideCharToMultiByte differ on lone ones.
    const std::size_t start = i;
    while (i < count) {
      if (IsHighSurrogate(units[i]) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
        i += 2;
      } else if (IsHighSurrogate(units[i]) || IsLowSurrogate(units[i])) {
        break;
      } else {
        ++i;
      }
    }
    const std::size_t length = i - start > kWideSlotUnits ? 0 : utf8_->Convert(units + start, i - start, converted);
    if (i > start && length == 0) {
      // A converter that refuses well-formed text leaves the value out
      // rather than write something else; it has not been seen to.
      return written;
    }
    std::size_t taken = length < kMaxValueBytes - written ? length : kMaxValueBytes - written;
    while (taken > 0 && taken < length && IsUtf8Continuation(converted[taken])) --taken;
    std::memcpy(out + written, converted, taken);
    written += taken;
    if (taken < length) return written;
    if (i < count && written < kMaxValueBytes) {
      out[written++] = '?';
      ++replaced;
      ++i;
    }
  }
  return written;
}

}  // namespace korvadex
