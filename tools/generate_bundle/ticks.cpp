#include "ticks.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <string>

#include "random.hpp"

namespace korvex_generate {

namespace {

constexpr std::int64_t DAY = 1000000;  // stamp of YYYYMMDD000000 = YYYYMMDD * DAY

double r4(double x) {
    return std::round(x * 1e4) / 1e4;
}

// Seconds since midnight of a stamp's HHMMSS, and back.
int seconds_of(std::int64_t stamp) {
    const auto hms = static_cast<int>(stamp % DAY);
    return hms / 10000 * 3600 + hms / 100 % 100 * 60 + hms % 100;
}
std::int64_t hhmmss(int seconds) {
    return seconds / 3600 * 10000 + seconds / 60 % 60 * 100 + seconds % 60;
}

// One side of the book: `best` and then further away by one step, sometimes two, in `direction`;
// with a small chance the levels from the third on are empty.
void quote_side(std::span<double, korvex::TICK_DEPTH> prices,
                std::span<double, korvex::TICK_DEPTH> sizes, std::int64_t best, int direction,
                double depth_lots, Rng& rng) {
    const auto quoted =
        rng.chance(0.1) ? static_cast<std::size_t>(rng.integer(2, 4)) : korvex::TICK_DEPTH;
    std::int64_t steps = best;
    for (std::size_t i = 0; i < korvex::TICK_DEPTH; ++i) {
        if (i >= quoted) {
            prices[i] = sizes[i] = 0.0;
            continue;
        }
        // Exact decimals: the division rounds to the double nearest the price.
        prices[i] = static_cast<double>(steps) / PRICE_STEPS_PER_UNIT;
        sizes[i] = TICK_LOT * std::max(1.0, std::round(depth_lots * rng.uniform(0.2, 1.8)));
        steps += direction * (rng.chance(0.2) ? 2 : 1);
    }
}

void quote(korvex::TickRecord& t, double depth_lots, Rng& rng) {
    // The last price in steps, rounded up: the best ask may equal it, the best bid may not.
    const auto at_or_above =
        static_cast<std::int64_t>(std::ceil(t.last * PRICE_STEPS_PER_UNIT - 1e-6));
    const std::int64_t ask = at_or_above + (rng.chance(0.6) ? 0 : rng.integer(1, 2));
    const std::int64_t bid = at_or_above - 1 - (rng.chance(0.6) ? 0 : rng.integer(1, 2));
    quote_side(t.asks, t.ask_vols, ask, +1, depth_lots, rng);
    quote_side(t.bids, t.bid_vols, bid, -1, depth_lots, rng);
}

}  // namespace

std::vector<korvex::TickRecord> simulate_ticks(const std::vector<MinuteBar>& bars,
                                               std::uint64_t seed, std::string_view order_book_id) {
    std::vector<korvex::TickRecord> ticks;
    ticks.reserve(bars.size() * TICKS_PER_BAR);
    Rng rng(seed, stream_key(std::string("tick/") + std::string(order_book_id)));
    for (std::size_t first = 0, end = 0; first < bars.size(); first = end) {
        const std::int64_t date = bars[first].datetime / DAY;
        double day_volume = 0.0;
        for (end = first; end < bars.size() && bars[end].datetime / DAY == date; ++end)
            day_volume += bars[end].volume;
        // Quoted sizes in proportion to the day's trading.
        const double depth_lots = std::max(3.0, day_volume / TICK_LOT / 40.0);

        double volume = 0.0, turnover = 0.0;
        double last = bars[first].open;
        for (std::size_t k = first; k < end; ++k) {
            const MinuteBar& bar = bars[k];
            // Half-way through the bar: a share of its lots has traded.
            const double part =
                bar.volume > 0.0
                    ? TICK_LOT * std::floor(bar.volume / TICK_LOT * rng.uniform(0.2, 0.8))
                    : 0.0;
            if (part > 0.0) {
                const double between = bar.open + (bar.close - bar.open) * rng.uniform(0.25, 0.75) +
                                       rng.normal() * (bar.high - bar.low) / 4.0;
                last = r4(std::clamp(between, bar.low, bar.high));
            }
            korvex::TickRecord& mid = ticks.emplace_back();
            mid.datetime = date * DAY + hhmmss(seconds_of(bar.datetime) - 30);
            mid.last = last;
            mid.volume = volume + part;
            mid.total_turnover =
                turnover + (part > 0.0
                                ? std::round(bar.total_turnover * part / bar.volume * 100.0) / 100.0
                                : 0.0);
            quote(mid, depth_lots, rng);

            // The bar's end: its close and all of its trading.
            volume += bar.volume;
            turnover += bar.total_turnover;
            last = bar.close;
            korvex::TickRecord& close = ticks.emplace_back();
            close.datetime = bar.datetime;
            close.last = last;
            close.volume = volume;
            close.total_turnover = turnover;
            quote(close, depth_lots, rng);
        }
    }
    return ticks;
}

}  // namespace korvex_generate
