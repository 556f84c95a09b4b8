// The operator's memory budget for the records: the variable KORVADEX_MEMORY.
#include "driver/memory_setting.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "output/record_list.h"

namespace korvadex {

std::uint64_t ReadMemorySetting(int debugMode) {
  const char* text = std::getenv("KORVADEX_MEMORY");
  if (text == nullptr || *text == '\0') return 0;
  const std::optional<std::uint64_t> bytes = ParseMemorySize(text);
  if (bytes) return *bytes;
  // A typing error must not fail a nightly export: the default is what it
  // had before the variable was set.
  if (debugMode) std::printf("KORVADEX_MEMORY ungueltig, ignoriert: \"%s\"\n", text);
  return 0;
}

}  // namespace korvadex
