// A yield curve through time: each day's points, found by bisection on the day, interpolated
// linearly in tenor and held flat beyond the day's shortest and longest tenor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvex/datetime_func.hpp"
#include "tavlen/bond.hpp"

namespace korvex_mod_bond {

class CurveHistory {
public:
    CurveHistory() = default;
    // `points` ascending by day and, within a day, strictly by tenor; ValueError naming `name`
    // and the day otherwise.
    CurveHistory(const tavlen::YieldCurve& points, const std::string& name);

    bool empty() const { return days_.empty(); }
    const std::vector<korvex::Date>& days() const { return days_; }
    // The latest day with points at or before `day`; none before the first.
    std::optional<korvex::Date> day_at_or_before(korvex::Date day) const;
    // Percent, on the latest day at or before `day`; NaN before the first day or for a NaN
    // tenor.
    double yield_at(korvex::Date day, double years) const;

private:
    std::vector<korvex::Date> days_;       // distinct, ascending
    std::vector<std::uint32_t> offsets_;   // day i's points are [offsets_[i], offsets_[i + 1])
    std::vector<double> tenors_, yields_;  // years, percent
};

}  // namespace korvex_mod_bond
