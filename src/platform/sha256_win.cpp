// SHA-256 through Windows' BCrypt, which every Windows since Vista ships.
#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>


namespace korvadex {

namespace {

constexpr unsigned kDigestBytes = 32;

bool IsOk(NTSTATUS status) { return status >= 0; }

}  // namespace

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool isFailed = false;
  bool isFinished = false;
  std::string digest;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  // Without a buffer of ours BCrypt holds the hash object itself (Windows 7 and later).
  state_->isFailed = !IsOk(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
                     !IsOk(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(const char* data, std::size_t size) {
  while (!state_->isFailed && !state_->isFinished && size > 0) {
    const ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    state_->isFailed = !IsOk(BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), chunk, 0));
    data += chunk;
    size -= chunk;
  }
}

std::string Sha256::HexDigest() {
  if (state_->isFinished || state_->isFailed) return state_->isFailed ? std::string() : state_->digest;
  state_->isFinished = true;
  unsigned char bytes[kDigestBytes];
  if (!IsOk(BCryptFinishHash(state_->hash, bytes, kDigestBytes, 0))) {
    state_->isFailed = true;
    return {};
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  for (unsigned char byte : bytes) {
    state_->digest += kDigits[byte >> 4];
    state_->digest += kDigits[byte & 15];
  }
  return state_->digest;
}

}  // namespace korvadex
