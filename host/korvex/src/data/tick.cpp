#include "korvex/tick.hpp"

#include <fmt/format.h>

namespace korvex {

const RecordLayout& tick_layout() {
    static_assert(sizeof(TickRecord) == 8 + 8 * (3 + 4 * TICK_DEPTH), "TickRecord must be packed");
    static const RecordLayout layout = [] {
        RecordLayout l{
            {"datetime", "<i8"}, {"last", "<f8"}, {"volume", "<f8"}, {"total_turnover", "<f8"}};
        // In TickRecord's order: asks, ask_vols, bids, bid_vols.
        for (const char* side : {"a", "b"})
            for (const char* suffix : {"", "_v"})
                for (std::size_t level = 1; level <= TICK_DEPTH; ++level)
                    l.append(fmt::format("{}{}{}", side, level, suffix), "<f8");
        return l;
    }();
    return layout;
}

}  // namespace korvex
