// The generated repo quotations: fractions around the policy rate, quarter-end spikes, thin
// trading in long terms, and each market's own calendar.
#include <algorithm>
#include <map>
#include <numeric>

#include <gtest/gtest.h>

#include "sample_bundle.hpp"

namespace tools_test {
namespace {

double mean(const std::vector<double>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

int quarter_of(std::int32_t d) {
    return d / 10000 * 10 + (d / 100 % 100 - 1) / 3;
}

TEST(GeneratedRepos, QuoteRatesAsFractionsWithAConsistentRange) {
    const auto& b = SampleBundle::get();
    for (const auto& [id, rows] : b.repos) {
        for (const auto& r : rows) {
            EXPECT_GT(r.low, 0.0) << id << " " << r.date;
            EXPECT_LE(r.low, std::min({r.open, r.close, r.weighted})) << id << " " << r.date;
            EXPECT_GE(r.high, std::max({r.open, r.close, r.weighted})) << id << " " << r.date;
            EXPECT_LT(r.high, 0.2) << id << " " << r.date;
            EXPECT_EQ(r.turnover, r.volume * 100.0) << id << " " << r.date;
        }
    }
    // The seven-day rate sits near the policy rate (2.55% falling to 2.2% over 2019-2020).
    std::vector<double> r007;
    for (const auto& r : b.repos.at("R007.IB")) r007.push_back(r.weighted);
    EXPECT_NEAR(mean(r007), 0.024, 0.004);
}

TEST(GeneratedRepos, SpikeForLoansOverAQuarterEnd) {
    const auto& b = SampleBundle::get();
    struct Case {
        const char* id;
        int last_days;  // trading days before each quarter end that count as its end
        double lift;    // least rise of their mean over the mean of all days
    };
    for (const Case c : {Case{"204001.SH", 1, 0.005}, Case{"131810.SZ", 1, 0.005},
                         Case{"R007.IB", 5, 0.001}, Case{"R014.IB", 8, 0.001}}) {
        const auto& rows = b.repos.at(c.id);
        std::vector<double> all, ends;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            all.push_back(rows[i].weighted);
            // The last trading days of a quarter are those with fewer than `last_days`
            // trading days of the same quarter after them.
            int later = 0;
            for (std::size_t j = i + 1;
                 j < rows.size() && quarter_of(rows[j].date) == quarter_of(rows[i].date); ++j)
                ++later;
            if (later < c.last_days && i + 1 < rows.size()) ends.push_back(rows[i].weighted);
        }
        ASSERT_GE(ends.size(), 7u * static_cast<std::size_t>(c.last_days)) << c.id;
        EXPECT_GT(mean(ends) - mean(all), c.lift) << c.id;
    }
}

TEST(GeneratedRepos, LongTermsHaveDaysWithoutTrades) {
    const auto& b = SampleBundle::get();
    auto idle = [&](const char* id) {
        return std::count_if(b.repos.at(id).begin(), b.repos.at(id).end(),
                             [](const auto& r) { return r.volume == 0.0; });
    };
    EXPECT_GT(idle("204182.SH"), 50);
    EXPECT_GT(idle("R3M.IB"), 20);
    EXPECT_EQ(idle("R001.IB"), 0);
    EXPECT_EQ(idle("204001.SH"), 0);
    for (const auto& r : b.repos.at("204182.SH")) {
        if (r.volume == 0.0) {
            EXPECT_EQ(r.open, r.close) << r.date;  // no trade, last quote
        }
    }
}

TEST(GeneratedRepos, FollowTheirMarketsCalendar) {
    const auto& b = SampleBundle::get();
    auto days = [&](const char* id) {
        std::vector<std::int32_t> d;
        for (const auto& r : b.repos.at(id)) d.push_back(r.date);
        return d;
    };
    std::vector<std::int32_t> ib, exchange;
    std::copy_if(b.inter_bank_days.begin(), b.inter_bank_days.end(), std::back_inserter(ib),
                 [](std::int32_t d) { return d >= SampleBundle::START && d <= SampleBundle::END; });
    std::copy_if(b.exchange_days.begin(), b.exchange_days.end(), std::back_inserter(exchange),
                 [](std::int32_t d) { return d >= SampleBundle::START && d <= SampleBundle::END; });
    EXPECT_EQ(days("R001.IB"), ib);
    EXPECT_EQ(days("R3M.IB"), ib);
    EXPECT_EQ(days("204007.SH"), exchange);
    EXPECT_EQ(days("131801.SZ"), exchange);
}

}  // namespace
}  // namespace tools_test
