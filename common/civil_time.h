// Calendar arithmetic for the times that dump names carry: days since 1970-01-01 of a
// proleptic Gregorian date and back (H. Hinnant's algorithms, exact for any year), and
// Central European time by the European rule, which the support tool applies to a dump's
// own UTC time stamp and the test fakes apply in place of the Windows zone database.
#pragma once

#include <cstdint>

namespace common {

struct CivilTime {
  std::int64_t year = 1970;
  unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::int64_t SecondsFromCivil(const CivilTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

constexpr CivilTime CivilFromSeconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d,
          static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
          static_cast<unsigned>(rest % 60)};
}

// 01:00 UTC on the last Sunday of the month, when European clocks change.
constexpr std::int64_t LastSundayOneUtc(std::int64_t year, unsigned month) {
  const std::int64_t last = DaysFromCivil(year, month, 31);
  const std::int64_t weekday = ((last + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
  return (last - weekday) * 86400 + 3600;
}

// UTC+1, and UTC+2 from the last Sunday of March to the last Sunday of October.
constexpr CivilTime CentralEuropeanFromUtc(std::int64_t utc_seconds) {
  const std::int64_t year = CivilFromSeconds(utc_seconds).year;
  const bool summer =
      utc_seconds >= LastSundayOneUtc(year, 3) && utc_seconds < LastSundayOneUtc(year, 10);
  return CivilFromSeconds(utc_seconds + (summer ? 7200 : 3600));
}

}  // namespace common
