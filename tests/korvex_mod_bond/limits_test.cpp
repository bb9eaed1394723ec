// The limits a fund runs under: an order that would take repo borrowing, total assets, one
// issuer's share or the book's duration past its limit is refused with the figures that breach
// it, what stays within is taken, and breaches the close finds are counted day by day.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "bond_run.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/api/analytics.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/utils.hpp"

using namespace korvex;
using namespace korvex_mod_bond;

namespace {

bool priced_today(StrategyContext& ctx, const std::string& id) {
    Bars bars = ctx.day_bars(id);
    return !bars.empty() &&
           bars.datetime(bars.size() - 1) == convert_date_to_int(to_date(ctx.now()));
}

double close_of(StrategyContext& ctx, const std::string& id) {
    Bars bars = ctx.day_bars(id);
    return bars.get(bars.size() - 1, "close");
}

// Inter-bank bonds priced today, repaid well after the span, by modified duration.
std::vector<std::string> by_duration(StrategyContext& ctx) {
    std::vector<std::pair<double, std::string>> found;
    for (auto& ins : ctx.data_proxy().all_instruments(INSTRUMENT_TYPE::BOND)) {
        const std::string& id = ins->order_book_id();
        if (!ends_with(id, ".IB") || ins->de_listed_date() < DateTime(make_date(2019, 9, 1)) ||
            !priced_today(ctx, id) || !ins->record().find("issuer"))
            continue;
        const double d = api::bond_analytics(ctx, id).modified_duration;
        if (std::isfinite(d)) found.emplace_back(d, id);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> ids;
    for (auto& [d, id] : found) ids.push_back(id);
    return ids;
}

double units_for(double value, double price) {
    return std::floor(value / price / 1000) * 1000;
}

// Each day one limit: what breaches it is refused, what stays within it is taken.
class TestLimits : public Strategy {
public:
    void handle_bar(StrategyContext& ctx) override {
        Account& account = ctx.portfolio().account(DEFAULT_ACCOUNT_TYPE::BOND);
        const double net = ctx.portfolio().total_value();
        ++day_;
        if (day_ == 1) {
            const auto ids = by_duration(ctx);
            ASSERT_GE(ids.size(), 3u);
            short_ = ids.front();
            long_ = ids.back();
            other_ = ids[1];
            issuer_ = ctx.data_proxy().instruments(short_)->record().get("issuer").as_string();
            ASSERT_TRUE(api::order_bond(ctx, short_, units_for(0.6 * net, close_of(ctx, short_))));
        } else if (day_ == 2) {
            // One issuer at most 70%: 15% more of the same bond is refused.
            const double units = units_for(0.15 * net, close_of(ctx, short_));
            const double held =
                account.get_position(short_, POSITION_DIRECTION::LONG).market_value();
            expected.push_back(fmt::format(
                "Order rejected: bonds of {} would reach {:.2f}, above the limit of 70% of net "
                "assets {:.2f}",
                issuer_, held + units * close_of(ctx, short_), net));
            EXPECT_FALSE(api::order_bond(ctx, short_, units));
            // Repo borrowing at most 40%: 45% is refused, 35% taken.
            const double face =
                account.get_position(short_, POSITION_DIRECTION::LONG).quantity() * 100;
            const double too_much = std::floor(0.45 * net / 100) * 100;
            ASSERT_LT(too_much, face);
            expected.push_back(fmt::format(
                "Order creation failed: repo borrowing would reach {:.2f}, above the limit of 40% "
                "of net assets {:.2f}",
                too_much, net));
            EXPECT_FALSE(api::ib_repo(ctx, 7, too_much, short_, 1.0));
            borrowed_ = std::floor(0.35 * net / 100) * 100;
            EXPECT_TRUE(api::ib_repo(ctx, 7, borrowed_, short_, 1.0));
        } else if (day_ == 3) {
            // Total assets at most 138%: 4% more borrowing (39% of net assets) is refused.
            const double more = std::floor(0.04 * net / 100) * 100;
            expected.push_back(fmt::format(
                "Order creation failed: total assets would reach {:.2f}, above the limit of 138% "
                "of net assets {:.2f}",
                net + borrowed_ + more, net));
            EXPECT_FALSE(api::ib_repo(ctx, 7, more, short_, 1.0));
            // The book's duration at most 3 years: the longest bond is refused.
            const double units = units_for(0.3 * net, close_of(ctx, long_));
            const double value = units * close_of(ctx, long_);
            const Position& held = account.get_position(short_, POSITION_DIRECTION::LONG);
            const double after =
                (api::bond_analytics(ctx, short_).modified_duration * held.market_value() +
                 api::bond_analytics(ctx, long_).modified_duration * value) /
                (held.market_value() + value);
            ASSERT_GT(after, 3.0);
            expected.push_back(fmt::format(
                "Order rejected: the bonds' modified duration would move to {:.2f}, outside the "
                "limits of 0 to 3",
                after));
            EXPECT_FALSE(api::order_bond(ctx, long_, units));
            // A sale may always bring the book nearer its limits.
            EXPECT_TRUE(api::order_bond(ctx, short_, -1000));
        } else if (day_ == 4) {
            // Borrowing close to the total-assets limit, then a purchase whose commission (1%)
            // takes net assets down: the close finds total assets above 138%.
            const double more = std::floor((0.3795 * net - borrowed_) / 100) * 100;
            EXPECT_TRUE(api::ib_repo(ctx, 7, more, short_, 1.0));
            EXPECT_TRUE(api::order_bond(ctx, other_, units_for(0.3 * net, close_of(ctx, other_))));
        }
    }
    std::vector<std::string> expected;

private:
    int day_ = 0;
    std::string short_, long_, other_, issuer_;
    double borrowed_ = 0;
};

}  // namespace

TEST(FundLimits, RefuseWhatWouldBreachThemAndCountWhatTheCloseFinds) {
    Config config =
        korvex::testing::bond_run_config("2019-03-01", "2019-03-15", "BOND = 100000000");
    config.set("mod.bond.limits.max_repo_borrowing", Value(0.4));
    config.set("mod.bond.limits.max_total_assets", Value(1.38));
    config.set("mod.bond.limits.max_issuer", Value(0.7));
    config.set("mod.bond.limits.max_duration", Value(3.0));
    config.set("mod.bond.ib_bond_commission_rate", Value(0.01));
    TestLimits s;
    LogCapture log;
    const RunResult r = korvex::testing::run_bond(config, s);
    const std::vector<std::string> warnings = log.messages("user_system_log");
    ASSERT_EQ(s.expected.size(), 4u);
    for (const std::string& e : s.expected)
        EXPECT_NE(std::find(warnings.begin(), warnings.end(), e), warnings.end()) << e;

    // Days at the close with total assets above 138% of net assets, from the daily book.
    const auto column = [&](std::string_view name) {
        return static_cast<std::size_t>(
            std::find(r.metric_names.begin(), r.metric_names.end(), name) - r.metric_names.begin());
    };
    int over = 0;
    std::string first;
    for (const DailyRecord& d : r.daily) {
        const double borrowed = d.metrics[column("repo_borrowed")];
        if (d.equity + borrowed > 1.38 * d.equity) {
            if (!over++) first = format_date(d.date);
            EXPECT_GE(d.metrics[column("limits_breached")], 1.0);
        }
    }
    ASSERT_GE(over, 1);
    const std::map<std::string, double> summary(r.summary_extras.begin(), r.summary_extras.end());
    EXPECT_EQ(summary.at("limit_breach_days_total_assets"), over);
    EXPECT_EQ(summary.at("limit_breach_days_repo_borrowing"), 0);
    const std::string said = "Fund limit breached at the close of " + first + ": total assets";
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [&](const std::string& w) {
        return w.starts_with(said);
    })) << said;

    Config bad = config;
    bad.set("mod.bond.limits.min_duration", Value(4.0));
    EXPECT_THROW(
        {
            try {
                korvex::testing::run_bond(bad, s);
            } catch (const korvex::ValueError& e) {
                EXPECT_STREQ(e.what(),
                             "mod.bond.limits: min_duration 4 needs a max_duration at or above "
                             "it, got 3");
                throw;
            }
        },
        korvex::ValueError);
}
