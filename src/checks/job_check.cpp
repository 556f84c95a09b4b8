// The operators' check of a job definition file: what korvadex would silently
// cut, skip or misread in each job section, found with the look-ups it makes.
#include "checks/job_check.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "db/row_buffer.h"
#include "jobdef/job_definition.h"

namespace korvadex {

namespace {

using SectionKeys = std::unordered_map<std::string, std::string>;

// A look-up of this size gives the whole value as the file holds it, so it
// can be held against what korvadex's smaller buffer keeps.
constexpr std::size_t kWholeValue = std::numeric_limits<std::size_t>::max();
// Characters shown on each side of a cut.
constexpr std::size_t kExcerptLength = 20;
constexpr std::array<std::string_view, 3> kColumnTypes = {"CHAR", "DEC", "TXT"};
// The numbered keys korvadex asks for, each with the digits it writes.
constexpr std::array<std::pair<std::string_view, std::size_t>, 4> kNumberedKeys = {
    {{"SQL", 3}, {"FELD", 2}, {"FTYP", 2}, {"FLEN", 2}}};

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// Control bytes escaped, so that a damaged file cannot steer the terminal.
std::string Printable(std::string_view text, bool isQuoted) {
  std::string shown;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      if (isQuoted && (c == '"' || c == '\\')) shown += '\\';
      shown += c;
    }
  }
  return shown;
}

std::string Quote(std::string_view text) { return "\"" + Printable(text, true) + "\""; }

// "A", "A and B", "A, B and C".
std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) joined += i + 1 == names.size() ? " and " : ", ";
    joined += names[i];
  }
  return joined;
}

bool IsAllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string IsOrAre(std::size_t count) { return count == 1 ? " is" : " are"; }

void Add(std::vector<JobFinding>& findings, JobFindingKind kind, const std::string& section, std::string text) {
  findings.push_back(JobFinding{kind, false, section, std::move(text)});
}

bool HasKey(const SectionKeys& keys, const std::string& key) { return keys.contains(LowerAscii(key)); }

std::string MissingOrEmpty(const SectionKeys& keys, const std::string& key) {
  return HasKey(keys, key) ? "empty" : "missing";
}

