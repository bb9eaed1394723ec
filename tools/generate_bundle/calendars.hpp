// Trading calendars of the sample bundle, from QuantLib's Chinese calendars: the exchange
// calendar (Shanghai) and the inter-bank calendar, which also works on some weekends.
#pragma once

#include <cstdint>
#include <vector>

#include <ql/time/calendar.hpp>
#include <ql/time/date.hpp>

#include "korvex/datetime_func.hpp"

namespace korvex_generate {

// The stores ask for everything from this day on.
QuantLib::Date first_calendar_day();

std::int32_t to_date_int(const QuantLib::Date& d);
QuantLib::Date from_date_int(std::int32_t yyyymmdd);
QuantLib::Date to_ql(korvex::Date d);

QuantLib::Calendar exchange_calendar();
QuantLib::Calendar inter_bank_calendar();

// Business days of `calendar` in [first, last], ascending.
std::vector<QuantLib::Date> business_days(const QuantLib::Calendar& calendar,
                                          const QuantLib::Date& first, const QuantLib::Date& last);

// The day before `d` on which `calendar` works.
QuantLib::Date previous_business_day(const QuantLib::Calendar& calendar, const QuantLib::Date& d);

}  // namespace korvex_generate
