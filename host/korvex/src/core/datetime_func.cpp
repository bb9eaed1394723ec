#include "korvex/datetime_func.hpp"

#include <fmt/format.h>

#include <charconv>

#include "korvex/errors.hpp"

namespace korvex {

using namespace std::chrono;

Date make_date(int year, unsigned month, unsigned day) {
    year_month_day ymd{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (!ymd.ok())
        throw ValueError(fmt::format("invalid date {:04d}-{:02d}-{:02d}", year, month, day));
    return sys_days(ymd);
}

DateTime make_datetime(int year, unsigned month, unsigned day, int hour, int minute, int second) {
    return DateTime(make_date(year, month, day)) + hours(hour) + minutes(minute) + seconds(second);
}

std::int32_t convert_date_to_date_int(Date d) {
    year_month_day ymd(d);
    return static_cast<int>(ymd.year()) * 10000 + static_cast<int>(unsigned(ymd.month())) * 100 +
           static_cast<int>(unsigned(ymd.day()));
}

std::int32_t convert_date_to_date_int(DateTime dt) {
    return convert_date_to_date_int(to_date(dt));
}

std::int64_t convert_date_to_int(DateTime dt) {
    Date d = to_date(dt);
    auto secs = (dt - DateTime(d)).count();
    std::int64_t hms = (secs / 3600) * 10000 + ((secs / 60) % 60) * 100 + secs % 60;
    return static_cast<std::int64_t>(convert_date_to_date_int(d)) * 1000000 + hms;
}

std::int64_t convert_date_to_int(Date d) {
    return convert_date_to_int(DateTime(d));
}

Date date_from_int(std::int64_t v) {
    if (v < 10000101 || v > 99991231)
        throw ValueError(fmt::format("invalid date integer {} (expected YYYYMMDD)", v));
    year_month_day ymd{std::chrono::year(static_cast<int>(v / 10000)),
                       std::chrono::month(static_cast<unsigned>(v / 100 % 100)),
                       std::chrono::day(static_cast<unsigned>(v % 100))};
    if (!ymd.ok()) throw ValueError(fmt::format("invalid date integer {} (expected YYYYMMDD)", v));
    return sys_days(ymd);
}

DateTime datetime_from_int(std::int64_t v) {
    Date d = date_from_int(v / 1000000);
    std::int64_t hms = v % 1000000;
    int h = static_cast<int>(hms / 10000), m = static_cast<int>(hms / 100 % 100),
        s = static_cast<int>(hms % 100);
    if (h > 23 || m > 59 || s > 59)
        throw ValueError(fmt::format("invalid date-time integer {} (expected YYYYMMDDHHMMSS)", v));
    return DateTime(d) + hours(h) + minutes(m) + seconds(s);
}

namespace {
bool parse_int(std::string_view s, int& out) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}
}  // namespace

Date parse_date(std::string_view text) {
    int y = 0, m = 0, d = 0;
    bool ok = false;
    if (text.size() == 8) {
        ok = parse_int(text.substr(0, 4), y) && parse_int(text.substr(4, 2), m) &&
             parse_int(text.substr(6, 2), d);
    } else if (text.size() == 10 && (text[4] == '-' || text[4] == '/') && text[7] == text[4]) {
        ok = parse_int(text.substr(0, 4), y) && parse_int(text.substr(5, 2), m) &&
             parse_int(text.substr(8, 2), d);
    }
    year_month_day ymd{std::chrono::year(y), std::chrono::month(static_cast<unsigned>(m)),
                       std::chrono::day(static_cast<unsigned>(d))};
    if (!ok || !ymd.ok())
        throw ValueError(fmt::format("invalid date '{}' (expected YYYY-MM-DD or YYYYMMDD)", text));
    return sys_days(ymd);
}

DateTime parse_datetime(std::string_view text) {
    if (text.size() <= 10) return DateTime(parse_date(text));
    if (text.size() != 19 || (text[10] != ' ' && text[10] != 'T') || text[13] != ':' ||
        text[16] != ':')
        throw ValueError(
            fmt::format("invalid date-time '{}' (expected YYYY-MM-DD HH:MM:SS)", text));
    Date d = parse_date(text.substr(0, 10));
    int h = 0, m = 0, s = 0;
    if (!parse_int(text.substr(11, 2), h) || !parse_int(text.substr(14, 2), m) ||
        !parse_int(text.substr(17, 2), s) || h > 23 || m > 59 || s > 59)
        throw ValueError(
            fmt::format("invalid date-time '{}' (expected YYYY-MM-DD HH:MM:SS)", text));
    return DateTime(d) + hours(h) + minutes(m) + seconds(s);
}

std::string format_date(Date d) {
    auto v = convert_date_to_date_int(d);
    return fmt::format("{:04d}-{:02d}-{:02d}", v / 10000, v / 100 % 100, v % 100);
}

std::string format_datetime(DateTime dt) {
    auto v = convert_date_to_int(dt);
    auto hms = v % 1000000;
    return fmt::format("{} {:02d}:{:02d}:{:02d}", format_date(to_date(dt)), hms / 10000,
                       hms / 100 % 100, hms % 100);
}

}  // namespace korvex
