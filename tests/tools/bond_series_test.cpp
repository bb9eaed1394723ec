// The generated bonds, checked the way a user would check vendor data: prices against the
// coupon schedule written in the record, cash flows against each other, rows against calendars.
#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "sample_bundle.hpp"

namespace tools_test {
namespace {

bool has(const std::vector<std::int32_t>& days, std::int32_t d) {
    return std::binary_search(days.begin(), days.end(), d);
}

std::int32_t first_on_or_after(const std::vector<std::int32_t>& days, std::int32_t d) {
    return *std::lower_bound(days.begin(), days.end(), d);
}

// The coupon an inter-bank bond's valuation no longer holds on `day`: from the record day, when
// the coupon becomes receivable to the holder of record, to its payment.
double detached_coupon(const SampleBundle& b, const std::string& id, std::int32_t day) {
    if (!id.ends_with(".IB")) return 0.0;
    const auto& implied = b.implied.at(id);
    for (std::size_t i = 0; i + 1 < implied.size(); ++i)
        if (implied[i].total == 0.0 && implied[i].date <= day && day < implied[i + 1].date)
            return implied[i].receivable;
    return 0.0;
}

// The coupon terms a record states: unadjusted coupon days, counted back from maturity.
struct Terms {
    int frequency = 0;
    double rate = 0.0;  // percent
    std::int32_t issue = 0;
    std::int32_t maturity = 0;
    std::vector<std::int32_t> schedule;  // ascending, after the issue day, maturity last
    bool regular = true;                 // issue day itself lies on the schedule

