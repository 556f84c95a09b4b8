// Tests of the password cipher against the published Blowfish vectors and
// against OpenSSL's independent Blowfish with the stored-format byte order.
#include "credentials/blowfish.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/blowfish.h>
#pragma GCC diagnostic pop

#include "credentials/blowfish_tables.h"

namespace korvadex {
namespace {

std::vector<unsigned char> BytesFromHex(std::string_view hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// Encrypts with OpenSSL, building each half little-endian as the credentials
// file stores it, so expectations never come from our own cipher.
std::string OpenSslHex(std::string_view plain, std::string_view key) {
  std::string padded(plain);
  padded.resize((plain.size() + 7) / 8 * 8, '\0');
  std::string hex;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  BF_KEY bfKey;
  BF_set_key(&bfKey, static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(key.data()));
  for (std::size_t b = 0; b < padded.size(); b += 8) {
    BF_LONG halves[2] = {0, 0};
    for (int h = 0; h < 2; ++h) {
      for (int i = 0; i < 4; ++i) {
        halves[h] |= static_cast<BF_LONG>(static_cast<unsigned char>(padded[b + 4 * h + i])) << (8 * i);
      }
    }
    BF_encrypt(halves, &bfKey);
    for (int h = 0; h < 2; ++h) {
      for (int i = 0; i < 4; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>((halves[h] >> (8 * i)) & 0xFFu));
        hex += pair;
      }
    }
  }
#pragma GCC diagnostic pop
  return hex;
}

struct BlockVector {
  const char* label;
  const char* keyHex;
  std::uint32_t plainLeft, plainRight;
  std::uint32_t cipherLeft, cipherRight;
};

// Eric Young's published ECB vectors, halves read big-endian, plus rows of his
// variable key length set (plaintext FEDCBA9876543210) with odd key lengths
// like the 7-byte key text.
const BlockVector kPublishedVectors[] = {
    {"all zero", "0000000000000000", 0x00000000, 0x00000000, 0x4EF99745, 0x6198DD78},
    {"all ones", "FFFFFFFFFFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFF, 0x51866FD5, 0xB85ECB8A},
    {"key 3000..", "3000000000000000", 0x10000000, 0x00000001, 0x7D856F9A, 0x613063F2},
    {"key 1111..", "1111111111111111", 0x11111111, 0x11111111, 0x2466DD87, 0x8B963C9D},
    {"key 0123..", "0123456789ABCDEF", 0x11111111, 0x11111111, 0x61F9C380, 0x2281B096},
    {"plain 0123..", "1111111111111111", 0x01234567, 0x89ABCDEF, 0x7D0CC630, 0xAFDA1EC7},
    {"key FEDC..", "FEDCBA9876543210", 0x01234567, 0x89ABCDEF, 0x0ACEAB0F, 0xC6A0A28D},
    {"key 7CA1..", "7CA110454A1A6E57", 0x01A1D6D0, 0x39776742, 0x59C68245, 0xEB05282B},
    {"key 0131..", "0131D9619DC1376E", 0x5CD54CA8, 0x3DEF57DA, 0xB1B8CC0B, 0x250F09A0},
    {"1-byte key", "F0", 0xFEDCBA98, 0x76543210, 0xF9AD597C, 0x49DB005E},
    {"3-byte key", "F0E1D2", 0xFEDCBA98, 0x76543210, 0xE9C2B70A, 0x1BC65CF3},
    {"7-byte key", "F0E1D2C3B4A596", 0xFEDCBA98, 0x76543210, 0x8BB77032, 0xF960629D},
};

TEST(BlowfishTest, InitialTablesHoldPiDigitsInPublishedOrder) {
  struct Row {
    const char* label;
    std::uint32_t actual;
    std::uint32_t expected;
  };
  const Row rows[] = {
      {"P[0]", kBlowfishInitialP[0], 0x243F6A88},   {"P[17]", kBlowfishInitialP[17], 0x8979FB1B},
      {"S0[0]", kBlowfishInitialS[0][0], 0xD1310BA6}, {"S0[255]", kBlowfishInitialS[0][255], 0x6E85076A},
      {"S1[0]", kBlowfishInitialS[1][0], 0x4B7A70E9}, {"S2[0]", kBlowfishInitialS[2][0], 0xE93D5A68},
      {"S3[0]", kBlowfishInitialS[3][0], 0x3A39CE37}, {"S3[255]", kBlowfishInitialS[3][255], 0x3AC372E6},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.actual, row.expected) << row.label;
  }
}

TEST(BlowfishTest, BlockFunctionsReproducePublishedVectors) {
  for (const BlockVector& vector : kPublishedVectors) {
    const std::vector<unsigned char> key = BytesFromHex(vector.keyHex);
    BlowfishContext context;
    InitBlowfish(context, key.data(), key.size());

    std::uint32_t left = vector.plainLeft;
    std::uint32_t right = vector.plainRight;
    EncryptBlock(context, left, right);
    EXPECT_EQ(left, vector.cipherLeft) << vector.label;
    EXPECT_EQ(right, vector.cipherRight) << vector.label;

    left = vector.cipherLeft;
    right = vector.cipherRight;
    DecryptBlock(context, left, right);
    EXPECT_EQ(left, vector.plainLeft) << vector.label;
    EXPECT_EQ(right, vector.plainRight) << vector.label;
  }
}

TEST(BlowfishTest, HexToBytesDecodesWithoutChecks) {
  struct Row {
    const char* label;
    const char* text;
    std::size_t count;
    std::vector<unsigned char> expected;
  };
  const Row rows[] = {
      {"FF", "FF", 2, {255}},
      {"0A", "0A", 2, {10}},
      {"lower case is not hex", "0a", 2, {49}},
      {"both digits lower case", "ff", 2, {0x96}},
      {"digits and letters", "9F3C", 4, {0x9F, 0x3C}},
      {"non-hex wraps modulo 256", "G0", 2, {0x70}},
      {"below '0' wraps", "  ", 2, {0xF0}},
      {"odd count drops last", "ABC", 3, {0xAB, 0xEE}},
  };
  for (const Row& row : rows) {
    std::vector<unsigned char> bytes(row.expected.size(), 0xEE);
    HexToBytes(row.text, row.count, bytes.data());
    EXPECT_EQ(bytes, row.expected) << row.label;
  }
}

TEST(BlowfishTest, DecryptsStoredValues) {
  // Hex texts made with OpenSSL under the key "QUENDAL", halves little-endian.
  struct Row {
    const char* label;
    const char* hexText;
    const char* expected;
  };
  const Row rows[] = {
      {"three characters", "98C68E9E3EC3AF77", "abc"},
      {"exactly one block", "92039C712B371DBD", "Geheim12"},
      {"two blocks", "A11BD1D4C7AA786D5C2907BCDB5CF510", "ODBC_PROD"},
      {"value holding ;", "7B5E93A158E837C5", "s3cr;et!"},
      {"empty text", "", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecryptPassword(row.hexText, kCredentialKey), row.expected) << row.label;
  }
}

TEST(BlowfishTest, DecryptBytesKeepsEveryBlockByte) {
  struct Row {
    const char* label;
    std::string plain;
  };
  const Row rows[] = {
      {"zero inside first block", std::string("abc\0WXYZ", 8)},
      {"16 bytes", "0123456789abcdef"},
      {"96 bytes, the most a 200-character value holds", std::string(48, 'p') + std::string(48, 'Q')},
  };
  for (const Row& row : rows) {
    const std::string hexText = OpenSslHex(row.plain, kCredentialKey);
    ASSERT_EQ(hexText.size(), row.plain.size() * 2) << row.label;
    EXPECT_EQ(DecryptBytes(hexText, kCredentialKey), row.plain) << row.label;
  }
  EXPECT_EQ(DecryptPassword(OpenSslHex(std::string("abc\0WXYZ", 8), kCredentialKey), kCredentialKey), "abc");
  EXPECT_EQ(DecryptPassword(OpenSslHex(std::string(96, 'z'), kCredentialKey), kCredentialKey).size(), 96u);
  EXPECT_EQ(DecryptBytes("", kCredentialKey), "");
}

TEST(BlowfishTest, ShortLastBlockIsFilledWithZeroCharacters) {
  const std::string shortText = DecryptBytes("98C68E9E3EC3AF7", kCredentialKey);
  EXPECT_EQ(shortText.size(), 8u);
  EXPECT_EQ(shortText, DecryptBytes("98C68E9E3EC3AF70", kCredentialKey));
  EXPECT_EQ(DecryptBytes("92039C712B371DBD9", kCredentialKey).size(), 16u);
}

TEST(BlowfishTest, BigEndianHalvesDoNotDecryptToThePlainValue) {
  // OpenSSL's BF_ecb_encrypt of "abc" and five zero bytes: the textbook
  // big-endian block layout, not the stored one.
  const char* bigEndianHex = "3B6572F5D237615F";
  const std::vector<unsigned char> cipher = BytesFromHex(bigEndianHex);
  unsigned char plain[8];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  BF_KEY bfKey;
  BF_set_key(&bfKey, 7, reinterpret_cast<const unsigned char*>("QUENDAL"));
  BF_ecb_encrypt(cipher.data(), plain, &bfKey, BF_DECRYPT);
#pragma GCC diagnostic pop
  ASSERT_EQ(std::memcmp(plain, "abc\0\0\0\0\0", 8), 0);

  EXPECT_NE(DecryptBytes(bigEndianHex, kCredentialKey), std::string("abc\0\0\0\0\0", 8));
}

TEST(BlowfishTest, EncryptPasswordMatchesOpenSsl) {
  struct Row {
    const char* label;
    std::string plain;
    const char* expected;
  };
  const Row rows[] = {
      {"empty value gives empty text", "", ""},
      {"short value, one block", "abc", "98C68E9E3EC3AF77"},
      {"exactly 8 bytes gets no extra block", "Geheim12", "92039C712B371DBD"},
      {"9 bytes take two blocks", "ODBC_PROD", "A11BD1D4C7AA786D5C2907BCDB5CF510"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(EncryptPassword(row.plain, kCredentialKey), row.expected) << row.label;
  }
  const std::string longValue(41, 'L');
  EXPECT_EQ(EncryptPassword(longValue, kCredentialKey), OpenSslHex(longValue, kCredentialKey));
}

TEST(BlowfishTest, WipeMemoryClearsAScheduledContext) {
  BlowfishContext context;
  const unsigned char key[] = {'Q', 'U', 'E', 'N', 'D', 'A', 'L'};
  InitBlowfish(context, key, sizeof key);
  ASSERT_NE(context.p[0], 0u);

  WipeMemory(&context, sizeof context);
  for (std::uint32_t word : context.p) {
    EXPECT_EQ(word, 0u);
  }
  for (const auto& box : context.s) {
    for (std::uint32_t word : box) {
      ASSERT_EQ(word, 0u);
    }
  }
}

TEST(BlowfishTest, EmptyKeyActsAsZeroBytesInsteadOfFailing) {
  BlowfishContext noKey;
  BlowfishContext zeroKey;
  const unsigned char zeros[4] = {0, 0, 0, 0};
  InitBlowfish(noKey, nullptr, 0);
  InitBlowfish(zeroKey, zeros, sizeof zeros);
  EXPECT_EQ(std::memcmp(noKey.p, zeroKey.p, sizeof noKey.p), 0);
  EXPECT_EQ(std::memcmp(noKey.s, zeroKey.s, sizeof noKey.s), 0);
  EXPECT_EQ(DecryptPassword("", ""), "");
}

}  // namespace
}  // namespace korvadex
