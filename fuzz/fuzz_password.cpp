// Fuzzes the password cipher: hex decoding of any bytes, decryption of any text
// and the round trip through the operators' encryption.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "credentials/blowfish.h"
#include "fuzz_check.h"

namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvadex;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::vector<unsigned char> bytes(size / 2 + 1, 0xA5);
  HexToBytes(text.data(), size, bytes.data());
  FuzzCheck(bytes[size / 2] == 0xA5, "count/2 bytes written, no more");
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    if (!IsUpperHex(text[i]) || !IsUpperHex(text[i + 1])) continue;
    unsigned int expected = 0;
    std::from_chars(text.data() + i, text.data() + i + 2, expected, 16);
    FuzzCheck(bytes[i / 2] == expected, "an upper-case hex pair decodes to its byte");
  }

  const std::size_t visible = std::min(text.find('\0'), text.size());
  const std::string plainBlocks = DecryptBytes(text, kCredentialKey);
  FuzzCheck(plainBlocks.size() == (visible + 15) / 16 * 8, "8 bytes per started block");
  const std::string plain = DecryptPassword(text, kCredentialKey);
  FuzzCheck(plain == plainBlocks.substr(0, plainBlocks.find('\0')), "value ends at first zero byte");

  // The input's first byte picks a key length, the bytes after it the key;
  // the rest, up to its first zero byte, is the value to carry through.
  if (size == 0) return 0;
  const std::size_t keyLength = std::min<std::size_t>(data[0] % 57, size - 1);
  const std::string_view key = text.substr(1, keyLength);
  std::string_view value = text.substr(1 + keyLength);
  value = value.substr(0, std::min(value.find('\0'), value.size()));
  const std::string hex = EncryptPassword(value, key);
  FuzzCheck(hex.size() == (value.size() + 7) / 8 * 16, "16 hex characters per 8 bytes");
  FuzzCheck(std::all_of(hex.begin(), hex.end(), IsUpperHex), "upper-case hex only");
  FuzzCheck(DecryptPassword(hex, key) == value, "decryption inverts encryption");
  return 0;
}
