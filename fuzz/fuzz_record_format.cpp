// Fuzzes the record formatter with arbitrary column definitions and arbitrary
// row bytes, including slots without a terminator.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "db/row_buffer.h"
#include "fuzz_check.h"
#include "jobdef/column_def.h"
#include "output/record_format.h"

namespace korvadex {
namespace {

bool IsFieldBlank(char c) { return c == ' ' || c == '\t'; }

// The field one column must contribute, written out plainly as an oracle.
std::string ExpectedField(std::string_view value, std::int32_t width, const std::string& type) {
  const bool isChar = type == "CHAR";
  const bool isDec = type == "DEC";
  const bool isTxt = type == "TXT";
  if ((!isChar && !isDec && !isTxt) || width <= 0) return "";
  while (!value.empty() && IsFieldBlank(value.back())) value.remove_suffix(1);
  if (!isTxt) {
    while (!value.empty() && IsFieldBlank(value.front())) value.remove_prefix(1);
  }
  const std::size_t w = static_cast<std::size_t>(width);
  if (value.size() >= w) return std::string(value.substr(value.size() - w));
  if (isDec) return std::string(w - value.size(), '0') + std::string(value);
  return std::string(value) + std::string(w - value.size(), ' ');
}

const char* const kTypes[] = {"CHAR", "DEC", "TXT", "char", "", "CHA", "DEC ", "TXTX"};

}  // namespace
}  // namespace korvadex

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvadex;
  FuzzedDataProvider provider(data, size);
  ColumnTable columns;
  for (ColumnDef& column : columns) {
    column.name = provider.ConsumeBool() ? "F" : "";
    column.type = kTypes[provider.ConsumeIntegralInRange<std::size_t>(0, std::size(kTypes) - 1)];
    column.width = provider.ConsumeIntegralInRange<std::int32_t>(-1000, 1000);
  }
  RowBuffer row;
  std::memset(&row, 'x', sizeof row);
  for (auto& slot : row.slots) {
    // Whatever the bytes, a slot is only read up to 99 of them.
    const std::string bytes = provider.ConsumeBytesAsString(provider.ConsumeIntegralInRange<std::size_t>(0, kSlotSize));
    std::memcpy(slot, bytes.data(), bytes.size());
  }

  std::string record = "left over from the previous row";
  FormatRecord(columns, row, record);

  std::string expected;
  for (int n = 0; n < kMaxColumns; ++n) {
    if (columns[n].name.empty()) continue;
    const char* slot = row.slots[n];
    expected += ExpectedField(std::string_view(slot, strnlen(slot, kSlotSize - 1)), columns[n].width,
                              columns[n].type);
  }
  FuzzCheck(record == expected, "record is the concatenation of the named columns' fields");
  return 0;
}
