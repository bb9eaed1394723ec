// What the book is measured against (mod.bond.benchmark), valued close by close from the run's
// own bars: one bond's total return (its dirty close and what it pays, as a holding would be
// paid), one repo's rate earned night by night, or "treasury_index": the government bonds of the
// data weighted by market value, held a month, their payments kept as cash, rebalanced at each
// month's first close. Gives the daily column benchmark_equity and the summary's
// benchmark_return, excess_return, tracking_error and information_ratio.
#pragma once

#include <memory>
#include <string>

#include "korvex/environment.hpp"
#include "korvex_mod_bond/position/cash_flow.hpp"

namespace korvex_mod_bond {

inline constexpr std::string_view TREASURY_INDEX = "treasury_index";

// Registers the benchmark `spec` with the run; nothing for an empty one. ValueError naming
// mod.bond.benchmark when `spec` is neither the index nor an instrument of the data.
void load_benchmark(korvex::Environment& env, const std::string& spec,
                    std::shared_ptr<CashFlowSchedules> schedules);

}  // namespace korvex_mod_bond
