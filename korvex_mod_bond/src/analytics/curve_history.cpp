#include "korvex_mod_bond/analytics/curve_history.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "korvex/errors.hpp"

namespace korvex_mod_bond {

CurveHistory::CurveHistory(const tavlen::YieldCurve& points, const std::string& name) {
    const std::size_t n = points.size();
    tenors_ = points.tenors;
    yields_ = points.yields;
    for (std::size_t i = 0; i < n; ++i) {
        const korvex::Date day = points.dates[i];
        if (days_.empty() || days_.back() != day) {
            if (!days_.empty() && day < days_.back())
                throw korvex::ValueError(fmt::format("curve '{}': the day {} comes after {}", name,
                                                     korvex::format_date(day),
                                                     korvex::format_date(days_.back())));
            days_.push_back(day);
            offsets_.push_back(static_cast<std::uint32_t>(i));
        } else if (!(tenors_[i - 1] < tenors_[i])) {
            throw korvex::ValueError(
                fmt::format("curve '{}' on {}: the tenors do not ascend ({} after {})", name,
                            korvex::format_date(day), tenors_[i], tenors_[i - 1]));
        }
    }
    offsets_.push_back(static_cast<std::uint32_t>(n));
}

std::optional<korvex::Date> CurveHistory::day_at_or_before(korvex::Date day) const {
    auto it = std::upper_bound(days_.begin(), days_.end(), day);
    if (it == days_.begin()) return std::nullopt;
    return *(it - 1);
}

double CurveHistory::yield_at(korvex::Date day, double years) const {
    auto it = std::upper_bound(days_.begin(), days_.end(), day);
    if (it == days_.begin() || std::isnan(years)) return NAN;
    const auto d = static_cast<std::size_t>(it - days_.begin()) - 1;
    const double* t = tenors_.data() + offsets_[d];
    const double* y = yields_.data() + offsets_[d];
    const std::size_t count = offsets_[d + 1] - offsets_[d];
    if (years <= t[0]) return y[0];
    if (years >= t[count - 1]) return y[count - 1];
    const std::size_t hi = static_cast<std::size_t>(std::upper_bound(t, t + count, years) - t);
    const double w = (years - t[hi - 1]) / (t[hi] - t[hi - 1]);
    return y[hi - 1] + w * (y[hi] - y[hi - 1]);
}

}  // namespace korvex_mod_bond
