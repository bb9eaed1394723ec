// What a bond is worth and how it moves, as of the run's time: prices, accrued interest, yield,
// duration, convexity, DV01, time to maturity, outstanding principal and the payments still to
// come. The figures are the valuation row's where the run's bars carry them (Chinabond
// valuations); otherwise QuantLib computes them from the bar's price and the bond's terms
// (coupon_rate, coupon_frequency, issue_date, maturity_date, amortizing_payments) with the same
// conventions. Only what is known at the run's time is read: the latest close at or before now.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex_mod_bond/analytics/bond_pricer.hpp"
#include "korvex_mod_bond/analytics/curve_history.hpp"
#include "korvex_mod_bond/position/cash_flow.hpp"

namespace korvex {
class Environment;
}

namespace korvex_mod_bond {

class BondInstrument;

QuantLib::Date to_ql(korvex::Date d);

// One payment still to come, per unit of 100 face at issue.
struct RemainingPayment {
    korvex::Date date;
    double coupon = 0.0;
    double principal = 0.0;
};

// Per unit of 100 face at issue; yields in percent, durations in years. NaN where the bond has
// no price yet, or neither a valuation row nor terms to compute from.
struct BondAnalytics {
    std::string order_book_id;
    std::optional<korvex::Date> as_of;  // the close whose price the figures read
    std::string_view source = "none";   // "valuation", "quantlib" or "none"
    double dirty_price = NAN;
    double clean_price = NAN;
    double accrued_interest = NAN;
    double ytm = NAN;
    double modified_duration = NAN;
    double convexity = NAN;
    double dv01 = NAN;  // yuan per unit for one basis point
    double time_to_maturity = NAN;
    double outstanding_principal = NAN;
    // The run's reference curve (treasuries by default) at the bond's time to maturity on the
    // day of the close, and the yield over it in basis points. NaN without a curve that day.
    double curve_yield = NAN;
    double spread_bp = NAN;
    std::optional<korvex::Date> next_coupon_date;
    double next_coupon_amount = 0.0;
    std::vector<RemainingPayment> cash_flows;  // from today on, ascending
};

// The order extras that carry a bond order's limit in clean price or yield (percent).
inline constexpr std::string_view CLEAN_LIMIT = "clean_limit";
inline constexpr std::string_view YTM_LIMIT = "ytm_limit";

// A bond order's limit in the terms bonds are quoted in: a clean price or a yield (percent).
struct BondLimit {
    std::optional<double> clean_price;
    std::optional<double> ytm;
    bool empty() const { return !clean_price && !ytm; }
};

// One run's analytics, computed when first asked for on a day and kept for the day. A bond's
// QuantLib pricer is built once per run.
class BondAnalyticsBook {
public:
    // `curve`: the bundle's yield curve spreads are taken over.
    explicit BondAnalyticsBook(std::shared_ptr<CashFlowSchedules> schedules,
                               std::string curve = std::string(DEFAULT_CURVE))
        : schedules_(std::move(schedules)), curve_name_(std::move(curve)) {}
    static constexpr std::string_view DEFAULT_CURVE = "treasury";

    // KeyError for an id the run does not know, ValueError for one that is not a bond. The
    // reference is valid until the next call for the same bond.
    const BondAnalytics& of(korvex::Environment& env, const std::string& order_book_id);

    // The bond's QuantLib pricer, built on first use; null when its record lacks the terms.
    const BondPricer* pricer(korvex::Environment& env, const std::string& order_book_id);

    // `limit` as the dirty price per unit of a fill on `day`: the clean price plus the day's
    // accrued interest, or the price at the yield. ValueError naming the bond when its record
    // lacks the terms to compute it.
    double dirty_limit(korvex::Environment& env, const std::string& order_book_id,
                       const BondLimit& limit, korvex::Date day);

    // The curve spreads are taken over, read from the bundle on first use; empty without one.
    const CurveHistory& curve();

    // The book of the run in `env`: the bond mod's, or one made for the environment on first use.
    static BondAnalyticsBook& of_run(korvex::Environment& env);
    static constexpr std::string_view EXTENSION_KEY = "korvex_mod_bond.analytics";

private:
    // What a bond's figures are read from, fetched once a run, and where the day has reached in
    // its bars and payments: each day moves the cursors forward instead of searching.
    struct Entry {
        BondAnalytics figures;
        korvex::Date day{};  // the day they were computed for
        bool computed = false;
        bool after_close = false;  // computed once the day's close was known
        std::shared_ptr<const BondInstrument> bond;
        korvex::Bars bars;         // the whole history; only what is known by now is read
        std::size_t next_bar = 0;  // the first bar not yet known
        CashFlowSchedule schedule;
        std::size_t next_payment = 0;  // the first payment not yet made
        bool pricer_tried = false;
        std::unique_ptr<BondPricer> pricer;  // null: the bond's terms are not in its record
    };
    void compute(Entry& entry, korvex::Date today, bool closed);
    Entry& entry_of(korvex::Environment& env, const std::string& order_book_id);
    static const BondPricer* pricer_of(Entry& entry);

    std::shared_ptr<CashFlowSchedules> schedules_;
    std::unordered_map<std::string, Entry> entries_;
    std::string curve_name_;
    std::optional<CurveHistory> curve_;  // read on first use
};

}  // namespace korvex_mod_bond
