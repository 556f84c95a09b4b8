// SHA-256 through OpenSSL's libcrypto.
#include "platform/sha256.h"

#include <openssl/evp.h>

namespace korvadex {

namespace {

std::string ToHex(const unsigned char* bytes, unsigned size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

}  // namespace

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool isFailed = false;
  bool isFinished = false;
  std::string digest;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  state_->isFailed = state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() {
  if (state_->context != nullptr) EVP_MD_CTX_free(state_->context);
}

void Sha256::Update(const char* data, std::size_t size) {
  if (state_->isFailed || state_->isFinished || size == 0) return;
  state_->isFailed = EVP_DigestUpdate(state_->context, data, size) != 1;
}

std::string Sha256::HexDigest() {
  if (state_->isFinished || state_->isFailed) return state_->isFailed ? std::string() : state_->digest;
  state_->isFinished = true;
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (EVP_DigestFinal_ex(state_->context, bytes, &size) != 1) {
    state_->isFailed = true;
    return {};
  }
  state_->digest = ToHex(bytes, size);
  return state_->digest;
}

}  // namespace korvadex
