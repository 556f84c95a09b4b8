// Masks what a text quotes of a secret.
#include "credentials/secret_scrub.h"

#include <algorithm>
#include <vector>

namespace korvadex {

void ScrubSecret(std::string& text, std::string_view secret) {
  if (secret.empty() || text.empty()) return;
  const std::size_t window = std::min(secret.size(), kScrubWindow);
  // Marked first and masked after, so that a mask never hides a later
  // overlapping copy from the search.
  std::vector<bool> isMasked(text.size(), false);
  for (std::size_t from = 0; from + window <= secret.size(); ++from) {
    const std::string_view piece = secret.substr(from, window);
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
      std::fill(isMasked.begin() + static_cast<std::ptrdiff_t>(at),
                isMasked.begin() + static_cast<std::ptrdiff_t>(at + window), true);
    }
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isMasked[i]) text[i] = '*';
  }
}

}  // namespace korvadex
