// The operators' view of a credentials file: how korvadex will resolve its four
// keys and what probably went wrong, and the content of a new, well-formed file.
#include "checks/credential_check.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "credentials/blowfish.h"
#include "jobdef/job_definition.h"

namespace korvadex {

namespace {

// The reader's line buffers hold 199 and 399 characters, the line feed included.
constexpr std::size_t kFirstLineText = 198;
constexpr std::size_t kSecondLineText = 398;
constexpr std::size_t kHexBlock = 16;
constexpr std::string_view kMatchText = "KORVADEX";
constexpr std::string_view kMask = "********";

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      quoted += escaped;
    } else if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

bool IsDriverKey(std::string_view name) {
  return std::find(kDriverCredentialKeys.begin(), kDriverCredentialKeys.end(), name) !=
         kDriverCredentialKeys.end();
}

bool HasControlBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool IsUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A password must stay hidden even when another key is resolved to its entry.
bool IsSecret(const KeyResolution& resolution) {
  return resolution.key == "PASS" || resolution.entry.keyName == "PASS";
}

std::string ShownValue(const KeyResolution& resolution) {
  if (resolution.entry.value.empty()) return "(empty)";
  if (IsSecret(resolution)) return std::string(kMask);
  return Quote(resolution.entry.value);
}

std::string LineText(int line) { return "line " + std::to_string(line); }

void AddResolutionFindings(const KeyResolution& resolution, std::vector<std::string>& warnings) {
  const CredentialEntry& entry = resolution.entry;
  const std::string& key = resolution.key;
  if (entry.firstLine == 0) {
    warnings.push_back(key + " is missing: no entry matches, so korvadex uses an empty value.");
    return;
  }
  if (entry.keyName != key) {
    std::string reason;
    if (entry.number == 0) reason = "its number is 0";
    if (entry.matchText.empty()) {
      reason += reason.empty() ? "" : " and ";
      reason += "its match text is empty (fewer than two ';' in its first line)";
    }
    warnings.push_back(key + " is taken from the entry at " + LineText(entry.firstLine) + " with key name " +
                       Quote(entry.keyName) + ", because " + reason + "; such an entry matches every key.");
  }
  const std::string& hex = resolution.hexText;
  if (!std::all_of(hex.begin(), hex.end(), IsUpperHexDigit)) {
    warnings.push_back(key + " (" + LineText(entry.firstLine) +
                       "): the stored value is not upper-case hex text and decrypts to unrelated bytes.");
  }
  if (hex.size() % kHexBlock != 0) {
    warnings.push_back(key + " (" + LineText(entry.firstLine) + "): the stored value has " +
                       std::to_string(hex.size()) +
                       " characters, not a multiple of 16, so its last block is incomplete.");
  }
  if (IsWholeBlockHex(hex) && HasControlBytes(entry.value)) {
    warnings.push_back(key + " (" + LineText(entry.firstLine) +
                       "): the decrypted value holds control characters; it was probably not "
                       "encrypted with the suite's key.");
  }
  if (key == "DATABASE" && (entry.value.empty() || entry.value.size() > kDataSourceLimit)) {
    warnings.push_back("DATABASE has " + std::to_string(entry.value.size()) +
                       " characters; korvadex uses it only with 1 to 41 and otherwise connects "
                       "without a data source.");
  }
}

// True when some key resolves to the entry that begins at `line`.
bool IsTakenByAnyKey(const CredentialCheck& check, int line) {
  return std::any_of(check.keys.begin(), check.keys.end(),
                     [line](const KeyResolution& r) { return r.entry.firstLine == line; });
}

const KeyResolution* ResolutionOf(const CredentialCheck& check, std::string_view key) {
  for (const KeyResolution& resolution : check.keys) {
    if (resolution.key == key) return &resolution;
  }
  return nullptr;
}

void AddEntryFindings(const CredentialCheck& check, const std::vector<RawCredentialEntry>& entries,
                      std::vector<std::string>& warnings) {
  for (const RawCredentialEntry& raw : entries) {
    const CredentialEntry& fields = raw.fields;
    if (raw.firstLineCut) {
      warnings.push_back("The first line of the entry at " + LineText(fields.firstLine) + " has more than " +
                         std::to_string(kFirstLineText) +
                         " characters; its rest is read as the next line, "
                         "which shifts the pairing of every later line.");
    }
    if (raw.secondLineCut) {
      const int line = raw.firstLineCut ? fields.firstLine : fields.firstLine + 1;
      warnings.push_back("Line " + std::to_string(line) + " has more than " +
                         std::to_string(kSecondLineText) +
                         " characters; its rest is read as the next line, "
                         "which shifts the pairing of every later line.");
    }
    if (IsDriverKey(fields.keyName)) {
      const KeyResolution* resolution = ResolutionOf(check, fields.keyName);
      if (resolution != nullptr && resolution->entry.firstLine != fields.firstLine) {
        warnings.push_back("The " + fields.keyName + " entry at " + LineText(fields.firstLine) +
                           " is never read: " + fields.keyName + " is taken from " +
                           LineText(resolution->entry.firstLine) + ".");
      }
    } else if (!IsTakenByAnyKey(check, fields.firstLine)) {
      warnings.push_back("The entry at " + LineText(fields.firstLine) + " has the key name " +
                         Quote(fields.keyName) +
                         ", which korvadex never asks for (key names are exact and upper case).");
    }
  }
}

// Physical lines of the content; a last line without a line feed counts too.
std::size_t CountLines(std::string_view content) {
  std::size_t lines = static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n'));
  if (!content.empty() && content.back() != '\n') ++lines;
  return lines;
}

std::string_view LastLine(std::string_view content) {
  if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
  const std::size_t lineFeed = content.rfind('\n');
  return lineFeed == std::string_view::npos ? content : content.substr(lineFeed + 1);
}

// Only judged when no line was cut: a cut line already breaks the count and is reported.
void AddUnpairedLineFinding(std::string_view content, const std::vector<RawCredentialEntry>& entries,
                            std::vector<std::string>& warnings) {
  const bool isAnyCut = std::any_of(entries.begin(), entries.end(), [](const RawCredentialEntry& e) {
    return e.firstLineCut || e.secondLineCut;
  });
  const std::size_t lines = CountLines(content);
  if (isAnyCut || lines != entries.size() * 2 + 1 || LastLine(content).empty()) return;
  warnings.push_back("Line " + std::to_string(lines) +
                     " has no partner line and is ignored; every entry takes two lines.");
}

// The values in the order korvadex asks for their keys.
std::array<std::pair<std::string_view, const std::string*>, 4> KeyedValues(const InitValues& values) {
  return {{{"DATABASE", &values.dataSource},
           {"LOGIN", &values.login},
           {"PASS", &values.password},
           {"DB_SYSTEM", &values.dbSystem}}};
}

}  // namespace

