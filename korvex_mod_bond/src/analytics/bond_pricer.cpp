#include "korvex_mod_bond/analytics/bond_pricer.hpp"

#include <cmath>
#include <limits>
#include <map>

#include <ql/cashflows/coupon.hpp>
#include <ql/instruments/bonds/amortizingfixedratebond.hpp>
#include <ql/instruments/bonds/fixedratebond.hpp>
#include <ql/instruments/bonds/zerocouponbond.hpp>
#include <ql/pricingengines/bond/bondfunctions.hpp>
#include <ql/time/calendars/china.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>
#include <ql/time/daycounters/actualactual.hpp>
#include <ql/time/schedule.hpp>

namespace korvex_mod_bond {

namespace ql = QuantLib;

ql::Calendar BondPricer::payment_calendar() {
    return ql::China(ql::China::SSE);
}

BondPricer::BondPricer(const BondTerms& terms) : maturity_(terms.maturity_date) {
    const ql::Calendar calendar = payment_calendar();
    if (terms.frequency == 0) {
        bond_ = std::make_shared<ql::ZeroCouponBond>(0, calendar, 100.0, maturity_, ql::Following,
                                                     100.0, terms.issue_date);
        yield_day_counter_ = ql::Actual365Fixed();
        frequency_ = ql::Annual;
        last_period_start_ = terms.issue_date;
    } else {
        frequency_ = terms.frequency == 2 ? ql::Semiannual : ql::Annual;
        const ql::Schedule schedule(terms.issue_date, maturity_, ql::Period(frequency_), calendar,
                                    ql::Unadjusted, ql::Unadjusted, ql::DateGeneration::Backward,
                                    false);
        const ql::DayCounter day_counter = ql::ActualActual(ql::ActualActual::ISMA);
        const std::vector<ql::Rate> coupons{terms.coupon_rate / 100.0};
        if (terms.amortizing_payments > 0) {
            // Equal repayments at the end of each of the last n periods.
            const int periods = static_cast<int>(schedule.size()) - 1;
            const double step = 100.0 / terms.amortizing_payments;
            std::vector<ql::Real> notionals(static_cast<std::size_t>(periods));
            for (int i = 0; i < periods; ++i) {
                const int repaid = std::max(0, i - (periods - terms.amortizing_payments));
                notionals[static_cast<std::size_t>(i)] = 100.0 - step * repaid;
            }
            bond_ = std::make_shared<ql::AmortizingFixedRateBond>(
                0, notionals, schedule, coupons, day_counter, ql::Following, terms.issue_date);
        } else {
            bond_ = std::make_shared<ql::FixedRateBond>(0, 100.0, schedule, coupons, day_counter,
                                                        ql::Following, 100.0, terms.issue_date);
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

ql::InterestRate BondPricer::rate_on(const ql::Date& d, double y) const {
    // Chinabond convention: simple yield within the last coupon period, compounded before.
    const ql::Compounding compounding = d >= last_period_start_ ? ql::Simple : ql::Compounded;
    return ql::InterestRate(y, yield_day_counter_, compounding, frequency_);
}

Valuation BondPricer::value(const ql::Date& d, double y) const {
    const double notional = bond_->notional(d);
    const double scale = notional / 100.0;  // QuantLib quotes per 100 of what is outstanding
    const ql::InterestRate rate = rate_on(d, y);
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

double BondPricer::yield(const ql::Date& d, double dirty) const {
    const double notional = bond_->notional(d);
    if (!(dirty > 0) || !(notional > 0) || d >= maturity_)
        return std::numeric_limits<double>::quiet_NaN();
    const ql::InterestRate guess = rate_on(d, 0.03);
    try {
        return ql::BondFunctions::yield(*bond_, dirty / (notional / 100.0), guess.dayCounter(),
                                        guess.compounding(), guess.frequency(), d, 1e-12, 200,
                                        0.03, ql::Bond::Price::Dirty);
    } catch (const ql::Error&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace korvex_mod_bond
