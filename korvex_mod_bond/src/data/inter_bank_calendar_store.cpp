#include "korvex_mod_bond/data/inter_bank_calendar_store.hpp"

#include <fmt/format.h>

#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "tavlen/bond.hpp"

namespace korvex_mod_bond {

std::vector<korvex::DateTime> InterBankCalendarStore::get_trading_calendar() {
    const std::vector<korvex::Date> dates =
        tavlen::bond::get_trading_dates(DATA_START_DATE, DATA_END_DATE);
    std::vector<korvex::DateTime> calendar;
    calendar.reserve(dates.size());
    for (std::size_t i = 0; i < dates.size(); ++i) {
        if (i > 0 && !(dates[i - 1] < dates[i]))
            throw korvex::ValueError(fmt::format(
                "inter-bank trading dates must ascend, but {} follows {} at position {}",
                korvex::format_date(dates[i]), korvex::format_date(dates[i - 1]), i));
        calendar.push_back(korvex::to_datetime(dates[i]));
    }
    return calendar;
}

}  // namespace korvex_mod_bond
