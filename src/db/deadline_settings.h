// The operator's deadlines (KORVADEX_CONNECT_TIMEOUT, KORVADEX_TIMEOUT) and the
// timeouts they give the driver: read by the run's watch and by the driver side.
#ifndef KORVADEX_DB_DEADLINE_SETTINGS_H_
#define KORVADEX_DB_DEADLINE_SETTINGS_H_

#include <chrono>
#include <string>

namespace korvadex {

// The environment variables that set the deadlines.
inline constexpr const char* kConnectVariable = "KORVADEX_CONNECT_TIMEOUT";
inline constexpr const char* kRunVariable = "KORVADEX_TIMEOUT";

// The seconds the operator allows; 0 where no limit is set.
struct DeadlineSettings {
  int connectSeconds = 0;  // KORVADEX_CONNECT_TIMEOUT: for the connect
  int runSeconds = 0;      // KORVADEX_TIMEOUT: for the whole run, connect to the last byte written
};

// Reads one setting's value: true with `seconds` for whole seconds from 0 to
// 2147483647 written as plain digits (0, like an absent or empty value: no
// limit); false with 0 for anything else (a sign, a fraction, a unit, blanks).
bool ParseDeadlineSeconds(const char* text, int& seconds);

// Reads both settings from the environment. A value that cannot be read is
// ignored; `trace` then gets a /D line for it.
DeadlineSettings ReadDeadlineSettings(std::string& trace);

// The driver's own timeouts run this much beyond the run's limits, so that the
// run's clock decides and its grace still sees the driver give up by itself.
// Two seconds, since libpq counts whole seconds of the wall clock and may end
// a connect up to one second early.
inline constexpr int kDriverSlackSeconds = 2;

// The most seconds handed on to a driver as a timeout: psqlODBC turns them
// into milliseconds in 32 bits (2,147,483 seconds at most), and a round
// value below that fits every driver. The run's own clock still applies a
// longer limit; the driver then gives up a statement after this long.
inline constexpr int kMaxDriverTimeoutSeconds = 2000000;

// The login timeout to give the driver for `settings`, 0 for none: the
// earliest limit plus the slack, at most kMaxDriverTimeoutSeconds.
int DriverLoginTimeout(const DeadlineSettings& settings);

// The query timeout to give the driver when `elapsed` of the run has passed,
// 0 for none: what remains of the run plus the slack, at most
// kMaxDriverTimeoutSeconds.
int DriverQueryTimeout(const DeadlineSettings& settings, std::chrono::steady_clock::duration elapsed);

}  // namespace korvadex

#endif  // KORVADEX_DB_DEADLINE_SETTINGS_H_
