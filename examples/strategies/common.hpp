// Small helpers the example strategies share.
#pragma once

#include <string>
#include <vector>

#include "korvex/strategy.hpp"
#include "korvex_mod_bond/data/instrument.hpp"

namespace korvex_examples {

// Bonds of a market (suffix ".IB", ".SH" or ".SZ") listed today and maturing after `min_days`,
// sorted by maturity.
std::vector<std::shared_ptr<const korvex_mod_bond::BondInstrument>> listed_bonds(
    korvex::StrategyContext& ctx, const std::string& suffix, int min_days);

double config_number(const korvex::ConfigNode& config, const char* key, double fallback);
std::string config_text(const korvex::ConfigNode& config, const char* key, std::string fallback);

// True when the instrument has a bar today: only then can an order for it fill.
bool priced_today(korvex::StrategyContext& ctx, const std::string& order_book_id);

// Quantity held (long) of an instrument, 0 when none.
double held(korvex::StrategyContext& ctx, const std::string& order_book_id);

}  // namespace korvex_examples