// Checks the statement pieces and returns those korvadex reads, cut as it cuts them.
std::vector<std::string> CheckPieces(const ProfileData& profile, const std::string& section,
                                     const SectionKeys& keys, std::vector<JobFinding>& findings) {
  std::vector<std::string> pieces;
  for (int piece = 1; piece <= kMaxPieces; ++piece) {
    const std::string key = PieceKey(piece);
    std::string value = ProfileString(profile, section, key, "", kPieceSize);
    if (value.empty()) break;
    const std::string whole = ProfileString(profile, section, key, "", kWholeValue);
    if (whole.size() > value.size()) {
      const std::size_t kept = value.size();
      const std::string keptEnd = whole.substr(kept - std::min(kept, kExcerptLength), kExcerptLength);
      Add(findings, JobFindingKind::PieceCut, section,
          key + " has " + std::to_string(whole.size()) + " characters and is cut after " + std::to_string(kept) +
              ": the kept part ends with " + Quote(keptEnd) + ", the lost part begins with " +
              Quote(whole.substr(kept, kExcerptLength)) + ".");
    }
    pieces.push_back(std::move(value));
  }
  const int stop = static_cast<int>(pieces.size()) + 1;
  if (stop > kMaxPieces) return pieces;
  const std::string stopKey = PieceKey(stop);
  if (pieces.empty()) {
    Add(findings, JobFindingKind::NoStatement, section,
        stopKey + " is " + MissingOrEmpty(keys, stopKey) +
            ", so the job has no statement; korvadex would end with exit code 3.");
  }
  // Walking the section's keys, not all 999 numbers, keeps a file of many sections quick.
  std::vector<int> ignoredNumbers;
  for (const auto& [key, value] : keys) {
    const std::string_view digits = std::string_view(key).substr(std::min<std::size_t>(3, key.size()));
    if (!key.starts_with("sql") || digits.size() != 3 || !IsAllDigits(digits) ||
        ProfileString(profile, section, key, "", kPieceSize).empty()) {
      continue;
    }
    const int piece = (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
    if (piece > stop) ignoredNumbers.push_back(piece);
  }
  std::sort(ignoredNumbers.begin(), ignoredNumbers.end());
  std::vector<std::string> ignored;
  for (int piece : ignoredNumbers) ignored.push_back(PieceKey(piece));
  if (!ignored.empty()) {
    Add(findings, JobFindingKind::PieceGap, section,
        JoinNames(ignored) + IsOrAre(ignored.size()) + " never read: the statement stops at " + stopKey +
            ", which is " + MissingOrEmpty(keys, stopKey) + ".");
  }
  return pieces;
}

enum class MarkerUse {
  NoStatement,  // nothing to look at
  Replaced,     // the statement holds $parm01
  Broken,       // only a marker korvadex does not replace, already reported
  None,
};

// Checks the terminal markers of the statement korvadex assembles.
MarkerUse CheckMarkers(const std::vector<std::string>& pieces, const std::string& statement,
                       const std::string& section, std::vector<JobFinding>& findings) {
  const std::string lower = LowerAscii(statement);
  std::vector<std::string> variants;
  for (std::size_t at = lower.find(kTerminalMarker); at != std::string::npos;
       at = lower.find(kTerminalMarker, at + 1)) {
    const std::string written = statement.substr(at, kTerminalMarker.size());
    if (written == kTerminalMarker) continue;
    const std::string shown = Quote(written);
    if (std::find(variants.begin(), variants.end(), shown) == variants.end()) variants.push_back(shown);
  }
  if (!variants.empty()) {
    Add(findings, JobFindingKind::MarkerCase, section,
        JoinNames(variants) + IsOrAre(variants.size()) +
            " not replaced by the terminal name: only $parm01 in exactly this letter case is.");
  }
  bool isSplit = false;
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    for (std::size_t head = 1; head < kTerminalMarker.size(); ++head) {
      if (pieces[i].ends_with(kTerminalMarker.substr(0, head)) &&
          pieces[i + 1].starts_with(kTerminalMarker.substr(head))) {
        Add(findings, JobFindingKind::MarkerSplit, section,
            "$parm01 is split between " + PieceKey(static_cast<int>(i) + 1) + " and " +
                PieceKey(static_cast<int>(i) + 2) +
                "; the blank that joins the pieces breaks it, so it is not replaced.");
        isSplit = true;
        break;
      }
    }
  }
  if (statement.find(kTerminalMarker) != std::string::npos) return MarkerUse::Replaced;
  return variants.empty() && !isSplit ? MarkerUse::None : MarkerUse::Broken;
}

// One column as korvadex reads it, beside the whole values in the file.
struct ColumnRead {
  std::string name;        // FELDnn, cut as korvadex cuts it
  std::string wholeType;   // FTYPnn as the file holds it
  std::string type;        // FTYPnn, cut as korvadex cuts it
  std::string wholeWidth;  // FLENnn as the file holds it
  std::string widthText;   // FLENnn, cut as korvadex cuts it
  std::int32_t width = 0;  // the width korvadex makes of widthText
};

ColumnRead ReadColumn(const ProfileData& profile, const std::string& section, int column) {
  ColumnRead read;
  read.name = ProfileString(profile, section, ColumnKey("FELD", column), "", kColumnNameSize);
  read.wholeType = ProfileString(profile, section, ColumnKey("FTYP", column), "", kWholeValue);
  read.type = ProfileString(profile, section, ColumnKey("FTYP", column), "", kColumnTypeSize);
  read.wholeWidth = ProfileString(profile, section, ColumnKey("FLEN", column), "", kWholeValue);
  read.widthText = ProfileString(profile, section, ColumnKey("FLEN", column), "", kColumnWidthSize);
  read.width = ParseWidth(read.widthText);
  return read;
}

bool IsColumnType(std::string_view type) {
  return std::find(kColumnTypes.begin(), kColumnTypes.end(), type) != kColumnTypes.end();
}

// Digits only, 1 to 999: what a width should be written as.
bool IsPlainWidth(std::string_view text) {
  return !text.empty() && text.size() <= kColumnWidthSize - 1 && IsAllDigits(text) &&
         text.find_first_not_of('0') != std::string_view::npos;
}

