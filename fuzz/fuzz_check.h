// A check for the fuzz targets: a broken invariant aborts, so libFuzzer keeps
// the input that broke it as a crash.
#ifndef KORVADEX_FUZZ_FUZZ_CHECK_H_
#define KORVADEX_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

namespace korvadex {

inline void FuzzCheck(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace korvadex

#endif  // KORVADEX_FUZZ_FUZZ_CHECK_H_
