// Quote snapshots of the minute-bar bonds, derived from their minute bars so that the two agree:
// one snapshot every 30 seconds of the session (09:30:30 to 11:30:00, 13:00:30 to 15:00:00). The
// snapshot at a bar's end shows the bar's close as last price and the day's volume and turnover
// up to that bar; the one half-way through shows part of the bar's trading, its last price
// inside the bar's range. Around the last price a five-level book: asks at or above it, bids
// below, on the exchange's price step, sizes in whole lots; now and then the deepest levels of
// a side are empty (size 0). Written as HDF5 in korvex::tick_layout().
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "korvex/tick.hpp"
#include "minute_bars.hpp"

namespace korvex_generate {

constexpr int TICKS_PER_BAR = 2;
// Quotes move in steps of 0.001.
constexpr double PRICE_STEPS_PER_UNIT = 1000.0;
// Quoted sizes are whole exchange bond lots of 10 units.
constexpr double TICK_LOT = 10.0;

// Snapshots of every day of `bars` (ascending, whole days), ascending; the same seed and id give
// the same snapshots.
std::vector<korvex::TickRecord> simulate_ticks(const std::vector<MinuteBar>& bars,
                                               std::uint64_t seed, std::string_view order_book_id);

}  // namespace korvex_generate