void CheckTypeAndWidth(const ColumnRead& read, int column, const std::string& section,
                       std::vector<JobFinding>& findings) {
  const std::string typeKey = ColumnKey("FTYP", column);
  const std::string widthKey = ColumnKey("FLEN", column);
  if (!read.wholeType.empty() && !IsColumnType(read.wholeType)) {
    Add(findings, JobFindingKind::TypeUnknown, section,
        IsColumnType(read.type)
            ? typeKey + " is " + Quote(read.wholeType) + "; korvadex reads only its first four characters, " +
                  read.type + "."
            : typeKey + " is " + Quote(read.wholeType) +
                  ", none of CHAR, DEC and TXT (exact upper case): the column is left out of every record.");
  }
  if (!read.wholeWidth.empty() && !IsPlainWidth(read.wholeWidth)) {
    std::string text = widthKey + " is " + Quote(read.wholeWidth);
    if (read.wholeWidth.size() > read.widthText.size()) {
      text += "; korvadex reads only its first three characters, " + Quote(read.widthText) + ", as the width ";
    } else {
      text += ", not a plain number from 1 to 999; korvadex reads it as the width ";
    }
    text += std::to_string(read.width);
    text += read.width <= 0 ? ", so the column is left out of every record." : ".";
    Add(findings, JobFindingKind::WidthNotPlain, section, std::move(text));
  }
}

// True when the column adds to the record, by the rule the record layout applies.
bool IsWritten(const ColumnRead& read) { return !read.name.empty() && IsColumnType(read.type) && read.width > 0; }

void CheckColumns(const ProfileData& profile, const std::string& section, bool hasStatement,
                  std::vector<JobFinding>& findings) {
  std::array<ColumnRead, kMaxColumns> columns;
  int highestNamed = 0;
  for (int column = 1; column <= kMaxColumns; ++column) {
    columns[column - 1] = ReadColumn(profile, section, column);
    if (!columns[column - 1].name.empty()) highestNamed = column;
  }
  // Unlike the pieces, the columns go on after a gap, each taking the result
  // column of its own number: a missing FELD does not move the later ones up.
  std::vector<std::string> gapKeys;
  std::vector<std::string> gapNumbers;
  for (int column = 1; column < highestNamed; ++column) {
    const ColumnRead& read = columns[column - 1];
    if (read.name.empty() && read.wholeType.empty() && read.wholeWidth.empty()) {
      gapKeys.push_back(ColumnKey("FELD", column));
      gapNumbers.push_back(std::to_string(column));
    }
  }
  if (!gapKeys.empty()) {
    const bool isOne = gapKeys.size() == 1;
    Add(findings, JobFindingKind::ColumnGap, section,
        JoinNames(gapKeys) + IsOrAre(gapKeys.size()) + " missing or empty while " +
            ColumnKey("FELD", highestNamed) + " is set: result column" + (isOne ? " " : "s ") +
            JoinNames(gapNumbers) + (isOne ? " is" : " are") +
            " not written, and every later FELDnn still takes result column nn. Leave a column that is not "
            "wanted out of the statement instead.");
  }
  for (int column = 1; column <= kMaxColumns; ++column) {
    const ColumnRead& read = columns[column - 1];
    const std::string nameKey = ColumnKey("FELD", column);
    const std::string typeKey = ColumnKey("FTYP", column);
    const std::string widthKey = ColumnKey("FLEN", column);
    if (read.name.empty()) {
      std::vector<std::string> setKeys;
      if (!read.wholeType.empty()) setKeys.push_back(typeKey);
      if (!read.wholeWidth.empty()) setKeys.push_back(widthKey);
      if (setKeys.empty()) continue;
      Add(findings, JobFindingKind::ColumnWithoutName, section,
          JoinNames(setKeys) + (setKeys.size() == 1 ? " is" : " are") + " set, but " + nameKey +
              " is missing or empty: result column " + std::to_string(column) + " is not written.");
      continue;
    }
    if (read.wholeType.empty() || read.wholeWidth.empty()) {
      const std::string lacking = read.wholeType.empty() && read.wholeWidth.empty()
                                      ? "neither " + typeKey + " nor " + widthKey
                                      : "no " + (read.wholeType.empty() ? typeKey : widthKey);
      Add(findings, JobFindingKind::ColumnIncomplete, section,
          nameKey + " (" + Quote(read.name) + ") has " + lacking + ": the column is left out of every record.");
    }
    CheckTypeAndWidth(read, column, section, findings);
  }
  if (hasStatement && std::none_of(columns.begin(), columns.end(), IsWritten)) {
    Add(findings, JobFindingKind::NoColumn, section,
        "No column is written (each needs a FELDnn, an FTYPnn of CHAR, DEC or TXT and an FLENnn above 0), so "
        "every record is empty and the download file gets no data.");
  }
}

