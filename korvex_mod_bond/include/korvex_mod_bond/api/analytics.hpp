// A strategy's reading of a bond's analytics (see analytics/bond_analytics.hpp).
#pragma once

#include <string>

#include "korvex/strategy.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"

namespace korvex_mod_bond::api {

// As of the run's time; KeyError for an unknown id, ValueError for one that is not a bond. The
// reference is valid until the next call for the same bond.
const BondAnalytics& bond_analytics(korvex::StrategyContext& ctx, const std::string& order_book_id);

}  // namespace korvex_mod_bond::api