CredentialCheck CheckCredentialContent(std::string_view content) {
  CredentialCheck check;
  const std::vector<RawCredentialEntry> entries = SplitCredentialEntries(content);
  for (std::string_view key : kDriverCredentialKeys) {
    KeyResolution resolution;
    resolution.key = std::string(key);
    // The request korvadex makes: empty match text and number 0.
    resolution.entry = FindCredential(content, "", key, 0);
    for (const RawCredentialEntry& raw : entries) {
      if (raw.fields.firstLine == resolution.entry.firstLine) resolution.hexText = raw.fields.value;
    }
    check.keys.push_back(resolution);
  }
  for (const KeyResolution& resolution : check.keys) AddResolutionFindings(resolution, check.warnings);
  AddEntryFindings(check, entries, check.warnings);
  AddUnpairedLineFinding(content, entries, check.warnings);
  return check;
}

std::string ResolvedDbSystem(const CredentialCheck& check) {
  const KeyResolution* resolution = ResolutionOf(check, "DB_SYSTEM");
  return resolution == nullptr ? std::string() : resolution->entry.value;
}

bool HasDbSystem(const CredentialCheck& check) {
  const KeyResolution* resolution = ResolutionOf(check, "DB_SYSTEM");
  return resolution != nullptr && resolution->entry.firstLine != 0;
}

std::string ShownJobPath(const CredentialCheck& check, std::string_view jobPath) {
  const KeyResolution* resolution = ResolutionOf(check, "DB_SYSTEM");
  if (resolution == nullptr || !IsSecret(*resolution)) return std::string(jobPath);
  return JobDefinitionPath(kMask);
}

