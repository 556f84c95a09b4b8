// Reads the suite's credentials file: two-line entries paired by position, with
// the fixed line limits and field rules that existing files were written against.
#include "credentials/credential_reader.h"

#include <algorithm>
#include <limits>

#include "credentials/blowfish.h"
#include "platform/file_io.h"

namespace korvadex {

namespace {

// Line buffers of the reader, terminator included: a line longer than this is
// cut and its remainder becomes the next line, which is what shifts the pairing.
constexpr std::size_t kFirstLineBuffer = 200;
constexpr std::size_t kSecondLineBuffer = 400;
constexpr std::size_t kNumberTextLimit = 11;
constexpr std::size_t kFieldLimit = 200;
constexpr char kSeparator = ';';
constexpr char kEndOfText = 26;
constexpr std::size_t kReadChunk = 4096;
// A credentials file is a few lines; a path that leads to an endless source
// (a device, a pipe) must not grow the buffer until memory runs out.
constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

// Field rules work on NUL-terminated texts, so a zero byte inside a line ends
// what those rules can see of it.
std::string_view VisibleText(std::string_view line) {
  return line.substr(0, line.find('\0'));
}

std::string CutToField(std::string text) {
  if (text.size() > kFieldLimit) {
    text.resize(kFieldLimit);
  }
  return text;
}

bool IsAtoiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading of a number, but saturating at the int32 limits where atoi
// itself would be undefined.
std::int32_t ParseNumber(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsAtoiSpace(text[pos])) {
    ++pos;
  }
  bool isNegative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    isNegative = text[pos] == '-';
    ++pos;
  }
  constexpr std::int64_t kMaxMagnitude = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  std::int64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    magnitude = std::min(magnitude * 10 + (text[pos] - '0'), kMaxMagnitude);
  }
  const std::int64_t value = isNegative ? -magnitude : magnitude;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

CredentialEntry ParseEntry(std::string_view firstLine, std::string_view secondLine) {
  firstLine = VisibleText(firstLine);
  secondLine = VisibleText(secondLine);
  CredentialEntry entry;

  const std::int32_t p1 = FindNthChar(firstLine, kSeparator, 1);
  const std::int32_t p2 = FindNthChar(firstLine, kSeparator, 2);
  entry.matchText = CutToField(CopySubstring(firstLine, p1 + 1, p2 - p1 - 1));

  const std::int32_t q1 = FindNthChar(secondLine, kSeparator, 1);
  const std::int32_t q2 = FindNthChar(secondLine, kSeparator, 2);
  // Without any separator the line has no number field at all, so it counts as 0.
  if (q1 > 0) {
    const std::string_view numberText = secondLine.substr(0, static_cast<std::size_t>(q1));
    entry.number = ParseNumber(numberText.substr(0, kNumberTextLimit));
  }
  entry.keyName = CutToField(CopySubstring(secondLine, q1 + 1, q2 - q1 - 1));

  std::string_view value = q1 < 0 ? secondLine : secondLine.substr(static_cast<std::size_t>(q2) + 1);
  value = value.substr(0, value.find('\n'));
  entry.value = CutToField(std::string(value));
  return entry;
}

// Walks text-mode content the way line-by-line reading with the two fixed
// buffers does; shared by the search and the operators' check so both pair alike.
class EntryScanner {
 public:
  explicit EntryScanner(std::string_view content) : content_(content) {}

  // Fills `entry` with the next pair of lines; false when no complete pair is left.
  bool Next(RawCredentialEntry& entry) {
    const int lineNumber = lineNumber_;
    std::string_view firstLine;
    std::string_view secondLine;
    bool isFirstCut = false;
    bool isSecondCut = false;
    if (!ReadLine(kFirstLineBuffer, firstLine, isFirstCut)) {
      return false;
    }
    if (!ReadLine(kSecondLineBuffer, secondLine, isSecondCut)) {
      return false;
    }
    entry.fields = ParseEntry(firstLine, secondLine);
    entry.fields.firstLine = lineNumber;
    entry.firstLineCut = isFirstCut;
    entry.secondLineCut = isSecondCut;
    return true;
  }

 private:
  bool ReadLine(std::size_t bufferSize, std::string_view& line, bool& isCut) {
    if (pos_ >= content_.size()) {
      return false;
    }
    const std::size_t limit = std::min(bufferSize - 1, content_.size() - pos_);
    const std::string_view window = content_.substr(pos_, limit);
    const std::size_t lineFeed = window.find('\n');
    line = lineFeed == std::string_view::npos ? window : window.substr(0, lineFeed + 1);
    pos_ += line.size();
    if (line.back() == '\n') {
      ++lineNumber_;
    }
    // A line that just fills the buffer at the end of the text lost nothing.
    isCut = line.back() != '\n' && pos_ < content_.size();
    return true;
  }

