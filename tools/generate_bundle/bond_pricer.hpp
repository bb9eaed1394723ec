// QuantLib's view of one sample bond: its cash flows and its valuation from a yield, in the
// units of the bundle (per bond of 100 face at issue; yields in percent).
#pragma once

#include <memory>
#include <vector>

#include <ql/instruments/bond.hpp>
#include <ql/time/daycounter.hpp>

#include "universe.hpp"

namespace korvex_generate {

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
    explicit BondPricer(const BondSpec& spec);

    // Ascending by date, one entry per payment day.
    const std::vector<Payment>& payments() const { return payments_; }
    // Principal still outstanding on `d` after that day's repayment.
    double residual_principal(const QuantLib::Date& d) const;
    // Valuation on `d` (strictly before maturity) at yield `y` (fraction).
    Valuation value(const QuantLib::Date& d, double y) const;

private:
    std::shared_ptr<QuantLib::Bond> bond_;
    QuantLib::DayCounter yield_day_counter_;
    QuantLib::Frequency frequency_;
    QuantLib::Date maturity_;
    QuantLib::Date last_period_start_;  // inside the last coupon period the yield is simple
    std::vector<Payment> payments_;
};

}  // namespace korvex_generate
