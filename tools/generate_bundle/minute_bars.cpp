#include "minute_bars.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <string>

#include "random.hpp"

namespace korvex_generate {

namespace {

// Bar ends: 09:31 to 11:30 and 13:01 to 15:00.
std::int64_t bar_time(int k) {
    const int minutes = k < 120 ? 9 * 60 + 31 + k : 13 * 60 + 1 + (k - 120);
    return (minutes / 60) * 10000 + (minutes % 60) * 100;
}

// Splits the day's lots over the bars, heavier at the open and the close; the last bar always
// trades so the day closes where its daily bar says.
std::vector<double> share_volume(double volume, Rng& rng) {
    std::vector<double> weights(BARS_PER_DAY);
    double total = 0.0;
    for (int k = 0; k < BARS_PER_DAY; ++k) {
        const double shape =
            1.0 + 1.5 * (std::exp(-k / 20.0) + std::exp(-(BARS_PER_DAY - 1 - k) / 20.0));
        const bool idle = k + 1 < BARS_PER_DAY && rng.chance(0.25);
        weights[static_cast<std::size_t>(k)] = idle ? 0.0 : shape * rng.uniform(0.3, 1.7);
        total += weights[static_cast<std::size_t>(k)];
    }
    const double lots = std::round(volume / 10.0);
    std::vector<double> out(BARS_PER_DAY);
    double given = 0.0;
    for (std::size_t k = 0; k + 1 < out.size(); ++k) {
        out[k] = std::floor(lots * weights[k] / total);
        given += out[k];
    }
    out.back() = std::max(1.0, lots - given);
    for (double& v : out) v *= 10.0;
    return out;
}

double r4(double x) {
    return std::round(x * 1e4) / 1e4;
}

}  // namespace

std::vector<MinuteBar> simulate_minute_bars(const std::vector<PriceRow>& days, std::uint64_t seed,
                                            std::string_view order_book_id) {
    std::vector<MinuteBar> bars;
    Rng rng(seed, stream_key(std::string("minute/") + std::string(order_book_id)));
    for (const PriceRow& day : days) {
        if (!(day.volume > 0.0)) continue;
        const std::vector<double> volume = share_volume(day.volume, rng);
        const double range = day.dirty_price_high - day.dirty_price_low;
        const double sigma = range / 16.0;
        // Random walk tied down at both ends (a bridge), with flat steps where nothing traded.
        std::vector<double> walk(BARS_PER_DAY + 1, 0.0);
        for (std::size_t k = 1; k < walk.size(); ++k) {
            walk[k] = walk[k - 1] + (volume[k - 1] > 0.0 ? rng.normal() : 0.0);
        }
        const std::size_t first = bars.size();
        double previous = day.dirty_price_open;
        for (int k = 0; k < BARS_PER_DAY; ++k) {
            const auto j = static_cast<std::size_t>(k) + 1;
            const double frac = static_cast<double>(j) / BARS_PER_DAY;
            double close = day.dirty_price_open +
                           (day.dirty_price_eod - day.dirty_price_open) * frac +
                           sigma * (walk[j] - frac * walk.back());
            if (volume[j - 1] == 0.0) close = previous;
            if (k == BARS_PER_DAY - 1) close = day.dirty_price_eod;
            close = r4(std::clamp(close, day.dirty_price_low, day.dirty_price_high));
            const double open = previous;
            const double wiggle = volume[j - 1] > 0.0 ? 0.3 * sigma : 0.0;
            MinuteBar bar{};
            bar.datetime = static_cast<std::int64_t>(day.date) * 1000000 + bar_time(k);
            bar.open = open;
            bar.close = close;
            bar.high = r4(std::min(day.dirty_price_high,
                                   std::max(open, close) + std::abs(rng.normal()) * wiggle));
            bar.low = r4(std::max(day.dirty_price_low,
                                  std::min(open, close) - std::abs(rng.normal()) * wiggle));
            bar.volume = volume[j - 1];
            bar.total_turnover = std::round(bar.volume * (open + close) / 2.0 * 100.0) / 100.0;
            bars.push_back(bar);
            previous = close;
        }
        // The day's extremes are reached by the bars closest to them.
        auto day_bars = std::span(bars).subspan(first);
        std::max_element(day_bars.begin(), day_bars.end(), [](const auto& a, const auto& b) {
            return a.high < b.high;
        })->high = day.dirty_price_high;
        std::min_element(day_bars.begin(), day_bars.end(), [](const auto& a, const auto& b) {
            return a.low < b.low;
        })->low = day.dirty_price_low;
    }
    return bars;
}

}  // namespace korvex_generate
