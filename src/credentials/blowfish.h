// Blowfish block cipher and the suite's hex-text password decoding; no I/O.
#ifndef KORVADEX_CREDENTIALS_BLOWFISH_H_
#define KORVADEX_CREDENTIALS_BLOWFISH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvadex {

// Key-dependent state; wiped by DecryptPassword before it returns.
struct BlowfishContext {
  std::uint32_t p[18];
  std::uint32_t s[4][256];
};

// The Blowfish F function.
std::uint32_t RoundFunction(const BlowfishContext& context, std::uint32_t x);

// Fills `context` from the pi tables and a key of `keyLength` bytes (1 or more).
void InitBlowfish(BlowfishContext& context, const unsigned char* key, std::size_t keyLength);

// Encrypts/decrypts one block given as two 32-bit halves, in place.
void EncryptBlock(const BlowfishContext& context, std::uint32_t& left, std::uint32_t& right);
void DecryptBlock(const BlowfishContext& context, std::uint32_t& left, std::uint32_t& right);

// Decodes `count` characters of `text` into count/2 bytes, without any check
// ('A'-'F' are c-55, every other character c-48, so lower case is not hex).
void HexToBytes(const char* text, std::size_t count, unsigned char* bytes);

// Decrypts a hex text with the key text; the result is the decrypted bytes of
// every block (a short last block filled up with '0' characters), not yet cut
// at the first zero byte.
std::string DecryptBytes(std::string_view hexText, std::string_view keyText);

// Decrypts a hex text and returns the plain value: the decrypted bytes up to
// the first zero byte.
std::string DecryptPassword(std::string_view hexText, std::string_view keyText);

// The inverse of DecryptPassword for the operators' tool: `plain` filled up with
// zero bytes to a multiple of 8, encrypted block by block, upper-case hex.
std::string EncryptPassword(std::string_view plain, std::string_view keyText);

// Overwrites memory in a way the optimiser may not drop.
void WipeMemory(void* data, std::size_t size);

// The suite's fixed key text.
inline constexpr std::string_view kCredentialKey = "QUENDAL";

}  // namespace korvadex

#endif  // KORVADEX_CREDENTIALS_BLOWFISH_H_
