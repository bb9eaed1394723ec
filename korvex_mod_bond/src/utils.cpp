#include "korvex_mod_bond/utils.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <map>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/instrument.hpp"

namespace korvex_mod_bond {

namespace {

constexpr std::string_view EXCHANGE_SCHEDULE = "mod.bond.exchange_repo_commission_rate";
constexpr std::string_view IB_RATE = "mod.bond.ib_repo_commission_rate";
constexpr std::string_view LONGER_KEY = "longer";

bool is_exchange_id(std::string_view order_book_id) {
    return order_book_id.ends_with(".SH") || order_book_id.ends_with(".SZ");
}

double read_rate(const korvex::ConfigNode& node) {
    const double rate = node.as_double();
    if (!std::isfinite(rate) || rate < 0)
        throw korvex::ValueError(
            fmt::format("{} must be a commission rate >= 0, got {}", node.path(), rate));
    return rate;
}

std::int64_t repo_term(const std::string& order_book_id) {
    korvex::InstrumentPtr ins =
        korvex::Environment::get_instance().data_proxy().instruments(order_book_id);
    const auto* repo = dynamic_cast<const RepoInstrument*>(ins.get());
    if (!repo)
        throw korvex::TypeError(
            fmt::format("no repo commission for {}: its instrument is {}, not RepoInstrument",
                        order_book_id, korvex::type_name(*ins)));
    const std::optional<std::int64_t> term = repo->repo_period();
    if (!term || *term <= 0)
        throw korvex::ValueError(fmt::format(
            "repo {} has no repo_period of at least one day: cannot pick its commission rate",
            order_book_id));
    return *term;
}

// The exchange schedule is small and read once per trade, so it is parsed on each call rather
// than kept in process state that would outlive the run's configuration.
double exchange_rate(const korvex::Config& config, std::int64_t term) {
    const korvex::ConfigNode table = config.at(EXCHANGE_SCHEDULE);
    if (!table.is_table())
        throw korvex::ValueError(
            fmt::format("{} must be a table of rates by term in days", EXCHANGE_SCHEDULE));
    std::map<std::int64_t, double> by_term;
    std::optional<double> longer;
    for (const std::string& key : table.keys()) {
        if (key == LONGER_KEY) {
            longer = read_rate(table[key]);
            continue;
        }
        std::int64_t days = 0;
        auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), days);
        if (ec != std::errc() || end != key.data() + key.size() || days <= 0)
            throw korvex::ValueError(
                fmt::format("{}: key '{}' is neither a term in days nor \"{}\"", EXCHANGE_SCHEDULE,
                            key, LONGER_KEY));
        by_term[days] = read_rate(table[key]);
    }
    if (!longer)
        throw korvex::ValueError(fmt::format("{} has no \"{}\" rate for terms past the listed ones",
                                             EXCHANGE_SCHEDULE, LONGER_KEY));
    auto it = by_term.lower_bound(term);
    return it == by_term.end() ? *longer : it->second;
}

}  // namespace

bool is_exchange_bond(std::string_view order_book_id) {
    return is_exchange_id(order_book_id);
}

double get_commission_rate(const std::string& order_book_id) {
    const korvex::Environment& env = korvex::Environment::get_instance();
    if (is_exchange_id(order_book_id)) return exchange_rate(env.config(), repo_term(order_book_id));
    return read_rate(env.config().at(IB_RATE));
}

double calc_repo_commission(const std::string& order_book_id, double amount) {
    return amount * get_commission_rate(order_book_id);
}

double whole_lots(double amount, double lot) {
    return std::floor(amount / lot + 1e-9) * lot;
}

}  // namespace korvex_mod_bond
