#include "calendars.hpp"

#include <ql/time/calendars/china.hpp>

namespace korvex_generate {

QuantLib::Date first_calendar_day() {
    return QuantLib::Date(4, QuantLib::January, 2005);
}

std::int32_t to_date_int(const QuantLib::Date& d) {
    return d.year() * 10000 + static_cast<int>(d.month()) * 100 + d.dayOfMonth();
}

QuantLib::Date from_date_int(std::int32_t yyyymmdd) {
    return QuantLib::Date(yyyymmdd % 100, static_cast<QuantLib::Month>(yyyymmdd / 100 % 100),
                          yyyymmdd / 10000);
}

QuantLib::Date to_ql(korvex::Date d) {
    const std::chrono::year_month_day ymd(d);
    return QuantLib::Date(static_cast<QuantLib::Day>(static_cast<unsigned>(ymd.day())),
                          static_cast<QuantLib::Month>(static_cast<unsigned>(ymd.month())),
                          static_cast<QuantLib::Year>(static_cast<int>(ymd.year())));
}

QuantLib::Calendar exchange_calendar() {
    return QuantLib::China(QuantLib::China::SSE);
}
QuantLib::Calendar inter_bank_calendar() {
    return QuantLib::China(QuantLib::China::IB);
}

std::vector<QuantLib::Date> business_days(const QuantLib::Calendar& calendar,
                                          const QuantLib::Date& first, const QuantLib::Date& last) {
    std::vector<QuantLib::Date> days;
    days.reserve(static_cast<std::size_t>(std::max<QuantLib::Date::serial_type>(0, last - first)));
    for (QuantLib::Date d = first; d <= last; ++d) {
        if (calendar.isBusinessDay(d)) days.push_back(d);
    }
    return days;
}

QuantLib::Date previous_business_day(const QuantLib::Calendar& calendar, const QuantLib::Date& d) {
    QuantLib::Date p = d - 1;
    while (!calendar.isBusinessDay(p)) --p;
    return p;
}

}  // namespace korvex_generate