    explicit Terms(const SampleBundle& b, const std::string& id)
        : frequency(static_cast<int>(*b.number(id, "coupon_frequency"))),
          rate(*b.number(id, "coupon_rate")),
          issue(date_of(b.text(id, "issue_date"))),
          maturity(date_of(b.text(id, "maturity_date"))) {
        if (frequency == 0) return;
        for (int k = 0;; ++k) {
            const std::int32_t d = minus_months(maturity, k * 12 / frequency);
            if (d <= issue) {
                regular = d == issue;
                break;
            }
            schedule.insert(schedule.begin(), d);
        }
    }
};

// Inter-bank valuations are ex-coupon from the record day to the payment: the coupon counts once,
// as the holder of record's receivable.
TEST(GeneratedValuations, DirtyIsCleanPlusAccruedInterestOfTheRecordsCouponExOnceRecorded) {
    const auto& b = SampleBundle::get();
    std::size_t checked = 0, ex = 0;
    for (const auto& id : b.bonds_with_data()) {
        const Terms t(b, id);
        for (const auto& v : b.valuations.at(id)) {
            if (v.residual == 0.0) continue;
            if (t.frequency == 0) {
                EXPECT_EQ(v.dirty, v.clean)
                    << id << " " << v.date;  // discount bills accrue nothing
                continue;
            }
            const auto next = std::upper_bound(t.schedule.begin(), t.schedule.end(), v.date);
            ASSERT_NE(next, t.schedule.end()) << id << " valued after maturity on " << v.date;
            const std::int32_t prev = next == t.schedule.begin() ? t.issue : *(next - 1);
            if (next == t.schedule.begin() && !t.regular) continue;  // odd first period
            // Between a coupon day on a holiday and its payment the old coupon is still owed.
            if (prev != t.issue && v.date < first_on_or_after(b.exchange_days, prev)) continue;
            const double accrued = t.rate / t.frequency * days_between(prev, v.date) /
                                   days_between(prev, *next) * v.residual / 100.0;
            const double detached = detached_coupon(b, id, v.date);
            EXPECT_NEAR(v.dirty - v.clean, accrued - detached, 6e-5) << id << " on " << v.date;
            ++checked;
            ex += detached != 0.0;
        }
    }
    EXPECT_GT(checked, 5000u);
    EXPECT_GT(ex, 20u);
}

TEST(GeneratedCashFlows, CouponsAddUpToTheScheduleAndPrincipalToTheFace) {
    const auto& b = SampleBundle::get();
    int amortizing = 0;
    for (const auto& id : b.bonds_with_data()) {
        const Terms t(b, id);
        const auto& rows = b.realized.at(id);
        if (t.frequency == 0) {
            ASSERT_EQ(rows.size(), 1u) << id;
            EXPECT_EQ(rows[0].date, t.maturity) << id;
            EXPECT_EQ(rows[0].total, 100.0) << id;
            EXPECT_EQ(rows[0].principal, 100.0) << id;
            continue;
        }
        ASSERT_EQ(rows.size(), t.schedule.size()) << id;
        double outstanding = 100.0, coupons = 0.0, expected = 0.0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            // Paid on the first day both markets work, on or after the coupon day (as far as
            // the bundle's calendar reaches).
            if (t.schedule[i] <= b.exchange_days.back()) {
                EXPECT_EQ(rows[i].date, first_on_or_after(b.exchange_days, t.schedule[i])) << id;
            }
            const double coupon = rows[i].total - rows[i].principal;
            if (i > 0 || t.regular) {
                EXPECT_NEAR(coupon, t.rate / t.frequency * outstanding / 100.0, 1e-9)
                    << id << " #" << i;
                expected += t.rate / t.frequency * outstanding / 100.0;
                coupons += coupon;
            }
            outstanding -= rows[i].principal;
            if (rows[i].principal > 0.0 && i + 1 < rows.size()) ++amortizing;
        }
        EXPECT_NEAR(coupons, expected, 1e-8) << id;
        EXPECT_NEAR(outstanding, 0.0, 1e-9) << id;
    }
    EXPECT_GT(amortizing, 0) << "the sample must hold amortizing bonds";
}

TEST(GeneratedCashFlows, PrincipalRetiresTheBondExactlyOnItsLastPayment) {
    const auto& b = SampleBundle::get();
    int matured = 0;
    for (const auto& id : b.bonds_with_data()) {
        const auto& rows = b.realized.at(id);
        const double issue_price = b.number(id, "issue_price").value_or(100.0);
        double cumulative = 0.0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            cumulative += rows[i].principal;
            // De-listing happens when the cumulative principal reaches the issue price.
            EXPECT_EQ(cumulative >= issue_price, i + 1 == rows.size()) << id << " #" << i;
        }
        const std::int32_t last = rows.back().date;
        if (b.fields.at(id).at("de_listed_date").kind != "none") {
            EXPECT_EQ(date_of(b.text(id, "de_listed_date")), last) << id;
        }
        // Residual principal follows the repayments and is zero from the last payment on.
        const auto& vals = b.valuations.at(id);
        for (const auto& v : vals) {
            double paid = 0.0;
            for (const auto& r : rows) paid += r.date <= v.date ? r.principal : 0.0;
            EXPECT_NEAR(v.residual, 100.0 - paid, 1e-9) << id << " on " << v.date;
        }
        if (last <= SampleBundle::END) {
            ++matured;
            ASSERT_EQ(vals.back().date, last) << id;
            EXPECT_EQ(vals.back().residual, 0.0) << id;
            EXPECT_EQ(vals.back().dirty, 0.0) << id;
            EXPECT_GT(vals[vals.size() - 2].residual, 0.0) << id;
        }
    }
    EXPECT_GE(matured, 5);
}

TEST(GeneratedCashFlows, CouponBecomesReceivableOneInterBankDayBeforePayment) {
    const auto& b = SampleBundle::get();
    for (const auto& id : b.bonds_with_data()) {
        const auto& implied = b.implied.at(id);
        const auto& realized = b.realized.at(id);
        std::size_t r = 0;
        double receivable = 0.0, paid = 0.0;
        for (std::size_t i = 0; i < implied.size(); ++i) {
            const auto& row = implied[i];
            receivable += row.receivable;
            paid += row.total;
            if (row.total != 0.0) {
                ASSERT_LT(r, realized.size()) << id;
                EXPECT_EQ(row.date, realized[r].date) << id;
                EXPECT_EQ(row.total, realized[r].total) << id;
                EXPECT_EQ(row.principal, realized[r].principal) << id;
                EXPECT_EQ(row.receivable, row.principal) << id << ": principal is owed on the day";
                ++r;
                continue;
            }
            // A receivable-only row: the coupon of the next payment, on the inter-bank day
            // before it.
            ASSERT_LT(i + 1, implied.size()) << id;
            const auto& payment = implied[i + 1];
            EXPECT_NEAR(row.receivable, payment.total - payment.principal, 1e-12) << id;
            EXPECT_EQ(row.principal, 0.0) << id;
            if (payment.date > b.inter_bank_days.back()) continue;  // beyond the calendar
            const auto it =
                std::lower_bound(b.inter_bank_days.begin(), b.inter_bank_days.end(), payment.date);
            ASSERT_NE(it, b.inter_bank_days.begin());
            EXPECT_EQ(row.date, *(it - 1)) << id;
        }
        EXPECT_EQ(r, realized.size()) << id;
        EXPECT_NEAR(receivable, paid, 1e-9) << id;
    }
}

