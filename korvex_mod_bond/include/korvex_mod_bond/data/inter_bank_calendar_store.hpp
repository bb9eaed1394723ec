// The inter-bank market's trading days, for the host's INTER_BANK calendar.
#pragma once

#include <vector>

#include "korvex/interface.hpp"

namespace korvex_mod_bond {

class InterBankCalendarStore : public korvex::AbstractCalendarStore {
public:
    // Asks the client on every call (the host keeps the calendar it gets). ValueError when the
    // client's dates do not ascend strictly: the host searches calendars by bisection.
    std::vector<korvex::DateTime> get_trading_calendar() override;
};

}  // namespace korvex_mod_bond
