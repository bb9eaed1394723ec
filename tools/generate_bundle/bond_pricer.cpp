#include "bond_pricer.hpp"

#include <map>

#include <ql/cashflows/coupon.hpp>
#include <ql/instruments/bonds/amortizingfixedratebond.hpp>
#include <ql/instruments/bonds/fixedratebond.hpp>
#include <ql/instruments/bonds/zerocouponbond.hpp>
#include <ql/pricingengines/bond/bondfunctions.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>
#include <ql/time/daycounters/actualactual.hpp>
#include <ql/time/schedule.hpp>

#include "calendars.hpp"

namespace korvex_generate {

namespace ql = QuantLib;

BondPricer::BondPricer(const BondSpec& spec) : maturity_(spec.maturity_date) {
    // Payments move to the next day on which both markets work, so every position sees them.
    const ql::Calendar payment_calendar = exchange_calendar();
    if (spec.frequency == 0) {
        bond_ = std::make_shared<ql::ZeroCouponBond>(0, payment_calendar, 100.0, maturity_,
                                                     ql::Following, 100.0, spec.issue_date);
        yield_day_counter_ = ql::Actual365Fixed();
        frequency_ = ql::Annual;
        last_period_start_ = spec.issue_date;
    } else {
        frequency_ = spec.frequency == 2 ? ql::Semiannual : ql::Annual;
        const ql::Schedule schedule(spec.issue_date, maturity_, ql::Period(frequency_),
                                    payment_calendar, ql::Unadjusted, ql::Unadjusted,
                                    ql::DateGeneration::Backward, false);
        const ql::DayCounter day_counter = ql::ActualActual(ql::ActualActual::ISMA);
        const std::vector<ql::Rate> coupons{spec.coupon_rate / 100.0};
        if (spec.amortizing_payments > 0) {
            // Equal repayments at the end of each of the last n periods.
            const int periods = static_cast<int>(schedule.size()) - 1;
            const double step = 100.0 / spec.amortizing_payments;
            std::vector<ql::Real> notionals(static_cast<std::size_t>(periods));
            for (int i = 0; i < periods; ++i) {
                const int repaid = std::max(0, i - (periods - spec.amortizing_payments));
                notionals[static_cast<std::size_t>(i)] = 100.0 - step * repaid;
            }
            bond_ = std::make_shared<ql::AmortizingFixedRateBond>(
                0, notionals, schedule, coupons, day_counter, ql::Following, spec.issue_date);
        } else {
            bond_ = std::make_shared<ql::FixedRateBond>(0, 100.0, schedule, coupons, day_counter,
                                                        ql::Following, 100.0, spec.issue_date);
        }
        yield_day_counter_ = day_counter;
        last_period_start_ = schedule.dates()[schedule.size() - 2];
    }

    std::map<ql::Date, Payment> by_date;
    for (const auto& cf : bond_->cashflows()) {
        Payment& p = by_date[cf->date()];
        p.date = cf->date();
        if (ql::ext::dynamic_pointer_cast<ql::Coupon>(cf)) {
            p.coupon += cf->amount();
        } else {
            p.principal += cf->amount();
        }
    }
    for (const auto& [date, p] : by_date) payments_.push_back(p);
}

double BondPricer::residual_principal(const ql::Date& d) const {
    return bond_->notional(d);
}

Valuation BondPricer::value(const ql::Date& d, double y) const {
    const double notional = bond_->notional(d);
    const double scale = notional / 100.0;  // QuantLib quotes per 100 of what is outstanding
    // Chinabond convention: simple yield within the last coupon period, compounded before.
    const ql::Compounding compounding = d >= last_period_start_ ? ql::Simple : ql::Compounded;
    const ql::InterestRate rate(y, yield_day_counter_, compounding, frequency_);
    Valuation v;
    v.dirty = ql::BondFunctions::dirtyPrice(*bond_, rate, d) * scale;
    v.accrued = ql::BondFunctions::accruedAmount(*bond_, d) * scale;
    v.clean = v.dirty - v.accrued;
    v.ytm = y * 100.0;
    v.modified_duration = ql::BondFunctions::duration(*bond_, rate, ql::Duration::Modified, d);
    v.convexity = ql::BondFunctions::convexity(*bond_, rate, d);
    v.dv01 = v.dirty * v.modified_duration * 1e-4;
    v.time_to_maturity = static_cast<double>(maturity_ - d) / 365.0;
    v.residual_principal = notional;
    return v;
}

}  // namespace korvex_generate
