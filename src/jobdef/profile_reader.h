// A private-profile (INI) reader that settles the finer rules the way the
// Windows profile functions do, for job files brought over from there.
#ifndef KORVADEX_JOBDEF_PROFILE_READER_H_
#define KORVADEX_JOBDEF_PROFILE_READER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvadex {

// The keys of every section, each section and key by its lower-cased name;
// only the first section of a name and the first key of a name within it count.
struct ProfileData {
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections;
  std::vector<std::string> sectionNames;  // each section once, as first written, in file order
};

// Turns raw file bytes into the text to parse: a UTF-8 byte-order mark is
// skipped, UTF-16LE (with its mark) is decoded to UTF-8.
std::string DecodeProfileText(std::string_view raw);

// Parses decoded profile text.
ProfileData ParseProfile(std::string_view text);

// Reads and parses the file at `path`; false when it cannot be read (`data` is then empty).
bool LoadProfile(const std::string& path, ProfileData& data);

// The value of `key` in `section`, cut to size - 1 characters, or `defaultValue`
// (also cut) when the section or key is missing. A size of 0 gives the empty text.
std::string ProfileString(const ProfileData& data, std::string_view section,
                          std::string_view key, std::string_view defaultValue,
                          std::size_t size);

// The platform call the job reader was written against: looks one key up in the
// file at `path` and returns the number of characters copied into `buffer`
// (always terminated when size > 0).
std::size_t GetPrivateProfileStringA(const char* section, const char* key,
                                     const char* defaultValue, char* buffer,
                                     std::size_t size, const char* path);

}  // namespace korvadex

#endif  // KORVADEX_JOBDEF_PROFILE_READER_H_
