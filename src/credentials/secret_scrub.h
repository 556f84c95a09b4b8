// Masks what a text quotes of a secret, so a driver's message that echoes
// the password can be kept and shown.
#ifndef KORVADEX_CREDENTIALS_SECRET_SCRUB_H_
#define KORVADEX_CREDENTIALS_SECRET_SCRUB_H_

#include <string>
#include <string_view>

namespace korvadex {

// The longest run of a secret's characters that may stay in a text: a
// shorter secret is masked only where it appears whole.
inline constexpr std::size_t kScrubWindow = 12;

// Replaces with '*' every byte of `text` that lies in a copy of any
// kScrubWindow consecutive characters of `secret` (of all of it when it is
// shorter). An empty secret changes nothing.
void ScrubSecret(std::string& text, std::string_view secret);

}  // namespace korvadex

#endif  // KORVADEX_CREDENTIALS_SECRET_SCRUB_H_
