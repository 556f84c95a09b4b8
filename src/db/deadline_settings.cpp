// The operator's deadlines and the timeouts they give the driver.
#include "db/deadline_settings.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace korvadex {

namespace {

int ReadSetting(const char* name, std::string& trace) {
  const char* text = std::getenv(name);
  int seconds = 0;
  if (!ParseDeadlineSeconds(text, seconds)) {
    char line[160];
    std::snprintf(line, sizeof line, "%s='%.40s' nicht lesbar, ohne Zeitlimit\n", name, text);
    trace += line;
  }
  return seconds;
}

// The earliest of the limits `settings` set, 0 for none.
int EarliestLimit(const DeadlineSettings& settings) {
  if (settings.connectSeconds == 0) return settings.runSeconds;
  if (settings.runSeconds == 0) return settings.connectSeconds;
  return settings.connectSeconds < settings.runSeconds ? settings.connectSeconds : settings.runSeconds;
}

int WithSlack(long long seconds) {
  const long long timeout = seconds + kDriverSlackSeconds;
  return static_cast<int>(timeout < kMaxDriverTimeoutSeconds ? timeout : kMaxDriverTimeoutSeconds);
}

}  // namespace

bool ParseDeadlineSeconds(const char* text, int& seconds) {
  seconds = 0;
  if (text == nullptr) return true;
  long long value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + (*c - '0');
    if (value > INT_MAX) return false;
  }
  seconds = static_cast<int>(value);
  return true;
}

DeadlineSettings ReadDeadlineSettings(std::string& trace) {
  DeadlineSettings settings;
  settings.connectSeconds = ReadSetting(kConnectVariable, trace);
  settings.runSeconds = ReadSetting(kRunVariable, trace);
  return settings;
}

int DriverLoginTimeout(const DeadlineSettings& settings) {
  const int limit = EarliestLimit(settings);
  return limit == 0 ? 0 : WithSlack(limit);
}

int DriverQueryTimeout(const DeadlineSettings& settings, std::chrono::steady_clock::duration elapsed) {
  if (settings.runSeconds == 0) return 0;
  const auto passed = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  return WithSlack(passed < settings.runSeconds ? settings.runSeconds - passed : 0);
}

}  // namespace korvadex