  std::string_view content_;
  std::size_t pos_ = 0;
  int lineNumber_ = 1;  // line of the content that pos_ is in
};

// Moves `buffer` into a larger one and wipes the old storage, so growing never
// leaves file bytes behind in freed memory.
void GrowWiped(std::string& buffer, std::size_t newSize) {
  std::string larger(newSize, '\0');
  std::copy(buffer.begin(), buffer.end(), larger.begin());
  WipeMemory(buffer.data(), buffer.size());
  buffer.swap(larger);
}

// Reads the whole file; a read error keeps what came before it, since the entries
// read up to there are searched all the same.
bool ReadWholeFile(const std::string& path, std::string& raw) {
  // Nothing is written, so the closing at the end cannot lose data.
  UniqueFd file(OpenFile(path, {}));
  if (!file.isOpen()) {
    return false;
  }
  std::uint64_t size = 0;
  std::size_t capacity = kReadChunk;
  if (RegularFileSize(file.get(), size) && size > 0) {
    capacity = static_cast<std::size_t>(std::min<std::uint64_t>(size + 1, kMaxFileBytes));
  }
  raw.assign(capacity, '\0');
  std::size_t used = 0;
  while (used < kMaxFileBytes) {
    if (used == raw.size()) {
      GrowWiped(raw, raw.size() * 2);
    }
    const std::int64_t got = ReadSome(file.get(), raw.data() + used, raw.size() - used);
    if (got <= 0) {
      break;
    }
    used += static_cast<std::size_t>(got);
  }
  WipeMemory(raw.data() + used, raw.size() - used);
  raw.resize(used);
  return true;
}

}  // namespace

std::int32_t FindNthChar(std::string_view text, char character, std::int32_t n) {
  std::int32_t position = -1;
  std::int64_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != character) {
      continue;
    }
    // Lines are at most 399 characters, far below the int32 range.
    position = static_cast<std::int32_t>(std::min<std::size_t>(i, std::numeric_limits<std::int32_t>::max()));
    if (++seen == n) {
      break;
    }
  }
  return position;
}

std::string CopySubstring(std::string_view text, std::int32_t start, std::int32_t length) {
  if (length < 0 || start < 0 || static_cast<std::size_t>(start) > text.size()) {
    return std::string();
  }
  const std::string_view rest = text.substr(static_cast<std::size_t>(start));
  return std::string(length == 0 ? rest : rest.substr(0, static_cast<std::size_t>(length)));
}

std::string TextModeContent(std::string_view raw) {
  raw = raw.substr(0, raw.find(kEndOfText));
  std::string content;
  content.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
      continue;
    }
    content.push_back(raw[i]);
  }
  return content;
}

std::vector<RawCredentialEntry> SplitCredentialEntries(std::string_view content) {
  std::vector<RawCredentialEntry> entries;
  EntryScanner scanner(content);
  RawCredentialEntry entry;
  while (scanner.Next(entry)) {
    entries.push_back(entry);
  }
  return entries;
}

CredentialEntry FindCredential(std::string_view content, std::string_view matchText,
                               std::string_view keyName, std::int32_t number) {
  EntryScanner scanner(content);
  RawCredentialEntry entry;
  while (scanner.Next(entry)) {
    const CredentialEntry& fields = entry.fields;
    // Any one criterion is enough: with the driver's empty match text and number 0,
    // an entry with an empty match text or number is taken for every key.
    if (fields.matchText == matchText || fields.keyName == keyName || fields.number == number) {
      CredentialEntry found = fields;
      found.value = DecryptPassword(fields.value, kCredentialKey);
      return found;
    }
  }
  return CredentialEntry();
}

CredentialEntry ReadCredential(std::string_view matchText, std::string_view keyName,
                               std::int32_t number, const std::string& path) {
  std::string raw;
  if (!ReadWholeFile(path, raw)) {
    return CredentialEntry();
  }
  std::string content = TextModeContent(raw);
  WipeMemory(raw.data(), raw.size());
  CredentialEntry entry = FindCredential(content, matchText, keyName, number);
  WipeMemory(content.data(), content.size());
  return entry;
}

}  // namespace korvadex
