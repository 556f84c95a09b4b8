// SHA-256 of a stream of bytes, from the platform's own crypto: libcrypto
// on Linux, BCrypt on Windows.
#ifndef KORVADEX_PLATFORM_SHA256_H_
#define KORVADEX_PLATFORM_SHA256_H_

#include <cstddef>
#include <memory>
#include <string>

namespace korvadex {

// Hashes what is passed to Update, in order. A hash the platform could not
// start or feed gives an empty digest rather than a wrong one.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const char* data, std::size_t size);

  // The digest as 64 lower-case hex digits; empty when the hash failed. Ends
  // the hash: later Updates are ignored and it gives the same text again.
  std::string HexDigest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvadex

#endif  // KORVADEX_PLATFORM_SHA256_H_
