// Minute bars of the sample bundle, read back through the host's minute-bar reader.
#include <algorithm>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "korvex/bars.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "sample_bundle.hpp"

namespace tools_test {
namespace {

const korvex::RecordLayout LAYOUT{{"datetime", "<i8"},      {"open", "<f8"},  {"high", "<f8"},
                                  {"low", "<f8"},           {"close", "<f8"}, {"volume", "<f8"},
                                  {"total_turnover", "<f8"}};

TEST(GeneratedMinuteBars, RebuildTheDailyBarsOfTheirDays) {
    const auto& b = SampleBundle::get();
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(b.dir / "h5"))
        if (e.is_regular_file()) files.push_back(e.path());
    ASSERT_EQ(files.size(), 2u);
    const std::int32_t first_day =
        *(std::upper_bound(b.exchange_days.begin(), b.exchange_days.end(), SampleBundle::END) - 20);
    for (const auto& path : files) {
        const std::string id = path.stem().string();
        ASSERT_TRUE(id.ends_with(".SH") || id.ends_with(".SZ")) << id;
        const korvex::Bars bars = korvex_mod_lumeq_data::read_h5_minute_bars(path, LAYOUT);
        std::map<std::int32_t, std::vector<std::size_t>> by_day;
        std::set<std::int64_t> times;
        for (std::size_t i = 0; i < bars.size(); ++i) {
            by_day[static_cast<std::int32_t>(bars.datetime(i) / 1000000)].push_back(i);
            times.insert(bars.datetime(i) % 1000000);
        }
        EXPECT_EQ(times.size(), 240u);
        EXPECT_EQ(*times.begin(), 93100);
        EXPECT_EQ(*times.rbegin(), 150000);
        EXPECT_FALSE(times.contains(120000)) << "no bars over lunch";

        std::size_t traded = 0;
        for (const auto& p : b.prices.at(id)) {
            if (p.date < first_day || p.volume == 0.0) {
                EXPECT_FALSE(by_day.contains(p.date)) << id << " " << p.date;
                continue;
            }
            ++traded;
            ASSERT_TRUE(by_day.contains(p.date)) << id << " " << p.date;
            const auto& idx = by_day.at(p.date);
            ASSERT_EQ(idx.size(), 240u);
            double high = -1e9, low = 1e9, volume = 0.0;
            for (std::size_t i : idx) {
                high = std::max(high, bars.get(i, "high"));
                low = std::min(low, bars.get(i, "low"));
                volume += bars.get(i, "volume");
                EXPECT_GE(bars.get(i, "high"), std::max(bars.get(i, "open"), bars.get(i, "close")));
                EXPECT_LE(bars.get(i, "low"), std::min(bars.get(i, "open"), bars.get(i, "close")));
            }
            EXPECT_EQ(bars.get(idx.front(), "open"), p.open) << id << " " << p.date;
            EXPECT_EQ(bars.get(idx.back(), "close"), p.eod) << id << " " << p.date;
            EXPECT_EQ(high, p.high) << id << " " << p.date;
            EXPECT_EQ(low, p.low) << id << " " << p.date;
            EXPECT_EQ(volume, p.volume) << id << " " << p.date;
        }
        EXPECT_EQ(by_day.size(), traded) << id;
        EXPECT_GE(traded, 5u) << id;
    }
}

}  // namespace
}  // namespace tools_test
