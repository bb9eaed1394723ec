#include "korvex_mod_bond/limits.hpp"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <string_view>

#include "book_figures.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position.hpp"

namespace korvex_mod_bond {

namespace {

constexpr std::string_view EXTENSION_KEY = "korvex_mod_bond.limits";

// Shares print as percent without trailing zeros: 140%, 12.5%.
std::string percent(double share) {
    return fmt::format("{:g}%", std::round(share * 1e6) / 1e4);
}

using book::each_position;

std::string issuer_of(korvex::Environment& env, const std::string& id) {
    auto bond = std::dynamic_pointer_cast<const BondInstrument>(env.data_proxy().instruments(id));
    if (!bond) return {};
    const korvex::Value* v = bond->record().find("issuer");
    return v && v->is_string() ? v->as_string() : std::string();
}

double borrowed(korvex::Environment& env) {
    return book::repo_outstanding(env, korvex::POSITION_DIRECTION::SHORT);
}

// Value-weighted modified duration of the bonds held, with `extra` yuan more of a bond of
// duration `extra_duration`; NaN when no bond is held.
double book_duration(korvex::Environment& env, double extra = 0, double extra_duration = 0) {
    double weighted = extra * extra_duration, value = extra;
    BondAnalyticsBook& book = BondAnalyticsBook::of_run(env);
    each_position(env, [&](korvex::Position& p) {
        if (!dynamic_cast<BondPosition*>(&p) || p.quantity() == 0) return;
        const double d = book.of(env, p.order_book_id()).modified_duration;
        if (!std::isfinite(d)) return;
        weighted += d * p.market_value();
        value += p.market_value();
    });
    return value > 0 ? weighted / value : NAN;
}

// How far a duration lies outside the range; 0 inside, infinite for no book at all.
double outside(const FundLimits& l, double duration) {
    if (std::isnan(duration)) return std::numeric_limits<double>::infinity();
    if (duration < l.min_duration) return l.min_duration - duration;
    if (duration > l.max_duration) return duration - l.max_duration;
    return 0;
}

double issuer_value(korvex::Environment& env, const std::string& issuer) {
    double v = 0;
    each_position(env, [&](korvex::Position& p) {
        if (dynamic_cast<BondPosition*>(&p) && p.quantity() != 0 &&
            issuer_of(env, p.order_book_id()) == issuer)
            v += p.market_value();
    });
    return v;
}

void refuse(const std::string& why) {
    korvex::user_system_log().warning(fmt::format("Order rejected: {}", why));
}

// Days each limit was breached at the close, and whether it was the close before.
struct Breaches {
    std::array<int, 4> days{};
    std::array<bool, 4> open{};
};
constexpr std::array<std::string_view, 4> LIMIT_NAMES{"total_assets", "repo_borrowing", "issuer",
                                                      "duration"};

}  // namespace

FundLimits FundLimits::from_config(const korvex::ConfigNode& mod_config) {
    FundLimits l;
    auto read = [&](const char* key, double& into) {
        const auto node = mod_config.find(fmt::format("limits.{}", key));
        if (!node) return;
        into = node->as_double();
        if (!(into >= 0) || !std::isfinite(into))
            throw korvex::ValueError(
                fmt::format("{} must be a number >= 0 (0: no limit), got {}", node->path(), into));
    };
    read("max_total_assets", l.max_total_assets);
    read("max_repo_borrowing", l.max_repo_borrowing);
    read("max_issuer", l.max_issuer);
    read("min_duration", l.min_duration);
    read("max_duration", l.max_duration);
    if (l.min_duration > 0 && l.max_duration < l.min_duration)
        throw korvex::ValueError(
            fmt::format("mod.bond.limits: min_duration {} needs a max_duration at or above it, "
                        "got {}",
                        l.min_duration, l.max_duration));
    if (l.max_total_assets > 0 && l.max_total_assets < 1)
        throw korvex::ValueError(
            fmt::format("mod.bond.limits.max_total_assets is total over net assets and cannot be "
                        "below 1, got {}",
                        l.max_total_assets));
    return l;
}

std::optional<std::string> financing_breach(korvex::Environment& env, double cash) {
    const FundLimits& l = limits::of_run(env);
    if (!(l.max_total_assets > 0 || l.max_repo_borrowing > 0)) return std::nullopt;
    const double net = env.portfolio().total_value();
    const double after = borrowed(env) + cash;
    if (l.max_repo_borrowing > 0 && after > l.max_repo_borrowing * net)
        return fmt::format(
            "repo borrowing would reach {:.2f}, above the limit of {} of net "
            "assets {:.2f}",
            after, percent(l.max_repo_borrowing), net);
    if (l.max_total_assets > 0 && net + after > l.max_total_assets * net)
        return fmt::format(
            "total assets would reach {:.2f}, above the limit of {} of net assets "
            "{:.2f}",
            net + after, percent(l.max_total_assets), net);
    return std::nullopt;
}

bool FundLimitValidator::can_submit_order(const korvex::Order& order, korvex::Account*) {
    const FundLimits& l = limits::of_run(_env);
    const std::string& id = order.order_book_id();
    if (order.side() == korvex::SIDE::FINANCING) {
        const double haircut = order.has_attr("haircut") ? order.attr("haircut").as_double() : 1.0;
        if (auto why = financing_breach(_env, order.quantity() * haircut)) {
            refuse(*why);
            return false;
        }
        return true;
    }
    if (order.side() != korvex::SIDE::BUY && order.side() != korvex::SIDE::SELL) return true;
    if (!dynamic_cast<const BondInstrument*>(_env.data_proxy().instruments(id).get())) return true;
    const double price = order.price() ? *order.price() : order.frozen_price();
    const double value = order.quantity() * price * (order.side() == korvex::SIDE::BUY ? 1 : -1);
    const double net = _env.portfolio().total_value();
    if (l.max_issuer > 0 && value > 0) {
        if (const std::string issuer = issuer_of(_env, id); !issuer.empty()) {
            const double after = issuer_value(_env, issuer) + value;
            if (after > l.max_issuer * net) {
                refuse(
                    fmt::format("bonds of {} would reach {:.2f}, above the limit of {} of net "
                                "assets {:.2f}",
                                issuer, after, percent(l.max_issuer), net));
                return false;
            }
        }
    }
    if (l.duration_on()) {
        const double d = BondAnalyticsBook::of_run(_env).of(_env, id).modified_duration;
        if (std::isfinite(d)) {
            const double before = book_duration(_env);
            const double after = book_duration(_env, value, d);
            // An empty book has no duration to keep; a trade may always bring it nearer.
            if (!std::isnan(before) && outside(l, after) > 0 &&
                outside(l, after) > outside(l, before)) {
                refuse(
                    fmt::format("the bonds' modified duration would move to {:.2f}, outside "
                                "the limits of {:g} to {:g}",
                                after, l.min_duration, l.max_duration));
                return false;
            }
        }
    }
    return true;
}

namespace limits {

const FundLimits& of_run(korvex::Environment& env) {
    static const FundLimits none;
    auto* l = static_cast<FundLimits*>(env.extension(EXTENSION_KEY).get());
    return l ? *l : none;
}

void load(korvex::Environment& env, const FundLimits& limits) {
    if (!limits.any()) return;
    env.set_extension(std::string(EXTENSION_KEY), std::make_shared<FundLimits>(limits));
    auto validator = std::make_shared<FundLimitValidator>(env);
    env.add_frontend_validator(validator, korvex::INSTRUMENT_TYPE::BOND);
    env.add_frontend_validator(validator, korvex::INSTRUMENT_TYPE::REPO);

    auto breaches = std::make_shared<Breaches>();
    env.add_daily_metric("limits_breached", [limits, breaches](korvex::Environment& e) {
        const double net = e.portfolio().total_value();
        const double b = borrowed(e);
        std::array<std::optional<std::string>, 4> found;
        if (limits.max_total_assets > 0 && net + b > limits.max_total_assets * net)
            found[0] = fmt::format("total assets {:.2f} are above {} of net assets {:.2f}", net + b,
                                   percent(limits.max_total_assets), net);
        if (limits.max_repo_borrowing > 0 && b > limits.max_repo_borrowing * net)
            found[1] = fmt::format("repo borrowing {:.2f} is above {} of net assets {:.2f}", b,
                                   percent(limits.max_repo_borrowing), net);
        if (limits.max_issuer > 0) {
            std::map<std::string, double> by_issuer;
            each_position(e, [&](korvex::Position& p) {
                if (!dynamic_cast<BondPosition*>(&p) || p.quantity() == 0) return;
                if (std::string i = issuer_of(e, p.order_book_id()); !i.empty())
                    by_issuer[i] += p.market_value();
            });
            for (const auto& [issuer, value] : by_issuer)
                if (value > limits.max_issuer * net) {
                    found[2] =
                        fmt::format("bonds of {} at {:.2f} are above {} of net assets {:.2f}",
                                    issuer, value, percent(limits.max_issuer), net);
                    break;
                }
        }
        if (limits.duration_on()) {
            const double d = book_duration(e);
            if (!std::isnan(d) && outside(limits, d) > 0)
                found[3] =
                    fmt::format("the bonds' modified duration {:.2f} is outside {:g} to {:g}", d,
                                limits.min_duration, limits.max_duration);
        }
        int count = 0;
        for (std::size_t k = 0; k < found.size(); ++k) {
            if (found[k]) {
                ++count;
                ++breaches->days[k];
                if (!breaches->open[k])
                    korvex::user_system_log().warning(
                        fmt::format("Fund limit breached at the close of {}: {}",
                                    korvex::format_date(korvex::to_date(e.trading_dt)), *found[k]));
            }
            breaches->open[k] = found[k].has_value();
        }
        return static_cast<double>(count);
    });
    const std::array<bool, 4> on{limits.max_total_assets > 0, limits.max_repo_borrowing > 0,
                                 limits.max_issuer > 0, limits.duration_on()};
    for (std::size_t k = 0; k < on.size(); ++k) {
        if (!on[k]) continue;
        env.add_summary_extra(
            fmt::format("limit_breach_days_{}", LIMIT_NAMES[k]),
            [breaches, k](korvex::Environment&) { return static_cast<double>(breaches->days[k]); });
    }
}

}  // namespace limits

}  // namespace korvex_mod_bond
