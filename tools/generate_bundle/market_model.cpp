#include "market_model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "calendars.hpp"
#include "random.hpp"

namespace korvex_generate {

namespace {

using QuantLib::Date;

// Steps of the seven-day reverse repo rate (percent), coarsely following the published path.
constexpr std::array<std::pair<int, double>, 19> POLICY_STEPS{{
    {20050101, 2.50}, {20140101, 4.10}, {20141201, 3.85}, {20150301, 3.55}, {20150601, 2.70},
    {20151026, 2.25}, {20170203, 2.35}, {20170316, 2.45}, {20171214, 2.50}, {20180322, 2.55},
    {20191118, 2.50}, {20200203, 2.40}, {20200330, 2.20}, {20220117, 2.10}, {20220815, 2.00},
    {20230613, 1.90}, {20230815, 1.80}, {20240722, 1.70}, {20240927, 1.50},
}};

constexpr double DT = 1.0 / 365.0;
constexpr double TAU = 2.0;  // years; where the curvature factor peaks

int date_int(const Date& d) {
    return d.year() * 10000 + static_cast<int>(d.month()) * 100 + d.dayOfMonth();
}

// Mean-reverting step with per-year speed and volatility.
double ou_step(double x, double target, double speed, double vol, Rng& rng) {
    return x + speed * (target - x) * DT + vol * std::sqrt(DT) * rng.normal();
}

}  // namespace

double MarketModel::policy_rate(const Date& d) {
    const int key = date_int(d);
    double rate = POLICY_STEPS.front().second;
    for (const auto& [from, percent] : POLICY_STEPS) {
        if (key < from) break;
        rate = percent;
    }
    return rate / 100.0;
}

MarketModel::MarketModel(std::uint64_t seed, const Date& first, const Date& last,
                         const std::vector<double>& issuer_spreads,
                         const korvex_mod_bond::CurveHistory* observed)
    : first_(first), last_(last), base_spreads_(issuer_spreads), observed_(observed) {
    const auto days = static_cast<std::size_t>(last - first) + 1;
    level_.resize(days);
    slope_.resize(days);
    curvature_.resize(days);

    Rng rng(seed, "curve");
    double level = policy_rate(first) + 0.011;
    double slope = -0.010;
    double curvature = 0.002;
    for (std::size_t i = 0; i < days; ++i) {
        const double policy = policy_rate(first + static_cast<QuantLib::Date::serial_type>(i));
        level = ou_step(level, policy + 0.011, 1.5, 0.0060, rng);
        slope = ou_step(slope, -0.010, 2.0, 0.0060, rng);
        curvature = ou_step(curvature, 0.002, 2.0, 0.0080, rng);
        level_[i] = level;
        slope_[i] = slope;
        curvature_[i] = curvature;
    }

    spreads_.resize(issuer_spreads.size());
    for (std::size_t k = 0; k < issuer_spreads.size(); ++k) {
        const double base = issuer_spreads[k];
        auto& path = spreads_[k];
        path.resize(days);
        if (base == 0.0) continue;  // the sovereign carries no spread
        Rng srng(seed, stream_key("spread") + k);
        double s = base;
        const double vol = 0.15 * base + 0.001;
        for (std::size_t i = 0; i < days; ++i) {
            s = std::max(0.0, ou_step(s, base, 3.0, vol, srng));
            path[i] = s;
        }
    }
}

std::size_t MarketModel::index(const Date& d) const {
    const Date c = std::clamp(d, first_, last_);
    return static_cast<std::size_t>(c - first_);
}

double MarketModel::government_yield(const Date& d, double years) const {
    if (observed_) {
        // Before the curve's first day (coupons of bonds issued earlier) its first day stands.
        const korvex::Date day =
            std::max(korvex::date_from_int(to_date_int(d)), observed_->days().front());
        return observed_->yield_at(day, years) / 100.0;
    }
    const std::size_t i = index(d);
    const double x = std::max(years, 1e-6) / TAU;
    const double e = std::exp(-x);
    const double f1 = (1.0 - e) / x;
    const double f2 = f1 - e;
    return std::max(0.003, level_[i] + slope_[i] * f1 + curvature_[i] * f2);
}

double MarketModel::issuer_spread(std::size_t issuer, const Date& d) const {
    return spreads_.at(issuer)[index(d)];
}

}  // namespace korvex_generate
