// Daily quotations of the sample repos: rates (fractions) around the policy rate with a term
// premium, a shared money-market mood, and spikes for loans that run over a quarter end. On an
// observed treasury curve, the curve's short end at the repo's term replaces policy rate and
// term premium.
#pragma once

#include <cstdint>
#include <vector>

#include <ql/time/date.hpp>

#include "market_model.hpp"
#include "universe.hpp"

namespace korvex_generate {

struct RepoRow {
    std::int32_t date;
    double open, close, high, low, volume, total_turnover, weighted;
};

// Quotations of `repo` on `days` (its market's trading days, ascending). `next_day` is the
// first trading day after the last one, so a loan made on the last day knows when it ends.
std::vector<RepoRow> simulate_repo(const RepoSpec& repo, const std::vector<QuantLib::Date>& days,
                                   const QuantLib::Date& next_day, const MarketModel& model,
                                   std::uint64_t seed);

// What pledged repos pay over the observed treasury curve at their term (fraction).
inline constexpr double OBSERVED_REPO_SPREAD = 0.0020;

// The extra rate (fraction) that a loan made on `d` and repaid on `repaid` pays because it
// runs over a quarter end, before random scaling.
double quarter_end_premium(const RepoSpec& repo, const QuantLib::Date& d,
                           const QuantLib::Date& repaid);

}  // namespace korvex_generate
