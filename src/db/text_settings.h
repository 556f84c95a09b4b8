// The operator's settings for the text of the records: KORVADEX_CODEPAGE and
// KORVADEX_STRICT.
#ifndef KORVADEX_DB_TEXT_SETTINGS_H_
#define KORVADEX_DB_TEXT_SETTINGS_H_

#include <string>

namespace korvadex {

// The Windows code page number KORVADEX_CODEPAGE names (1252, 1250, 850, 437,
// 28591, 28605, 65001), or 0 when it is unset or empty, or holds anything
// else; in that last case `unread` gets the /D line that says so.
int ReadCodePageSetting(std::string& unread);

// True when KORVADEX_STRICT is 1; unset, empty and 0 are off, anything else
// is off with the /D line in `unread`.
bool ReadStrictSetting(std::string& unread);

}  // namespace korvadex

#endif  // KORVADEX_DB_TEXT_SETTINGS_H_
