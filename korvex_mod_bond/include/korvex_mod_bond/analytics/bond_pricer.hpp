// QuantLib's view of one fixed-rate bond from its terms: its cash flows, its valuation from a
// yield and its yield from a price, in the units of the bundle (per unit of 100 face at issue;
// yields in percent). The conventions are Chinabond's: Actual/Actual (ICMA) accrual, the yield
// compounded at the coupon frequency and simple within the last coupon period; payments that fall
// on a holiday move to the next exchange working day. Discount bills accrue nothing and are
// yielded on Actual/365.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include <ql/instruments/bond.hpp>
#include <ql/interestrate.hpp>
#include <ql/time/calendar.hpp>
#include <ql/time/daycounter.hpp>

namespace korvex_mod_bond {

struct BondTerms {
    QuantLib::Date issue_date;     // also the day interest starts
    QuantLib::Date maturity_date;  // the last payment
    int frequency = 1;             // coupons a year; 0 for a discount bill
    int amortizing_payments = 0;   // principal repaid in equal parts on the last n coupon days
    double coupon_rate = 0.0;      // percent
};

// What one bond of 100 face pays on one day.
struct Payment {
    QuantLib::Date date;
    double coupon = 0.0;
    double principal = 0.0;
};

struct Valuation {
    double dirty = 0.0;
    double clean = 0.0;
    double accrued = 0.0;
    double ytm = 0.0;  // percent
    double modified_duration = 0.0;
    double convexity = 0.0;
    double dv01 = 0.0;              // price change of one bond for one basis point
    double time_to_maturity = 0.0;  // years
    double residual_principal = 0.0;
};

class BondPricer {
public:
    explicit BondPricer(const BondTerms& terms);

    // Ascending by date, one entry per payment day.
    const std::vector<Payment>& payments() const { return payments_; }
    // Principal still outstanding on `d` after that day's repayment.
    double residual_principal(const QuantLib::Date& d) const;
    // Valuation on `d` (strictly before maturity) at yield `y` (fraction).
    Valuation value(const QuantLib::Date& d, double y) const;
    // The dirty price alone of value(d, y), the way value_at_dirty discounts.
    double dirty(const QuantLib::Date& d, double y) const;
    // Interest accrued on `d` per unit.
    double accrued(const QuantLib::Date& d) const;
    // Valuation on `d` at the yield at which the bond is worth `dirty` (per unit); none when no
    // yield gives that price or nothing remains to be paid after `d`. The same figures as
    // value(), from the flows' discounting times computed once: a few microseconds where
    // QuantLib's solver would count days on every iteration.
    std::optional<Valuation> value_at_dirty(const QuantLib::Date& d, double dirty) const;

    // The payment calendar of every bond: QuantLib's Shanghai exchange calendar.
    static QuantLib::Calendar payment_calendar();

    // A payment still to come and the time it is discounted over from the one before it (or
    // from the valuation day), as QuantLib's yield-based bond functions step through a leg.
    struct Flow {
        double amount;
        double step;
    };

private:
    struct LegFlow {
        QuantLib::Date date;
        QuantLib::Date::serial_type serial;  // the date as a number: compared without QuantLib
        double amount;
        double step;  // from the flow before it
        bool coupon;
        // A coupon's accrual start and reference period, and its whole accrual in years.
        QuantLib::Date accrual_start, period_start, period_end;
        double accrual;
    };

    QuantLib::InterestRate rate_on(const QuantLib::Date& d, double y) const;
    // The flows after `d`. Only the first one's step depends on `d`: the others' are counted
    // once, in leg_. A run asks for the same bond on today's close and yesterday's: the last two
    // days asked for are kept.
    const std::vector<Flow>& flows_on(const QuantLib::Date& d) const;
    // The step of `flow` from `last`, the valuation day when `first`, else the flow before.
    double step(const LegFlow& flow, const QuantLib::Date& last, bool first) const;

    std::shared_ptr<QuantLib::Bond> bond_;
    QuantLib::DayCounter yield_day_counter_;
    QuantLib::Frequency frequency_;
    QuantLib::Date maturity_;
    QuantLib::Date last_period_start_;  // inside the last coupon period the yield is simple
    std::vector<Payment> payments_;
    std::vector<LegFlow> leg_;  // the bond's cash flows in order
    mutable std::array<std::pair<QuantLib::Date, std::vector<Flow>>, 2> flows_{};
    mutable std::size_t next_flows_ = 0;
};

}  // namespace korvex_mod_bond
