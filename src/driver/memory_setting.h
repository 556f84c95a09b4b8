// The operator's memory budget for the records: the variable KORVADEX_MEMORY.
#ifndef KORVADEX_DRIVER_MEMORY_SETTING_H_
#define KORVADEX_DRIVER_MEMORY_SETTING_H_

#include <cstdint>

namespace korvadex {

// The bytes KORVADEX_MEMORY asks for (ParseMemorySize), or 0 when it is
// unset, empty or cannot be read; in the last case a /D run (`debugMode`)
// says so on standard output and the default budget stays.
std::uint64_t ReadMemorySetting(int debugMode);

}  // namespace korvadex

#endif  // KORVADEX_DRIVER_MEMORY_SETTING_H_
