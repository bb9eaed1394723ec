// Minute bars of a few exchange bonds: 240 bars a trading day that start at the day's open, end
// at its close, stay inside its range and share out its volume. Written as HDF5 in the layout
// of the host's minute-bar store (minute_bar_layout()).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "bond_series.hpp"
#include "minute_bar.hpp"

namespace korvex_generate {

using korvex_tools::minute_bar_layout;
using korvex_tools::MinuteBar;

constexpr int BARS_PER_DAY = 240;

// Bars for every day of `days` that traded (volume above zero), ascending.
std::vector<MinuteBar> simulate_minute_bars(const std::vector<PriceRow>& days, std::uint64_t seed,
                                            std::string_view order_book_id);

}  // namespace korvex_generate
