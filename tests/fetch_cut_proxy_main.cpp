// The cut proxy as a program of its own, for runs that no test process hosts
// (korvadex.exe under wine): prints its port, relays until its standard input
// ends, then says whether it cut.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fetch_cut_proxy.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: fetch_cut_proxy SERVER_PORT CUT_FETCH ROWS_BEFORE_CUT\n");
    return 2;
  }
  korvadex::testing::FetchCutProxy proxy(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]));
  if (!proxy.Start()) return 1;
  std::printf("%d\n", proxy.port());
  std::fflush(stdout);
  char byte = 0;
  while (::read(0, &byte, 1) > 0) {
  }
  std::printf(proxy.hasCut() ? "cut\n" : "not cut\n");
  return 0;
}
