// Quote snapshots of the sample bundle: derived from the minute bars, and read back through the
// host's tick store.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "generator.hpp"
#include "korvex/model/instrument.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "korvex_mod_lumeq_data/tick_store.hpp"
#include "minute_bars.hpp"
#include "sample_bundle.hpp"
#include "ticks.hpp"

namespace tools_test {
namespace {

namespace fs = std::filesystem;
using korvex::TICK_DEPTH;
using korvex::TickRecord;
using korvex_generate::MinuteBar;

bool on_grid(double value, double units) {
    return std::abs(value * units - std::round(value * units)) < 1e-6;
}

std::vector<double> fields(const TickRecord& t) {
    std::vector<double> out{static_cast<double>(t.datetime), t.last, t.volume, t.total_turnover};
    for (const auto* side : {&t.asks, &t.ask_vols, &t.bids, &t.bid_vols})
        out.insert(out.end(), side->begin(), side->end());
    return out;
}

// Two traded days around one without trades (which has no bars).
std::vector<MinuteBar> sample_bars() {
    const std::vector<korvex_generate::PriceRow> days{
        {20200102, 100.50, 100.90, 100.20, 100.70, 2.5, 100.0, 12000.0},
        {20200103, 100.70, 100.70, 100.70, 100.70, 2.5, 100.0, 0.0},
        {20200106, 100.60, 101.10, 100.40, 100.45, 2.5, 100.0, 3000.0},
    };
    return korvex_generate::simulate_minute_bars(days, 3, "019547.SH");
}

// Checks one day's snapshots against its bars: times, last prices, cumulative trading.
void expect_agree(std::span<const TickRecord> ticks, std::span<const MinuteBar> bars,
                  const std::string& what) {
    ASSERT_EQ(bars.size(), static_cast<std::size_t>(korvex_generate::BARS_PER_DAY)) << what;
    ASSERT_EQ(ticks.size(), bars.size() * 2) << what;
    const std::int64_t day = bars.front().datetime / 1000000 * 1000000;
    EXPECT_EQ(ticks.front().datetime, day + 93030) << what;
    EXPECT_EQ(ticks[239].datetime, day + 113000) << what;
    EXPECT_EQ(ticks[240].datetime, day + 130030) << what;
    EXPECT_EQ(ticks.back().datetime, day + 150000) << what;
    double volume = 0.0, turnover = 0.0;
    for (std::size_t k = 0; k < bars.size(); ++k) {
        const MinuteBar& bar = bars[k];
        const TickRecord& mid = ticks[2 * k];
        const TickRecord& end = ticks[2 * k + 1];
        const std::string at = what + " bar " + std::to_string(bar.datetime);
        EXPECT_EQ(end.datetime, bar.datetime) << at;
        // Half-way through the bar, after the previous one's end.
        EXPECT_EQ(mid.datetime % 100, 30) << at;
        EXPECT_LT(mid.datetime, end.datetime) << at;
        if (k > 0) {
            EXPECT_GT(mid.datetime, ticks[2 * k - 1].datetime) << at;
        }
        EXPECT_GE(mid.last, bar.low) << at;
        EXPECT_LE(mid.last, bar.high) << at;
        EXPECT_TRUE(on_grid(mid.last, 1e4)) << at << " " << mid.last;
        EXPECT_GE(mid.volume, volume) << at;
        EXPECT_LE(mid.volume, volume + bar.volume) << at;
        EXPECT_TRUE(on_grid(mid.volume, 0.1)) << at << " " << mid.volume;
        EXPECT_GE(mid.total_turnover, turnover) << at;
        EXPECT_LE(mid.total_turnover, turnover + bar.total_turnover) << at;
        volume += bar.volume;
        turnover += bar.total_turnover;
        EXPECT_EQ(end.last, bar.close) << at;
        EXPECT_EQ(end.volume, volume) << at;
        EXPECT_EQ(end.total_turnover, turnover) << at;
    }
}

TEST(SimulatedTicks, AgreeWithTheMinuteBarsOfEachTradedDay) {
    const auto bars = sample_bars();
    ASSERT_EQ(bars.size(), 480u);
    const auto ticks = korvex_generate::simulate_ticks(bars, 11, "019547.SH");
    ASSERT_EQ(ticks.size(), 960u);
    expect_agree(std::span(ticks).first(480), std::span(bars).first(240), "20200102");
    expect_agree(std::span(ticks).subspan(480), std::span(bars).subspan(240), "20200106");
    // The day's volume, not the run's: the second day starts from nothing.
    EXPECT_EQ(ticks[479].volume, 12000.0);
    EXPECT_EQ(ticks[959].volume, 3000.0);
    EXPECT_EQ(ticks[959].last, 100.45);
    for (std::size_t i = 1; i < ticks.size(); ++i)
        ASSERT_LT(ticks[i - 1].datetime, ticks[i].datetime) << i;
    EXPECT_TRUE(korvex_generate::simulate_ticks({}, 11, "019547.SH").empty());
}

TEST(SimulatedTicks, QuoteABookAroundTheLastPrice) {
    const auto ticks = korvex_generate::simulate_ticks(sample_bars(), 11, "019547.SH");
    std::size_t thin = 0, at_last = 0;
    for (const TickRecord& t : ticks) {
        const std::string at = std::to_string(t.datetime);
        ASSERT_GT(t.ask_vols[0], 0.0) << at;
        ASSERT_GT(t.bid_vols[0], 0.0) << at;
        EXPECT_GE(t.asks[0], t.last) << at;
        EXPECT_LT(t.bids[0], t.last) << at;
        at_last += t.asks[0] == t.last;
        bool empty_side = false;
        for (const auto& [prices, sizes, direction] :
             {std::tuple(&t.asks, &t.ask_vols, 1.0), std::tuple(&t.bids, &t.bid_vols, -1.0)}) {
            std::size_t quoted = 0;
            while (quoted < TICK_DEPTH && (*sizes)[quoted] > 0.0) ++quoted;
            for (std::size_t i = quoted; i < TICK_DEPTH; ++i)
                EXPECT_EQ((*sizes)[i], 0.0) << at << ": a level quoted below an empty one";
            for (std::size_t i = 0; i < quoted; ++i) {
                EXPECT_TRUE(on_grid((*prices)[i], 1000.0)) << at << " " << (*prices)[i];
                EXPECT_TRUE(on_grid((*sizes)[i], 0.1)) << at << " " << (*sizes)[i];
                if (i > 0) {
                    EXPECT_GT(direction * ((*prices)[i] - (*prices)[i - 1]), 0.0) << at;
                }
            }
            empty_side |= quoted < TICK_DEPTH;
        }
        thin += empty_side;
    }
    // Now and then, not always.
    EXPECT_GT(thin, ticks.size() / 20);
    EXPECT_LT(thin, ticks.size() / 2);
    EXPECT_GT(at_last, 0u);
}

TEST(SimulatedTicks, SameSeedAndIdGiveTheSameSnapshots) {
    const auto bars = sample_bars();
    const auto a = korvex_generate::simulate_ticks(bars, 11, "019547.SH");
    const auto b = korvex_generate::simulate_ticks(bars, 11, "019547.SH");
    const auto other_seed = korvex_generate::simulate_ticks(bars, 12, "019547.SH");
    const auto other_id = korvex_generate::simulate_ticks(bars, 11, "019548.SH");
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(a.size(), other_seed.size());
    std::size_t same_seed = 0, same_id = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(fields(a[i]), fields(b[i])) << i;
        same_seed += fields(a[i]) == fields(other_seed[i]);
        same_id += fields(a[i]) == fields(other_id[i]);
    }
    EXPECT_LT(same_seed, a.size() / 10);
    EXPECT_LT(same_id, a.size() / 10);
}

TEST(GeneratedTicks, CoverTheLastExchangeDaysOfTheMinuteBarsAndReadThroughTheStore) {
    const auto& b = SampleBundle::get();
    std::set<std::string> minute_ids, tick_ids;
    for (const auto& e : fs::directory_iterator(b.dir / "h5"))
        if (e.is_regular_file()) minute_ids.insert(e.path().stem().string());
    for (const auto& e : fs::directory_iterator(b.dir / "h5" / "ticks"))
        tick_ids.insert(e.path().stem().string());
    ASSERT_EQ(minute_ids.size(), 2u);
    EXPECT_EQ(tick_ids, minute_ids);

    const auto end =
        std::upper_bound(b.exchange_days.begin(), b.exchange_days.end(), SampleBundle::END);
    const std::vector<std::int32_t> tick_days(end - korvex_generate::TICK_DAYS, end);
    korvex_mod_lumeq_data::H5TickStore store(b.dir / "h5" / "ticks");
    std::size_t traded_days = 0;
    for (const std::string& id : minute_ids) {
        const korvex::Bars minutes = korvex_mod_lumeq_data::read_h5_minute_bars(
            b.dir / "h5" / (id + ".h5"), korvex_generate::minute_bar_layout());
        const auto bars = minutes.as<MinuteBar>();
        const korvex::Instrument bond(korvex::Record{{"order_book_id", id}, {"type", "BOND"}});
        // Minute bars reach further back; snapshots do not.
        const std::int32_t before = *(end - korvex_generate::TICK_DAYS - 1);
        EXPECT_TRUE(store.get_ticks(bond, korvex::date_from_int(before)).empty()) << id;
        for (std::int32_t day : tick_days) {
            const std::string what = id + " " + std::to_string(day);
            const korvex::Bars ticks = store.get_ticks(bond, korvex::date_from_int(day));
            const std::int64_t from = std::int64_t{day} * 1000000;
            const auto first = std::lower_bound(
                bars.begin(), bars.end(), from,
                [](const MinuteBar& bar, std::int64_t stamp) { return bar.datetime < stamp; });
            const auto last = std::lower_bound(
                first, bars.end(), from + 1000000,
                [](const MinuteBar& bar, std::int64_t stamp) { return bar.datetime < stamp; });
            if (first == last) {
                EXPECT_TRUE(ticks.empty()) << what;
                continue;
            }
            ++traded_days;
            expect_agree(ticks.as<TickRecord>(), std::span(first, last), what);
        }
    }
    EXPECT_GE(traded_days, 5u);
}

}  // namespace
}  // namespace tools_test
