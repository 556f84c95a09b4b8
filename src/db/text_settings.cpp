// The operator's settings for the text of the records.
#include "db/text_settings.h"

#include <cstdlib>
#include <cstring>

#include "db/code_page.h"

namespace korvadex {

namespace {

std::string Ignored(const char* name, const char* text) {
  return std::string(name) + " ungueltig, ignoriert: \"" + text + "\"\n";
}

}  // namespace

int ReadCodePageSetting(std::string& unread) {
  const char* text = std::getenv("KORVADEX_CODEPAGE");
  if (text == nullptr || *text == '\0') return 0;
  // Digits only, as the number is written: "1252", never "cp1252" or " 1252".
  int codePage = 0;
  const std::size_t length = std::strlen(text);
  bool isNumber = length <= 5;
  for (std::size_t i = 0; isNumber && i < length; ++i) {
    isNumber = text[i] >= '0' && text[i] <= '9';
    codePage = codePage * 10 + (text[i] - '0');
  }
  // A typing error must not fail a nightly export: the bytes stay as the
  // driver delivers them, as before the variable was set.
  if (!isNumber || !IsKnownCodePage(codePage)) {
    unread += Ignored("KORVADEX_CODEPAGE", text);
    return 0;
  }
  return codePage;
}

bool ReadStrictSetting(std::string& unread) {
  const char* text = std::getenv("KORVADEX_STRICT");
  if (text == nullptr || *text == '\0' || std::strcmp(text, "0") == 0) return false;
  if (std::strcmp(text, "1") == 0) return true;
  unread += Ignored("KORVADEX_STRICT", text);
  return false;
}

}  // namespace korvadex
