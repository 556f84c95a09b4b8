// The private-profile (INI) lookup: decoding of the file bytes, the line rules
// of the Windows profile functions, and the bounded copy of a value.
#include "jobdef/profile_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace korvadex {

namespace {

constexpr std::uint32_t kReplacementChar = 0xFFFD;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Only ASCII letters fold: the files are single-byte code-page text, and
// std::tolower would fold other bytes differently from one locale to the next.
std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view StripOuterQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

void AppendUtf8(std::uint32_t codePoint, std::string& out) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// Surrogates that do not form a pair become U+FFFD rather than being encoded
// on their own, so the result is always well-formed UTF-8.
std::string DecodeUtf16Le(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const std::size_t unitCount = bytes.size() / 2;
  auto unitAt = [&bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
  };
  for (std::size_t i = 0; i < unitCount; ++i) {
    const std::uint32_t unit = unitAt(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < unitCount) {
      const std::uint32_t next = unitAt(i + 1);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), out);
        ++i;
        continue;
      }
    }
    AppendUtf8(unit >= 0xD800 && unit <= 0xDFFF ? kReplacementChar : unit, out);
  }
  if (bytes.size() % 2 != 0) AppendUtf8(kReplacementChar, out);
  return out;
}

std::string CutToSize(std::string_view text, std::size_t size) {
  if (size == 0) return std::string();
  // The profile call fills a C buffer, so its readers see a value end at a NUL byte.
  text = text.substr(0, text.find('\0'));
  return std::string(text.substr(0, size - 1));
}

}  // namespace

std::string DecodeProfileText(std::string_view raw) {
  if (raw.starts_with("\xEF\xBB\xBF")) return std::string(raw.substr(3));
  if (raw.starts_with("\xFF\xFE")) return DecodeUtf16Le(raw.substr(2));
  return std::string(raw);
}

ProfileData ParseProfile(std::string_view text) {
  ProfileData data;
  // Null while outside any section, and while inside a repeated section,
  // whose keys the Windows reader never sees. Pointers into an
  // unordered_map stay valid when it rehashes.
  std::unordered_map<std::string, std::string>* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", pos);
    const std::string_view rawLine =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (end == std::string_view::npos) {
      pos = text.size();
    } else {
      pos = end + 1;
      if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    }

    const std::string_view line = TrimBlanks(rawLine);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      const std::string_view name =
          close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1);
      auto [it, isNew] = data.sections.try_emplace(LowerAscii(TrimBlanks(name)));
      current = isNew ? &it->second : nullptr;
      if (isNew) data.sectionNames.emplace_back(TrimBlanks(name));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) continue;
    const std::string_view value = StripOuterQuotes(TrimBlanks(line.substr(equals + 1)));
    // try_emplace keeps the first value of a key given twice.
    current->try_emplace(LowerAscii(TrimBlanks(line.substr(0, equals))), value);
  }
  return data;
}

bool LoadProfile(const std::string& path, ProfileData& data) {
  data = ProfileData();
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::string raw;
  char chunk[8192];
  std::size_t got = 0;
  // Job files are small; a path that leads to an endless source (a device,
  // a pipe) must not grow the text until memory runs out.
  constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;
  while (raw.size() < kMaxFileBytes && (got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    raw.append(chunk, got);
  }
  // A directory opens on Linux but fails on the first read.
  if (std::ferror(file.get())) return false;
  data = ParseProfile(DecodeProfileText(raw));
  return true;
}

std::string ProfileString(const ProfileData& data, std::string_view section,
                          std::string_view key, std::string_view defaultValue,
                          std::size_t size) {
  const auto sectionIt = data.sections.find(LowerAscii(section));
  if (sectionIt == data.sections.end()) return CutToSize(defaultValue, size);
  const auto keyIt = sectionIt->second.find(LowerAscii(key));
  if (keyIt == sectionIt->second.end()) return CutToSize(defaultValue, size);
  return CutToSize(keyIt->second, size);
}

std::size_t GetPrivateProfileStringA(const char* section, const char* key,
                                     const char* defaultValue, char* buffer,
                                     std::size_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  const char* fallback = defaultValue == nullptr ? "" : defaultValue;
  std::string result;
  ProfileData data;
  // The Windows call lists section or key names when either is null; nothing
  // here asks for that, so such a call just gets the default.
  if (section != nullptr && key != nullptr && path != nullptr && LoadProfile(path, data)) {
    result = ProfileString(data, section, key, fallback, size);
  } else {
    result = CutToSize(fallback, size);
  }
  std::memcpy(buffer, result.data(), result.size());
  buffer[result.size()] = '\0';
  return result.size();
}

}  // namespace korvadex