TEST(GeneratedValuations, CoverEveryInterBankDayWhileListed) {
    const auto& b = SampleBundle::get();
    for (const auto& id : b.bonds_with_data()) {
        if (b.fields.at(id).at("listed_date").kind == "none") continue;
        const std::int32_t from = std::max(date_of(b.text(id, "listed_date")), SampleBundle::START);
        const std::int32_t to = std::min(date_of(b.text(id, "maturity_date")), SampleBundle::END);
        std::vector<std::int32_t> expected;
        for (std::int32_t d : b.inter_bank_days) {
            if (d >= from && d <= to) expected.push_back(d);
        }
        std::vector<std::int32_t> got;
        if (b.valuations.contains(id)) {
            for (const auto& v : b.valuations.at(id)) got.push_back(v.date);
        }
        EXPECT_EQ(got, expected) << id;
    }
}

TEST(GeneratedValuations, AnalyticsAreConsistent) {
    const auto& b = SampleBundle::get();
    for (const auto& [id, rows] : b.valuations) {
        for (const auto& v : rows) {
            if (v.residual == 0.0) continue;
            EXPECT_GT(v.ytm, 0.2) << id << " " << v.date;  // percent
            EXPECT_LT(v.ytm, 12.0) << id << " " << v.date;
            EXPECT_GT(v.modified_duration, 0.0) << id;
            EXPECT_LE(v.modified_duration, v.time_to_maturity + 1e-3) << id << " " << v.date;
            EXPECT_NEAR(v.dv01, v.dirty * v.modified_duration * 1e-4, 2e-6) << id << " " << v.date;
            EXPECT_GE(v.convexity, 0.0) << id;
            if (v.time_to_maturity > 0.1) {
                EXPECT_GT(v.convexity, 0.0) << id << " " << v.date;
            }
        }
    }
}

TEST(GeneratedPrices, ExchangeBondsTradeOnExchangeDaysWithGapsAndIdleDays) {
    const auto& b = SampleBundle::get();
    std::size_t rows = 0, idle = 0, possible = 0;
    for (const auto& id : b.bonds_with_data()) {
        const bool exchange = !id.ends_with(".IB");
        ASSERT_TRUE(b.prices.contains(id)) << id;
        const auto& vals = b.valuations.at(id);
        for (const auto& p : b.prices.at(id)) {
            if (exchange) {
                EXPECT_TRUE(has(b.exchange_days, p.date)) << id << " " << p.date;
            }
            EXPECT_GE(p.high, std::max(p.open, p.eod)) << id << " " << p.date;
            EXPECT_LE(p.low, std::min(p.open, p.eod)) << id << " " << p.date;
            const auto v =
                std::lower_bound(vals.begin(), vals.end(), p.date,
                                 [](const auto& row, std::int32_t d) { return row.date < d; });
            ASSERT_TRUE(v != vals.end() && v->date == p.date) << id << " " << p.date;
            EXPECT_NEAR(p.ytm, v->ytm, 0.15) << id << " " << p.date;
            // Prices are cum-coupon to the payment day, valuations ex from the record day.
            EXPECT_NEAR(p.eod - p.clean, v->dirty - v->clean + detached_coupon(b, id, p.date),
                        2e-4)
                << id << " " << p.date;
            idle += p.volume == 0.0;
            if (p.volume == 0.0) {
                EXPECT_EQ(p.open, p.eod) << id;
            }
        }
        rows += b.prices.at(id).size();
        for (const auto& v : vals)
            possible += v.residual > 0.0 && (!exchange || has(b.exchange_days, v.date));
    }
    EXPECT_GT(idle, 0u);
    EXPECT_LT(rows, possible) << "some days must have no trades";
    EXPECT_GT(rows, possible / 2);
}

}  // namespace
}  // namespace tools_test
