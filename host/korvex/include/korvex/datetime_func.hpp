// Dates and date-times of the host and their integer forms. A date is a calendar day
// (std::chrono::sys_days); a date-time is a second-precision time point, no time zone.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvex {

using Date = std::chrono::sys_days;
using DateTime = std::chrono::sys_seconds;

Date make_date(int year, unsigned month, unsigned day);
DateTime make_datetime(int year, unsigned month, unsigned day, int hour = 0, int minute = 0,
                       int second = 0);

inline Date to_date(DateTime dt) {
    return std::chrono::floor<std::chrono::days>(dt);
}
inline DateTime to_datetime(Date d) {
    return DateTime(d);
}

// Bar stamp: YYYYMMDDHHMMSS.
std::int64_t convert_date_to_int(DateTime dt);
std::int64_t convert_date_to_int(Date d);
// YYYYMMDD.
std::int32_t convert_date_to_date_int(Date d);
std::int32_t convert_date_to_date_int(DateTime dt);

// Inverses; a malformed integer raises ValueError naming it.
Date date_from_int(std::int64_t yyyymmdd);
DateTime datetime_from_int(std::int64_t yyyymmddhhmmss);

// Accepts "2020-01-03", "20200103" and "2020-01-03 15:00:00"; raises ValueError naming the text.
Date parse_date(std::string_view text);
DateTime parse_datetime(std::string_view text);

std::string format_date(Date d);           // 2020-01-03
std::string format_datetime(DateTime dt);  // 2020-01-03 15:00:00

}  // namespace korvex
