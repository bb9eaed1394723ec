// The minute bar of a bond as the bundle stores it (h5/<order_book_id>.h5, read by the host's
// minute-bar store with the bond mod's bar layout): shared by the sample generator, which
// simulates bars, and the importer, which loads them from CSV.
#pragma once

#include <cstdint>

#include "korvex/bars.hpp"

namespace korvex_tools {

struct MinuteBar {
    std::int64_t datetime;  // bar end, YYYYMMDDHHMMSS
    double open, high, low, close, volume, total_turnover;
};
static_assert(sizeof(MinuteBar) == 56);

// The packed layout of MinuteBar under the member names of the minute-bar files.
const korvex::RecordLayout& minute_bar_layout();

}  // namespace korvex_tools
