// A bond as QuantLib sees it, set up in the tests straight from its record: the reference the
// engine's figures are checked against. Actual/Actual (ICMA), compounded at the coupon frequency
// and simple in the last period; discount bills on Actual/365. Plain bonds only.
#pragma once

#include <chrono>
#include <memory>

#include <ql/instruments/bonds/fixedratebond.hpp>
#include <ql/instruments/bonds/zerocouponbond.hpp>
#include <ql/pricingengines/bond/bondfunctions.hpp>
#include <ql/time/calendars/china.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>
#include <ql/time/daycounters/actualactual.hpp>
#include <ql/time/schedule.hpp>

#include "korvex/value.hpp"

namespace korvex::testing {

inline QuantLib::Date ql_date(Date d) {
    const std::chrono::year_month_day ymd(d);
    return QuantLib::Date(static_cast<QuantLib::Day>(static_cast<unsigned>(ymd.day())),
                          static_cast<QuantLib::Month>(static_cast<unsigned>(ymd.month())),
                          static_cast<QuantLib::Year>(static_cast<int>(ymd.year())));
}

struct ReferenceBond {
    std::unique_ptr<QuantLib::Bond> bond;
    QuantLib::DayCounter day_counter = QuantLib::Actual365Fixed();
    QuantLib::Frequency frequency = QuantLib::Annual;
    QuantLib::Date last_period_start;

    QuantLib::InterestRate rate(double y, const QuantLib::Date& day) const {
        return QuantLib::InterestRate(
            y, day_counter, day >= last_period_start ? QuantLib::Simple : QuantLib::Compounded,
            frequency);
    }
};

inline ReferenceBond reference_bond(const Record& record) {
    namespace ql = QuantLib;
    ReferenceBond r;
    const int frequency = static_cast<int>(record.get("coupon_frequency").as_int());
    const ql::Date issue = ql_date(to_date(record.get("issue_date").as_datetime()));
    const ql::Date maturity = ql_date(to_date(record.get("maturity_date").as_datetime()));
    const ql::Calendar sse = ql::China(ql::China::SSE);
    if (frequency == 0) {
        r.bond = std::make_unique<ql::ZeroCouponBond>(0, sse, 100.0, maturity, ql::Following, 100.0,
                                                      issue);
        r.last_period_start = issue;
        return r;
    }
    r.frequency = frequency == 2 ? ql::Semiannual : ql::Annual;
    r.day_counter = ql::ActualActual(ql::ActualActual::ISMA);
    const ql::Schedule schedule(issue, maturity, ql::Period(r.frequency), sse, ql::Unadjusted,
                                ql::Unadjusted, ql::DateGeneration::Backward, false);
    r.last_period_start = schedule.dates()[schedule.size() - 2];
    r.bond = std::make_unique<ql::FixedRateBond>(
        0, 100.0, schedule, std::vector<ql::Rate>{record.get("coupon_rate").as_double() / 100.0},
        r.day_counter, ql::Following, 100.0, issue);
    return r;
}

}  // namespace korvex::testing
