// The simulated rates market behind the sample data: a policy rate shaped like the central
// bank's seven-day reverse repo rate, a government curve of Nelson-Siegel factors that revert
// towards it, and one credit spread per issuer. Everything is drawn once per calendar day. Given
// an observed treasury curve, government yields are read from it instead.
#pragma once

#include <cstdint>
#include <vector>

#include <ql/time/date.hpp>

#include "korvex_mod_bond/analytics/curve_history.hpp"

namespace korvex_generate {

class MarketModel {
public:
    // Paths cover [first, last]; `issuer_spreads` are the long-run spreads (fractions).
    // `observed`, when given, must outlive the model.
    MarketModel(std::uint64_t seed, const QuantLib::Date& first, const QuantLib::Date& last,
                const std::vector<double>& issuer_spreads,
                const korvex_mod_bond::CurveHistory* observed = nullptr);

    // Fractions, e.g. 0.0255.
    static double policy_rate(const QuantLib::Date& d);
    double government_yield(const QuantLib::Date& d, double years) const;
    double issuer_spread(std::size_t issuer, const QuantLib::Date& d) const;
    // The issuer borrows at the government curve (no credit spread).
    bool sovereign(std::size_t issuer) const { return base_spreads_.at(issuer) == 0.0; }
    // The observed curve government yields come from; null when they are modelled.
    const korvex_mod_bond::CurveHistory* observed() const { return observed_; }

    const QuantLib::Date& first() const { return first_; }
    const QuantLib::Date& last() const { return last_; }

private:
    std::size_t index(const QuantLib::Date& d) const;

    QuantLib::Date first_;
    QuantLib::Date last_;
    std::vector<double> level_;
    std::vector<double> slope_;
    std::vector<double> curvature_;
    std::vector<std::vector<double>> spreads_;  // [issuer][day]
    std::vector<double> base_spreads_;
    const korvex_mod_bond::CurveHistory* observed_ = nullptr;
};

}  // namespace korvex_generate