void AddJobFileFinding(CredentialCheck& check, std::string_view jobPath, bool isFound) {
  if (isFound) return;
  check.warnings.push_back("The job definition file " + std::string(jobPath) +
                           " is not found in the current directory; korvadex would end with exit code 3.");
}

void AddPermissionFinding(CredentialCheck& check, std::string_view path, unsigned mode) {
  if ((mode & 0006u) == 0) return;
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
  check.warnings.push_back(std::string(path) + " is open to every user (mode " + octal +
                           "); the fixed key only hides the values, so restrict it with chmod 600.");
}

void AddUnjudgedPermissionNote(CredentialCheck& check, std::string_view path) {
  check.notes.push_back("Who may read " + std::string(path) +
                        " is set by its access rules (ACL), which this check does not judge; the fixed key only "
                        "hides the values, so let only the accounts that run korvadex read it.");
}

std::string FormatCheckReport(const CredentialCheck& check, std::string_view credentialPath,
                              std::string_view jobPath, bool isJobFileFound) {
  std::string report = "Credentials file: " + std::string(credentialPath) + "\n";
  for (const KeyResolution& resolution : check.keys) {
    char key[16];
    std::snprintf(key, sizeof key, "%-10s", resolution.key.c_str());
    report += "  ";
    report += key;
    if (resolution.entry.firstLine == 0) {
      report += " not found (empty)\n";
      continue;
    }
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap in the
    // operator+ chain (-Wrestrict) and warnings are errors here.
    report += ' ';
    report += LineText(resolution.entry.firstLine);
    report += "  ";
    report += ShownValue(resolution);
    if (resolution.entry.keyName != resolution.key) {
      report += "  (entry " + Quote(resolution.entry.keyName) + ")";
    }
    report += "\n";
  }
  if (!jobPath.empty()) {
    report +=
        "Job definition file: " + std::string(jobPath) + (isJobFileFound ? " (found)\n" : " (not found)\n");
  }
  for (const std::string& note : check.notes) report += "info: " + note + "\n";
  for (const std::string& warning : check.warnings) report += "warning: " + warning + "\n";
  if (check.warnings.empty()) {
    report += "No warnings.\n";
  } else {
    report +=
        std::to_string(check.warnings.size()) + (check.warnings.size() == 1 ? " warning.\n" : " warnings.\n");
  }
  return report;
}

bool IsWholeBlockHex(std::string_view hexText) {
  return hexText.size() % kHexBlock == 0 && std::all_of(hexText.begin(), hexText.end(), IsUpperHexDigit);
}

std::string CheckPlainValue(std::string_view key, std::string_view value) {
  const std::string name(key);
  if (value.find_first_of("\r\n") != std::string_view::npos) return name + " contains a line end.";
  if (value.find('\0') != std::string_view::npos) {
    return name + " contains a zero byte, which would end the value.";
  }
  if (value.size() > kPlainValueLimit) {
    return name + " has " + std::to_string(value.size()) +
           " characters; at most 96 fit into the credentials file.";
  }
  if (key == "DATABASE" && (value.empty() || value.size() > kDataSourceLimit)) {
    return "DATABASE must have 1 to 41 characters (it has " + std::to_string(value.size()) + ").";
  }
  if (key == "DB_SYSTEM") {
    if (value.empty() || value.size() > kDbSystemLimit) {
      return "DB_SYSTEM must have 1 to 24 characters (it has " + std::to_string(value.size()) + ").";
    }
    if (value.find_first_of("/\\") != std::string_view::npos) {
      return "DB_SYSTEM is part of the file name KORVADEX.<DB_SYSTEM>.INI and must not contain '/' or '\\'.";
    }
  }
  return std::string();
}

std::string CheckInitValues(const InitValues& values) {
  for (const auto& [key, value] : KeyedValues(values)) {
    std::string problem = CheckPlainValue(key, *value);
    if (!problem.empty()) return problem;
  }
  return std::string();
}

std::string BuildCredentialFile(const InitValues& values) {
  std::string content;
  int number = 1;
  for (const auto& [key, value] : KeyedValues(values)) {
    // A non-empty match text and a non-zero number keep each entry from
    // matching any key but its own.
    content += ";";
    content += kMatchText;
    content += ";";
    content += key;
    content += "\n";
    content += std::to_string(number++) + ";" + std::string(key) + ";" +
               EncryptPassword(*value, kCredentialKey) + "\n";
  }
  return content;
}

}  // namespace korvadex
