// Number formatting, axis ticks and downsampling behind the report's tables and charts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "report_svg.hpp"

using namespace korvex;
using namespace korvex::report;
using namespace std::chrono;

TEST(ReportFormat, MoneyPercentAndCounts) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::string got, want;
    };
    const Case cases[] = {
        {format_money(1234567.891), "1,234,567.89"},
        {format_money(-1234.5), "-1,234.50"},
        {format_money(999.999), "1,000.00"},
        {format_money(100), "100.00"},
        {format_money(-0.004), "0.00"},
        {format_money(-999999.996), "-1,000,000.00"},
        {format_money(nan), "n/a"},
        {format_money(std::numeric_limits<double>::infinity()), "n/a"},
        {format_money(1234.51, 0), "1,235"},
        {format_count(300000), "300,000"},
        {format_count(-1500), "-1,500"},
        {format_count(2.5), "2.5"},
        {format_count(1234.56789), "1,234.5679"},
        {format_percent(0.0234568), "2.35%"},
        {format_percent(-0.15), "-15.00%"},
        {format_percent(-0.00001), "0.00%"},
        {format_percent(1.5, 0), "150%"},
        {format_value(Value(300017.671233)), "300,017.67"},
        {format_value(Value(2.15)), "2.15"},
        {format_value(Value(0.000125)), "0.000125"},
        {format_value(Value(7)), "7"},
        {format_value(Value(20210309)), "20210309"},
        {format_value(Value(make_datetime(2021, 3, 9))), "2021-03-09"},
        {format_value(Value(make_datetime(2021, 3, 9, 15))), "2021-03-09 15:00:00"},
        {format_value(Value("R001")), "R001"},
        {format_value(Value()), ""},
    };
    for (auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ReportFormat, SummaryEntriesByKeyAndType) {
    struct Case {
        const char* key;
        State value;
        const char* want;
    };
    const Case cases[] = {
        {"total_return", 0.1234, "12.34%"},
        {"annual_return", -0.05, "-5.00%"},
        {"max_drawdown", 0.0291, "2.91%"},
        {"volatility", 0.0421, "4.21%"},
        {"sharpe", 1.2345, "1.23"},
        {"max_leverage", 2.5, "2.50"},
        {"modified_duration", 3.456, "3.46"},
        {"final_equity", 1023456.789, "1,023,456.79"},
        {"repo_interest_paid", 2500.25, "2,500.25"},
        {"trading_days", 1250, "1,250"},
        {"trades", 3u, "3"},
        {"start_date", "2021-03-01", "2021-03-01"},
        {"sharpe", std::nan(""), "n/a"},
        {"flag", true, "yes"},
        {"nothing", nullptr, "n/a"},
    };
    for (auto& c : cases) EXPECT_EQ(format_summary_value(c.key, c.value), c.want) << c.key;
}

TEST(ReportFormat, HumanizedKeysAndEscapes) {
    EXPECT_EQ(humanize("repo_interest_paid"), "Repo interest paid");
    EXPECT_EQ(humanize("price_pnl"), "Price P&L");
    EXPECT_EQ(humanize("dv01"), "DV01");
    EXPECT_EQ(humanize("sharpe"), "Sharpe");
    EXPECT_EQ(humanize("order_book_id"), "Order book ID");
    EXPECT_EQ(humanize("_odd__key_"), "Odd key");
    EXPECT_EQ(html_escape("a<b>&\"c\"'d'"), "a&lt;b&gt;&amp;&quot;c&quot;&#39;d&#39;");
    EXPECT_EQ(html_escape("债券 R001"), "债券 R001");
}

TEST(ReportFormat, AxisLabelsShareUnitAndDecimals) {
    using V = std::vector<std::string>;
    EXPECT_EQ(axis_labels({0, 500000, 1000000}, 500000, AxisKind::Money), (V{"0", "0.5M", "1.0M"}));
    EXPECT_EQ(axis_labels({980000, 1000000, 1020000}, 20000, AxisKind::Money),
              (V{"0.98M", "1.00M", "1.02M"}));
    EXPECT_EQ(axis_labels({0, 2500, 5000}, 2500, AxisKind::Money), (V{"0", "2.5k", "5.0k"}));
    EXPECT_EQ(axis_labels({-2e9, 0, 2e9}, 2e9, AxisKind::Money), (V{"-2B", "0", "2B"}));
    EXPECT_EQ(axis_labels({0, 20, 40}, 20, AxisKind::Money), (V{"0", "20", "40"}));
    EXPECT_EQ(axis_labels({-0.03, -0.02, -0.01, 0}, 0.01, AxisKind::Percent),
              (V{"-3%", "-2%", "-1%", "0%"}));
    EXPECT_EQ(axis_labels({-0.004, -0.002, 0}, 0.002, AxisKind::Percent),
              (V{"-0.4%", "-0.2%", "0.0%"}));
}

