// The published Blowfish initial tables, shared only inside the credentials module.
#ifndef KORVADEX_CREDENTIALS_BLOWFISH_TABLES_H_
#define KORVADEX_CREDENTIALS_BLOWFISH_TABLES_H_

#include <cstddef>
#include <cstdint>

namespace korvadex {

inline constexpr std::size_t kBlowfishPWords = 18;
inline constexpr std::size_t kBlowfishSBoxes = 4;
inline constexpr std::size_t kBlowfishSBoxWords = 256;

// P[0..17] then S0..S3, as the key schedule starts from them; never modified.
extern const std::uint32_t kBlowfishInitialP[kBlowfishPWords];
extern const std::uint32_t kBlowfishInitialS[kBlowfishSBoxes][kBlowfishSBoxWords];

}  // namespace korvadex

#endif  // KORVADEX_CREDENTIALS_BLOWFISH_TABLES_H_
