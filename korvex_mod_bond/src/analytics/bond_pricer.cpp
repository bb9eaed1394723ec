#include "korvex_mod_bond/analytics/bond_pricer.hpp"

#include <algorithm>
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
    const ql::Leg& leg = bond_->cashflows();
    for (std::size_t i = 0; i < leg.size(); ++i) {
        LegFlow flow{leg[i]->date(),
                     leg[i]->date().serialNumber(),
                     leg[i]->amount(),
                     0.0,
                     false,
                     {},
                     {},
                     {},
                     0.0};
        if (const auto coupon = ql::ext::dynamic_pointer_cast<ql::Coupon>(leg[i])) {
            flow.coupon = true;
            flow.accrual_start = coupon->accrualStartDate();
            flow.period_start = coupon->referencePeriodStart();
            flow.period_end = coupon->referencePeriodEnd();
            flow.accrual = yield_day_counter_.yearFraction(flow.accrual_start, flow.date,
                                                           flow.period_start, flow.period_end);
        }
        if (i > 0) flow.step = step(flow, leg[i - 1]->date(), false);
        leg_.push_back(flow);
    }
}

double BondPricer::residual_principal(const ql::Date& d) const {
    return bond_->notional(d);
}

double BondPricer::accrued(const ql::Date& d) const {
    return ql::BondFunctions::accruedAmount(*bond_, d) * bond_->notional(d) / 100.0;
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

namespace {

using Flow = BondPricer::Flow;

// Price and its first two derivatives in the yield, each flow discounted by the product of its
// steps' compound factors.
struct PriceCurve {
    double price = 0, first = 0, second = 0;
};

PriceCurve price_curve(const std::vector<Flow>& flows, double y, bool simple, double f) {
    PriceCurve c;
    double log_discount = 0, d1 = 0, d2 = 0;  // -ln(discount) and its derivatives
    for (const Flow& flow : flows) {
        if (simple) {
            const double g = 1 + y * flow.step;
            log_discount += std::log(g);
            d1 += flow.step / g;
            d2 -= flow.step * flow.step / (g * g);
        } else {
            const double g = 1 + y / f;
            log_discount += f * flow.step * std::log(g);
            d1 += flow.step / g;
            d2 -= flow.step / (f * g * g);
        }
        const double discount = std::exp(-log_discount);
        c.price += flow.amount * discount;
        c.first -= flow.amount * discount * d1;
        c.second += flow.amount * discount * (d1 * d1 - d2);
    }
    return c;
}

}  // namespace

double BondPricer::step(const LegFlow& flow, const ql::Date& last, bool first) const {
    const ql::DayCounter& dc = yield_day_counter_;
    if (!flow.coupon)
        return dc.yearFraction(last, flow.date, first ? flow.date - ql::Period(1, ql::Years) : last,
                               flow.date);
    if (last == flow.accrual_start)
        return dc.yearFraction(last, flow.date, flow.period_start, flow.period_end);
    return flow.accrual -
           dc.yearFraction(flow.accrual_start, last, flow.period_start, flow.period_end);
}

const std::vector<Flow>& BondPricer::flows_on(const ql::Date& d) const {
    for (auto& [day, flows] : flows_)
        if (day == d && day != ql::Date()) return flows;
    auto& [day, flows] = flows_[next_flows_];
    next_flows_ = (next_flows_ + 1) % flows_.size();
    day = d;
    flows.clear();
    // What has occurred by `d` (paid on it or before) is not discounted.
    const ql::Date::serial_type day_serial = d.serialNumber();
    const auto first = std::partition_point(
        leg_.begin(), leg_.end(), [&](const LegFlow& f) { return f.serial <= day_serial; });
    for (auto f = first; f != leg_.end(); ++f)
        flows.push_back({f->amount, f == first ? step(*f, d, true) : f->step});
    return flows;
}

double BondPricer::dirty(const ql::Date& d, double y) const {
    // price_curve's price alone, each step's discount factor computed once for a run of equal
    // steps (whole coupon periods).
    const std::vector<Flow>& flows = flows_on(d);
    double price = 0, discount = 1;
    if (d >= last_period_start_) {
        for (const Flow& flow : flows) {
            discount /= 1 + y * flow.step;
            price += flow.amount * discount;
        }
        return price;
    }
    const double f = static_cast<double>(frequency_), log_growth = std::log1p(y / f);
    double step = NAN, factor = 1;
    for (const Flow& flow : flows) {
        if (flow.step != step) {
            step = flow.step;
            factor = std::exp(-f * step * log_growth);
        }
        discount *= factor;
        price += flow.amount * discount;
    }
    return price;
}

std::optional<Valuation> BondPricer::value_at_dirty(const ql::Date& d, double dirty) const {
    const double notional = bond_->notional(d);
    if (!(dirty > 0) || !(notional > 0) || d >= maturity_) return std::nullopt;
    const std::vector<Flow>& flows = flows_on(d);
    if (flows.empty()) return std::nullopt;
    const bool simple = d >= last_period_start_;
    const double f = static_cast<double>(frequency_);
    // Newton from 3%, kept inside the yields a price can have.
    double y = 0.03;
    bool found = false;
    for (int i = 0; i < 100; ++i) {
        const PriceCurve c = price_curve(flows, y, simple, f);
        const double next = y - (c.price - dirty) / c.first;
        if (!std::isfinite(next)) break;
        const double bounded = std::max(next, simple ? -0.99 : -0.99 * f);
        if (std::abs(bounded - y) < 1e-14) {
            y = bounded;
            found = true;
            break;
        }
        y = bounded;
    }
    if (!found) return std::nullopt;
    const PriceCurve c = price_curve(flows, y, simple, f);
    Valuation v;
    v.dirty = dirty;
    v.accrued = ql::BondFunctions::accruedAmount(*bond_, d) * notional / 100.0;
    v.clean = dirty - v.accrued;
    v.ytm = y * 100.0;
    v.modified_duration = -c.first / c.price;
    v.convexity = c.second / c.price;
    v.dv01 = dirty * v.modified_duration * 1e-4;
    v.time_to_maturity = static_cast<double>(maturity_ - d) / 365.0;
    v.residual_principal = notional;
    return v;
}

}  // namespace korvex_mod_bond