// Keys that look like statement pieces or columns but are never asked for.
void CheckNumberedKeys(const SectionKeys& keys, const std::string& section, std::vector<JobFinding>& findings) {
  // Sorted by prefix, then number, then the digits as written.
  using Unread = std::tuple<std::size_t, std::uint64_t, std::string>;
  std::vector<Unread> beyondColumns;
  std::vector<Unread> neverAsked;
  for (const auto& [lowerKey, value] : keys) {
    if (value.empty()) continue;
    const std::string key = UpperAscii(lowerKey);
    for (std::size_t p = 0; p < kNumberedKeys.size(); ++p) {
      const auto [prefix, digits] = kNumberedKeys[p];
      if (!key.starts_with(prefix) || key.size() == prefix.size()) continue;
      const std::string_view digitText = std::string_view(key).substr(prefix.size());
      if (!IsAllDigits(digitText)) continue;
      const std::size_t significant = digitText.find_first_not_of('0');
      std::uint64_t number = 0;
      // More than nine significant digits is beyond every limit; the number only orders the list.
      if (significant != std::string_view::npos && digitText.size() - significant > 9) {
        number = std::numeric_limits<std::uint64_t>::max();
      } else {
        for (char c : digitText) number = number * 10 + static_cast<std::uint64_t>(c - '0');
      }
      const bool isPiece = prefix == "SQL";
      const std::uint64_t highest = isPiece ? kMaxPieces : kMaxColumns;
      if (digitText.size() == digits && number >= 1 && number <= highest) continue;
      (!isPiece && number > highest ? beyondColumns : neverAsked).emplace_back(p, number, key);
    }
  }
  auto names = [](std::vector<Unread>& unread) {
    std::sort(unread.begin(), unread.end());
    std::vector<std::string> keyNames;
    for (const Unread& entry : unread) keyNames.push_back(std::get<2>(entry));
    return keyNames;
  };
  if (!beyondColumns.empty()) {
    const std::vector<std::string> keyNames = names(beyondColumns);
    Add(findings, JobFindingKind::ColumnBeyond30, section,
        JoinNames(keyNames) + IsOrAre(keyNames.size()) + " never read: korvadex reads columns 01 to 30 only.");
  }
  if (!neverAsked.empty()) {
    const std::vector<std::string> keyNames = names(neverAsked);
    Add(findings, JobFindingKind::KeyNeverRead, section,
        JoinNames(keyNames) + IsOrAre(keyNames.size()) +
            " never read: korvadex asks only for SQL001 to SQL999 and for FELD, FTYP and FLEN 01 to 30, "
            "with exactly these digits.");
  }
}

}  // namespace

std::vector<JobFinding> CheckJobDefinition(const ProfileData& profile) {
  std::vector<JobFinding> findings;
  if (profile.sectionNames.empty()) {
    findings.push_back(JobFinding{JobFindingKind::NoSection, false, std::nullopt,
                                  "The job definition file holds no section; korvadex would end with exit code 3 "
                                  "for every job."});
    return findings;
  }
  bool isMarkerUsed = false;
  for (const std::string& section : profile.sectionNames) {
    const SectionKeys& keys = profile.sections.at(LowerAscii(section));
    const std::vector<std::string> pieces = CheckPieces(profile, section, keys, findings);
    MarkerUse markerUse = MarkerUse::NoStatement;
    if (!pieces.empty()) markerUse = CheckMarkers(pieces, AssembleStatement(profile, section), section, findings);
    CheckColumns(profile, section, !pieces.empty(), findings);
    CheckNumberedKeys(keys, section, findings);
    if (markerUse == MarkerUse::Replaced) isMarkerUsed = true;
    if (markerUse == MarkerUse::None) {
      findings.push_back(JobFinding{JobFindingKind::NoTerminalMarker, true, section,
                                    "The statement has no $parm01, so every terminal gets the same rows; that is "
                                    "right only for a job that is not run per terminal."});
    }
  }
  if (isMarkerUsed) {
    findings.push_back(JobFinding{JobFindingKind::TerminalAsSqlText, true, std::nullopt,
                                  "The terminal name replaces $parm01 as SQL text, unquoted and unchecked: pass "
                                  "only trusted terminal names without quotes, since some drivers run a second "
                                  "statement after a ';'."});
  }
  return findings;
}

std::string FormatJobFinding(const JobFinding& finding) {
  if (!finding.section) return finding.text;
  return "[" + Printable(*finding.section, false) + "] " + finding.text;
}

}  // namespace korvadex
