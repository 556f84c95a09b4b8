// Blowfish with the credentials file's conventions: hex text, little-endian block
// halves, ECB, a fresh key schedule per value and no key material left behind.
#include "credentials/blowfish.h"

#include <string.h>

#include <algorithm>

#include "credentials/blowfish_tables.h"

namespace korvadex {

namespace {

constexpr std::size_t kBlockBytes = 8;
constexpr std::size_t kBlockHexChars = 16;
constexpr int kRounds = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Texts of the suite are NUL-terminated, so a value or key is only what comes
// before an embedded zero byte; reading past it would decrypt bytes the stored
// format never meant to be part of the value.
std::string_view UpToFirstZero(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

void InitWithKeyText(BlowfishContext& context, std::string_view keyText) {
  InitBlowfish(context, reinterpret_cast<const unsigned char*>(keyText.data()),
               keyText.size());
}

// The stored format puts the first byte of each half in its low-order bits,
// the opposite of the textbook's big-endian blocks.
std::uint32_t LoadLittleEndian(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void StoreLittleEndian(std::uint32_t word, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(word);
  bytes[1] = static_cast<unsigned char>(word >> 8);
  bytes[2] = static_cast<unsigned char>(word >> 16);
  bytes[3] = static_cast<unsigned char>(word >> 24);
}

unsigned int HexDigitValue(char c) {
  const unsigned int code = static_cast<unsigned char>(c);
  // Unsigned arithmetic: a character below '0' wraps instead of going negative,
  // and only the low eight bits of the combined byte survive either way.
  return (code >= 'A' && code <= 'F') ? code - 55u : code - 48u;
}

}  // namespace

std::uint32_t RoundFunction(const BlowfishContext& context, std::uint32_t x) {
  const std::uint32_t a = (x >> 24) & 0xFFu;
  const std::uint32_t b = (x >> 16) & 0xFFu;
  const std::uint32_t c = (x >> 8) & 0xFFu;
  const std::uint32_t d = x & 0xFFu;
  return ((context.s[0][a] + context.s[1][b]) ^ context.s[2][c]) + context.s[3][d];
}

void InitBlowfish(BlowfishContext& context, const unsigned char* key, std::size_t keyLength) {
  std::copy(&kBlowfishInitialS[0][0], &kBlowfishInitialS[0][0] + kBlowfishSBoxes * kBlowfishSBoxWords,
            &context.s[0][0]);

  // An empty key cannot be cycled; it then contributes nothing rather than
  // dividing by zero, which leaves the schedule over the bare pi tables.
  const bool hasKey = key != nullptr && keyLength > 0;
  std::size_t keyPos = 0;
  for (std::size_t i = 0; i < kBlowfishPWords; ++i) {
    std::uint32_t word = 0;
    for (int k = 0; k < 4; ++k) {
      word <<= 8;
      if (hasKey) {
        word |= key[keyPos];
        keyPos = (keyPos + 1) % keyLength;
      }
    }
    context.p[i] = kBlowfishInitialP[i] ^ word;
  }

  std::uint32_t left = 0;
  std::uint32_t right = 0;
  for (std::size_t i = 0; i < kBlowfishPWords; i += 2) {
    EncryptBlock(context, left, right);
    context.p[i] = left;
    context.p[i + 1] = right;
  }
  for (std::size_t box = 0; box < kBlowfishSBoxes; ++box) {
    for (std::size_t j = 0; j < kBlowfishSBoxWords; j += 2) {
      EncryptBlock(context, left, right);
      context.s[box][j] = left;
      context.s[box][j + 1] = right;
    }
  }
}

void EncryptBlock(const BlowfishContext& context, std::uint32_t& left, std::uint32_t& right) {
  std::uint32_t l = left;
  std::uint32_t r = right;
  for (int i = 0; i < kRounds; ++i) {
    l ^= context.p[i];
    r ^= RoundFunction(context, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= context.p[16];
  l ^= context.p[17];
  left = l;
  right = r;
}

void DecryptBlock(const BlowfishContext& context, std::uint32_t& left, std::uint32_t& right) {
  std::uint32_t l = left;
  std::uint32_t r = right;
  for (int i = kRounds + 1; i > 1; --i) {
    l ^= context.p[i];
    r ^= RoundFunction(context, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= context.p[1];
  l ^= context.p[0];
  left = l;
  right = r;
}

void HexToBytes(const char* text, std::size_t count, unsigned char* bytes) {
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    bytes[i / 2] = static_cast<unsigned char>(HexDigitValue(text[i]) * 16u + HexDigitValue(text[i + 1]));
  }
}

std::string DecryptBytes(std::string_view hexText, std::string_view keyText) {
  hexText = UpToFirstZero(hexText);
  BlowfishContext context;
  InitWithKeyText(context, UpToFirstZero(keyText));

  const std::size_t blockCount = (hexText.size() + kBlockHexChars - 1) / kBlockHexChars;
  // Sized once so that no reallocation leaves plain bytes behind in freed memory.
  std::string plain(blockCount * kBlockBytes, '\0');
  char hexBlock[kBlockHexChars];
  unsigned char block[kBlockBytes];
  for (std::size_t i = 0; i < hexText.size(); i += kBlockHexChars) {
    // A short last block is completed with '0' characters so its decryption is
    // fixed by the text alone and never reads past it.
    const std::size_t available = std::min(kBlockHexChars, hexText.size() - i);
    std::fill(std::copy_n(hexText.data() + i, available, hexBlock), hexBlock + kBlockHexChars, '0');
    HexToBytes(hexBlock, kBlockHexChars, block);
    std::uint32_t left = LoadLittleEndian(block);
    std::uint32_t right = LoadLittleEndian(block + 4);
    DecryptBlock(context, left, right);
    StoreLittleEndian(left, block);
    StoreLittleEndian(right, block + 4);
    std::copy_n(block, kBlockBytes, plain.begin() + static_cast<std::ptrdiff_t>(i / 2));
  }
  WipeMemory(block, sizeof block);
  WipeMemory(&context, sizeof context);
  return plain;
}

std::string DecryptPassword(std::string_view hexText, std::string_view keyText) {
  std::string plain = DecryptBytes(hexText, keyText);
  std::string value = plain.substr(0, plain.find('\0'));
  WipeMemory(plain.data(), plain.size());
  return value;
}

std::string EncryptPassword(std::string_view plain, std::string_view keyText) {
  BlowfishContext context;
  InitWithKeyText(context, UpToFirstZero(keyText));

  const std::size_t blockCount = (plain.size() + kBlockBytes - 1) / kBlockBytes;
  std::string hexText(blockCount * kBlockHexChars, '0');
  unsigned char block[kBlockBytes];
  for (std::size_t b = 0; b < blockCount; ++b) {
    const std::size_t start = b * kBlockBytes;
    const std::size_t available = std::min(kBlockBytes, plain.size() - start);
    // Zero filling is what lets DecryptPassword find the end of the value.
    std::fill(std::copy_n(reinterpret_cast<const unsigned char*>(plain.data()) + start, available, block),
              block + kBlockBytes, static_cast<unsigned char>(0));
    std::uint32_t left = LoadLittleEndian(block);
    std::uint32_t right = LoadLittleEndian(block + 4);
    EncryptBlock(context, left, right);
    StoreLittleEndian(left, block);
    StoreLittleEndian(right, block + 4);
    for (std::size_t k = 0; k < kBlockBytes; ++k) {
      hexText[b * kBlockHexChars + 2 * k] = kHexDigits[block[k] >> 4];
      hexText[b * kBlockHexChars + 2 * k + 1] = kHexDigits[block[k] & 0x0Fu];
    }
  }
  WipeMemory(block, sizeof block);
  WipeMemory(&context, sizeof context);
  return hexText;
}

void WipeMemory(void* data, std::size_t size) {
  if (data == nullptr || size == 0) {
    return;
  }
#if defined(__GLIBC__)
  explicit_bzero(data, size);
#else
  // Volatile stores keep the compiler from treating the wipe as a dead store.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = 0;
  }
#endif
}

}  // namespace korvadex
