#include "repo_series.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "calendars.hpp"
#include "market_model.hpp"
#include "random.hpp"

namespace korvex_generate {

namespace {

using QuantLib::Date;

// Term premium over the policy rate by term in days (inter-bank); the exchanges pay a little
// more and the fixings a little less.
double term_premium(int term) {
    static const std::map<int, double> TABLE = {
        {1, -0.0030}, {2, -0.0020}, {3, -0.0012}, {4, -0.0008}, {7, 0.0005},  {14, 0.0015},
        {21, 0.0020}, {28, 0.0027}, {30, 0.0030}, {90, 0.0045}, {91, 0.0045}, {182, 0.0055},
    };
    auto it = TABLE.lower_bound(term);
    if (it == TABLE.end()) return TABLE.rbegin()->second;
    return it->second;
}

Date quarter_end(const Date& d) {
    const int month = static_cast<int>(d.month());
    const int last_month = (month + 2) / 3 * 3;
    return Date::endOfMonth(Date(1, static_cast<QuantLib::Month>(last_month), d.year()));
}

// Typical daily traded principal in yuan.
double typical_turnover(const RepoSpec& repo) {
    const double base = repo.market == Market::InterBank ? 3.0e12 : 1.2e12;
    return base / std::pow(static_cast<double>(repo.repo_period), 1.4);
}

// Share of days without a trade: long terms are thin.
double idle_share(int term) {
    if (term <= 7) return 0.0;
    if (term <= 30) return 0.03;
    if (term <= 91) return 0.25;
    return 0.4;
}

}  // namespace

double quarter_end_premium(const RepoSpec& repo, const Date& d, const Date& repaid) {
    const Date qe = quarter_end(d);
    if (repaid <= qe) return 0.0;
    const bool year_end = qe.month() == QuantLib::December;
    const bool exchange_short = repo.market != Market::InterBank && repo.repo_period <= 4;
    const double amplitude = (exchange_short ? 0.025 : 0.006) * (year_end ? 2.0 : 1.0);
    const double days_left = static_cast<double>(qe - d);
    return amplitude * std::exp(-days_left / (exchange_short ? 2.0 : 5.0));
}

std::vector<RepoRow> simulate_repo(const RepoSpec& repo, const std::vector<Date>& days,
                                   const Date& next_day, const MarketModel& model,
                                   std::uint64_t seed) {
    std::vector<RepoRow> rows;
    rows.reserve(days.size());
    // The money-market mood is shared by all repos of a market; each repo adds its own noise.
    Rng market_rng(seed, repo.market == Market::InterBank ? "money/ib" : "money/exchange");
    Rng rng(seed, stream_key(repo.order_book_id));
    const bool exchange = repo.market != Market::InterBank;
    const bool observed = model.observed() != nullptr;
    const double term_years = repo.repo_period / 365.0;
    double premium = (observed ? OBSERVED_REPO_SPREAD : term_premium(repo.repo_period)) +
                     (exchange ? 0.0008 : 0.0);
    if (repo.order_book_id.starts_with("FR")) premium += 0.0003;
    if (repo.order_book_id.starts_with("DR")) premium -= 0.0002;
    const double noise_scale =
        (exchange && repo.repo_period <= 4 ? 2.0 : 1.0) * (repo.repo_period > 30 ? 0.6 : 1.0);
    double mood = 0.0, own = 0.0, last_close = std::nan("");
    for (std::size_t i = 0; i < days.size(); ++i) {
        const Date d = days[i];
        mood = 0.9 * mood + market_rng.normal(0.0, 0.0006);
        own = 0.8 * own + rng.normal(0.0, 0.0004 * noise_scale);
        const Date next = i + 1 < days.size() ? days[i + 1] : next_day;
        // A loan ends after its term, but never before the next trading day.
        const Date repaid = std::max(d + repo.repo_period, next);
        const double spike = quarter_end_premium(repo, d, repaid) * std::exp(rng.normal(0.0, 0.3));
        const double base =
            observed ? model.government_yield(d, term_years) : MarketModel::policy_rate(d);
        const double weighted = std::max(0.0005, base + premium + mood + own + spike);

        RepoRow row{to_date_int(d), weighted, weighted, weighted, weighted, 0.0, 0.0, weighted};
        if (rng.chance(idle_share(repo.repo_period))) {
            const double quote = std::isnan(last_close) ? weighted : last_close;
            row = {row.date, quote, quote, quote, quote, 0.0, 0.0, quote};
        } else {
            const double spread = 0.0008 * noise_scale;
            row.open = weighted + rng.normal(0.0, spread) + (exchange ? 0.3 * spike : 0.0);
            row.close = weighted + rng.normal(0.0, 1.2 * spread) - (exchange ? 0.3 * spike : 0.0);
            row.high = std::max({row.open, row.close, weighted}) +
                       std::abs(rng.normal(0.0, spread)) + 0.5 * spike;
            row.low = std::min({row.open, row.close, weighted}) - std::abs(rng.normal(0.0, spread));
            for (double* r : {&row.open, &row.close, &row.high, &row.low, &row.weighted}) {
                *r = std::max(0.0005, std::round(*r * 1e6) / 1e6);
            }
            row.low = std::min({row.low, row.open, row.close, row.weighted});
            row.high = std::max({row.high, row.open, row.close, row.weighted});
            const double principal =
                std::round(typical_turnover(repo) * std::exp(rng.normal(0.0, 0.3)) / 1e6) * 1e6;
            row.total_turnover = principal;
            row.volume = principal / 100.0;
        }
        last_close = row.close;
        rows.push_back(row);
    }
    return rows;
}

}  // namespace korvex_generate
