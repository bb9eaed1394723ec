// The bond mod's strategy-facing api module. Start-up loads it while it builds the data stores;
// its order operations come with the trading components.
#pragma once

#include <string>
#include <tuple>

#include "korvex/environment.hpp"

namespace korvex_mod_bond::api {

// Makes the module's operations available. Idempotent.
void load();
// Whether load() has run in this process.
bool api_loaded();

// The account that holds an instrument, the instrument's long position in it, and the
// instrument. KeyError when the id is unknown or its account is not configured.
std::tuple<korvex::Account&, korvex::Position&, korvex::InstrumentPtr> _get_account_position_ins(
    const std::string& order_book_id);

}  // namespace korvex_mod_bond::api