TEST(ReportTicks, RoundStepsCoveringTheRange) {
    struct Case {
        double lo, hi;
        int target;
        double step, first, last;
    };
    const Case cases[] = {
        {0, 1, 5, 0.2, 0, 1},
        {986000, 1023456, 5, 10000, 980000, 1030000},
        {-0.02876, 0, 3, 0.01, -0.03, 0},
        {5, 5, 4, 0.1, 4.7, 5.3},
        {0, 0, 4, 0.5, -1, 1},
        {-120, 3400, 6, 500, -500, 3500},
    };
    for (auto& c : cases) {
        Ticks t = nice_ticks(c.lo, c.hi, c.target);
        EXPECT_DOUBLE_EQ(t.step, c.step) << c.lo << ".." << c.hi;
        ASSERT_FALSE(t.values.empty());
        EXPECT_NEAR(t.values.front(), c.first, 1e-9 * std::max(1.0, std::fabs(c.first)));
        EXPECT_NEAR(t.values.back(), c.last, 1e-9 * std::max(1.0, std::fabs(c.last)));
        for (std::size_t i = 1; i < t.values.size(); ++i)
            EXPECT_NEAR(t.values[i] - t.values[i - 1], c.step, c.step * 1e-9);
    }
}

TEST(ReportTicks, DatesOnRoundDaysMonthsAndYears) {
    auto labels = [](Date a, Date b) {
        std::vector<std::string> out;
        for (auto& t : date_ticks(a, b, 8)) out.push_back(t.label);
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(labels(sys_days(2021y / 3 / 3), sys_days(2021y / 3 / 9)),
              (V{"2021-03-03", "2021-03-04", "2021-03-05", "2021-03-06", "2021-03-07", "2021-03-08",
                 "2021-03-09"}));
    // Mondays for a couple of months.
    EXPECT_EQ(labels(sys_days(2021y / 3 / 1), sys_days(2021y / 4 / 23)),
              (V{"2021-03-01", "2021-03-08", "2021-03-15", "2021-03-22", "2021-03-29", "2021-04-05",
                 "2021-04-12", "2021-04-19"}));
    EXPECT_EQ(labels(sys_days(2020y / 1 / 2), sys_days(2020y / 12 / 31)),
              (V{"2020-03", "2020-05", "2020-07", "2020-09", "2020-11"}));
    EXPECT_EQ(labels(sys_days(2015y / 6 / 1), sys_days(2024y / 12 / 31)),
              (V{"2016", "2018", "2020", "2022", "2024"}));
    EXPECT_EQ(labels(sys_days(2021y / 3 / 3), sys_days(2021y / 3 / 3)), (V{"2021-03-03"}));
    EXPECT_EQ(labels(sys_days(1969y / 12 / 1), sys_days(1970y / 1 / 20)).front(), "1969-12-01");
}

TEST(ReportDownsample, KeepsEndsAndExtremesWithinBudget) {
    std::vector<double> v(10000);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::sin(static_cast<double>(i) / 300.0);
    v[4321] = 5;   // a spike
    v[7777] = -5;  // a crash
    v[100] = std::numeric_limits<double>::quiet_NaN();
    auto idx = downsample(v, 400);
    EXPECT_LE(idx.size(), 400u);
    EXPECT_GE(idx.size(), 350u);
    EXPECT_EQ(idx.front(), 0u);
    EXPECT_EQ(idx.back(), 9999u);
    EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end()));
    EXPECT_EQ(std::adjacent_find(idx.begin(), idx.end()), idx.end());
    EXPECT_NE(std::find(idx.begin(), idx.end(), 4321u), idx.end());
    EXPECT_NE(std::find(idx.begin(), idx.end(), 7777u), idx.end());
    EXPECT_EQ(std::find(idx.begin(), idx.end(), 100u), idx.end());
}

TEST(ReportDownsample, ShortSeriesKeepsEveryFinitePoint) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(downsample({1, nan, 3, 4}, 800), (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_TRUE(downsample({nan, nan}, 800).empty());
    EXPECT_TRUE(downsample({}, 800).empty());
}
