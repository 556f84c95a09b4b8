// Fuzzes the credentials file reader: text-mode reading, line pairing with the
// fixed line limits, field splitting and the search the run driver makes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "credentials/blowfish.h"
#include "credentials/credential_reader.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvadex;
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string content = TextModeContent(raw);
  // Text mode: the text ends at SUB, and each CR directly before an LF goes.
  const std::string_view text = raw.substr(0, raw.find('\x1a'));
  std::size_t lineEnds = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) lineEnds += text[i] == '\r' && text[i + 1] == '\n';
  FuzzCheck(content.size() == text.size() - lineEnds, "only CR of CR LF dropped");
  FuzzCheck(content.find('\x1a') == std::string::npos, "SUB ends the text");

  const std::vector<RawCredentialEntry> entries = SplitCredentialEntries(content);
  for (const RawCredentialEntry& entry : entries) {
    FuzzCheck(entry.fields.matchText.size() <= 200, "match text within its field");
    FuzzCheck(entry.fields.keyName.size() <= 200, "key name within its field");
    FuzzCheck(entry.fields.value.size() <= 200, "value within its field");
  }

  // The driver's four requests: the first entry that meets any one criterion wins.
  for (std::string_view key : {"DATABASE", "LOGIN", "PASS", "DB_SYSTEM"}) {
    const CredentialEntry found = FindCredential(content, "", key, 0);
    const RawCredentialEntry* expected = nullptr;
    for (const RawCredentialEntry& entry : entries) {
      if (entry.fields.matchText.empty() || entry.fields.keyName == key || entry.fields.number == 0) {
        expected = &entry;
        break;
      }
    }
    if (expected == nullptr) {
      FuzzCheck(found.value.empty() && found.keyName.empty() && found.matchText.empty() &&
                    found.number == 0,
                "no match leaves the entry cleared");
      continue;
    }
    FuzzCheck(found.keyName == expected->fields.keyName && found.number == expected->fields.number &&
                  found.matchText == expected->fields.matchText,
              "the first matching entry is returned");
    FuzzCheck(found.value == DecryptPassword(expected->fields.value, kCredentialKey),
              "the returned value is the decrypted stored value");
    FuzzCheck(found.value.find('\0') == std::string::npos, "a value ends at its first zero byte");
    FuzzCheck(found.value.size() <= 13 * 8, "at most 13 blocks of plain text");
  }
  return 0;
}
