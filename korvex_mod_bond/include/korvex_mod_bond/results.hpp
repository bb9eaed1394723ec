// What a bond run adds to the host's results: daily columns for the bond book (receivables,
// repo balances, pledged face value, DV01, duration, leverage) and summary figures for income
// by source (coupons, principal, repo interest, price).
#pragma once

#include <memory>

#include "korvex/environment.hpp"
#include "korvex_mod_bond/position/cash_flow.hpp"

namespace korvex_mod_bond::results {

// Registers the daily metrics and summary figures with the run.
void load(korvex::Environment& env);

}  // namespace korvex_mod_bond::results
