#include "korvex_mod_bond/matcher.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/analytics/bond_analytics.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "korvex_mod_bond/trade.hpp"
#include "korvex_mod_bond/utils.hpp"
#include "korvex_mod_bond/validator.hpp"

namespace korvex_mod_bond {

using korvex::SIDE;

BondMatcher::BondMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config)
    : korvex::DefaultMatcher(env, mod_config) {
    if (auto bps = env.config().find("mod.bond.slippage_bps")) {
        slippage_bps_ = bps->as_double();
        if (!(slippage_bps_ >= 0 && std::isfinite(slippage_bps_)))
            throw korvex::ValueError(fmt::format(
                "mod.bond.slippage_bps must be basis points >= 0, got {}", slippage_bps_));
    }
}

korvex::MatchResult BondMatcher::match(korvex::Account& account, korvex::Order& order) {
    BondLimit limit;
    if (order.has_attr(CLEAN_LIMIT)) limit.clean_price = order.attr(CLEAN_LIMIT).as_double();
    if (order.has_attr(YTM_LIMIT)) limit.ytm = order.attr(YTM_LIMIT).as_double();
    if (!limit.empty()) {
        const korvex::Date day = korvex::to_date(env_.calendar_dt);
        auto it = restated_.find(order.order_id());
        if (it == restated_.end() || it->second.first != day) {
            double dirty = 0;
            try {
                dirty = BondAnalyticsBook::of_run(env_).dirty_limit(env_, order.order_book_id(),
                                                                    limit, day);
            } catch (const korvex::ValueError& e) {
                korvex::MatchResult refused;  // no price to fill at: the order ends here
                refused.reject_reason = fmt::format("Order rejected: {}", e.what());
                return refused;
            }
            it = restated_.insert_or_assign(order.order_id(), std::pair(day, dirty)).first;
        }
        order.set_limit_price(it->second.second);
    }
    korvex::MatchResult result = korvex::DefaultMatcher::match(account, order);
    if (slippage_bps_ == 0 || result.trades.empty()) return result;
    BondAnalyticsBook& book = BondAnalyticsBook::of_run(env_);
    const BondPricer* pricer = book.pricer(env_, order.order_book_id());
    if (!pricer) return result;  // no terms to price a yield with: no yield slippage
    const QuantLib::Date day = to_ql(korvex::to_date(env_.calendar_dt));
    const bool buy = order.side() == SIDE::BUY;
    for (auto& trade : result.trades) {
        const auto valued = pricer->value_at_dirty(day, trade->last_price());
        if (!valued) continue;
        const double moved = (valued->ytm + (buy ? -slippage_bps_ : slippage_bps_) / 100.0) / 100.0;
        double price = pricer->value(day, moved).dirty;
        if (auto limit = order.price())
            price = buy ? std::min(price, *limit) : std::max(price, *limit);
        trade = korvex::Trade::from_create(trade->order_id(), price, trade->last_quantity(),
                                           trade->side(), trade->position_effect(),
                                           trade->order_book_id());
    }
    return result;
}

std::string repo_rate_field(const korvex::Environment& env) {
    // Intraday the day's weighted and closing rates lie ahead; its opening rate is known.
    if (env.config().at("base.frequency").as_string() != "1d") return "open";
    const auto configured = env.config().find("mod.bond.repo_rate_field");
    std::string field = configured ? configured->as_string() : "weighted";
    if (field != "weighted" && field != "close" && field != "open")
        throw korvex::ValueError(fmt::format(
            "mod.bond.repo_rate_field must be weighted, close or open, got '{}'", field));
    return field;
}

double repo_rate_today(korvex::Environment& env, const std::string& repo_id) {
    korvex::Bars bars = env.data_proxy().day_bars_full(repo_id);
    std::size_t i = bars.empty()
                        ? korvex::Bars::npos
                        : bars.find(korvex::convert_date_to_int(korvex::to_date(env.calendar_dt)));
    return i == korvex::Bars::npos ? std::numeric_limits<double>::quiet_NaN()
                                   : bars.get(i, repo_rate_field(env));
}

RepoMatcher::RepoMatcher(korvex::Environment& env, const korvex::ConfigNode&) : env_(env) {
    repo_rate_field(env);  // a bad setting stops the run before it starts
}

korvex::MatchResult RepoMatcher::match(korvex::Account&, korvex::Order& order) {
    korvex::MatchResult result;
    const std::string& id = order.order_book_id();
    const double rate = repo_rate_today(env_, id);
    const std::string when = korvex::format_date(korvex::to_date(env_.calendar_dt));
    if (!std::isfinite(rate)) {
        result.reject_reason = fmt::format("Order rejected: {} has no repo rate on {}", id, when);
        return result;
    }
    // A limit on a repo is a rate: a borrower pays at most it, a lender takes at least it.
    if (auto limit = order.price()) {
        bool reachable = order.side() == SIDE::FINANCING ? rate <= *limit : rate >= *limit;
        if (!reachable) return result;
    }
    const bool exchange = ends_with(id, ".SH") || ends_with(id, ".SZ");
    const double nominal = order.unfilled_quantity();
    if (order.side() == SIDE::MARGIN) {
        auto trade =
            exchange
                ? RepoTrade::create_exchange_reverse_repo_trade(order.order_id(), rate, nominal, id)
                : RepoTrade::create_reverse_repo_trade(
                      rate, nominal, id,
                      order.has_attr("repo_period")
                          ? std::optional<std::int64_t>(order.attr("repo_period").as_int())
                          : std::nullopt);
        result.trades.push_back(trade);
        result.order_fills.push_back(nominal);
        return result;
    }
    if (order.side() != SIDE::FINANCING) {
        result.reject_reason = fmt::format("Order rejected: {} orders on repo {} are not supported",
                                           korvex::name(order.side()), id);
        return result;
    }
    const std::string bond_id = order.attr("bond_order_book_id").to_string();
    const double haircut = order.has_attr("haircut") ? order.attr("haircut").as_double() : 1.0;
    auto bond =
        std::dynamic_pointer_cast<const BondInstrument>(env_.data_proxy().instruments(bond_id));
    if (!bond || !bond->issue_price() || *bond->issue_price() <= 0) {
        result.reject_reason = fmt::format(
            "Order rejected: {} cannot be pledged (no bond with an issue price)", bond_id);
        return result;
    }
    korvex::Position* held = env_.portfolio()
                                 .account(bond->account_type())
                                 .find_position(bond_id, korvex::POSITION_DIRECTION::LONG);
    const korvex::Date today = korvex::to_date(env_.trading_dt);
    // A unit backs what is still outstanding of its principal.
    const double face = pledge_face(held, *bond, today);
    const double closable = face > 0 ? std::max(0.0, pledgeable_quantity(held, today)) : 0.0;
    const double lot = env_.data_proxy().instruments(id)->round_lot();
    double filled = std::min(nominal, closable * face);
    filled = whole_lots(filled, lot);
    if (filled <= 0) {
        result.reject_reason =
            fmt::format("Order rejected: no closable {} left to pledge for {} (closable {})",
                        bond_id, id, closable);
        return result;
    }
    // Cut to what the pledge covers, a fill must still meet the exchange's minimum.
    const std::optional<double> minimum =
        exchange ? min_repo_value(env_.data_proxy().instruments(id)->exchange()) : std::nullopt;
    if (minimum && filled < *minimum) {
        result.reject_reason = fmt::format(
            "Order rejected: the closable {} covers {} on {}, below the exchange's minimum of {}",
            bond_id, filled, id, *minimum);
        return result;
    }
    const double pledged = std::ceil(filled / face - 1e-9);
    korvex::TradePtr trade =
        exchange ? RepoTrade::create_exchange_repo_trade(order.order_id(), rate, filled, id,
                                                         haircut, bond_id, pledged)
                 : RepoTrade::create_repo_trade(
                       rate, filled, id,
                       order.has_attr("repo_period")
                           ? std::optional<std::int64_t>(order.attr("repo_period").as_int())
                           : std::nullopt,
                       haircut, bond_id, pledged);
    result.trades.push_back(trade);
    result.order_fills.push_back(filled);
    if (filled < nominal)
        result.reject_reason = fmt::format(
            "Order partly filled: {} of {} on {}, limited by the face value of closable {}", filled,
            nominal, id, bond_id);
    return result;
}

CounterPartyOfferMatcher::CounterPartyOfferMatcher(korvex::Environment& env,
                                                   const korvex::ConfigNode&)
    : env_(env) {
    if (auto age = env.config().find("mod.bond.offer_max_age")) {
        max_age_ = age->as_double();
        if (!(max_age_ >= 0))
            throw korvex::ValueError(fmt::format(
                "mod.bond.offer_max_age must be a number of seconds >= 0, got {}", max_age_));
    }
}

double CounterPartyOfferMatcher::snapshot_interval(const korvex::TickObject& tick) const {
    if (!env_.data_source() || !env_.data_source()->tick_store())
        return std::numeric_limits<double>::infinity();  // snapshots fed by hand: no interval
    const korvex::Bars day =
        env_.data_proxy().ticks_full(tick.order_book_id(), korvex::to_date(tick.datetime()));
    if (day.size() < 2) return std::numeric_limits<double>::infinity();
    const std::span<const korvex::TickRecord> records = day.as<korvex::TickRecord>();
    auto at = std::lower_bound(
        records.begin(), records.end(), tick.stamp(),
        [](const korvex::TickRecord& r, std::int64_t s) { return r.datetime < s; });
    if (at == records.end()) --at;
    // The gap to the snapshot before it, or after it for the day's first.
    const auto other = at == records.begin() ? at + 1 : at - 1;
    return std::abs(static_cast<double>(
        (korvex::datetime_from_int(at->datetime) - korvex::datetime_from_int(other->datetime))
            .count()));
}

korvex::MatchResult CounterPartyOfferMatcher::match(korvex::Account&, korvex::Order& order) {
    korvex::MatchResult result;
    const std::string& id = order.order_book_id();
    const korvex::TickObject* tick = env_.latest_tick(id);
    if (!tick) return result;
    // Only a fresh quote is there to take: an older one waits for the next snapshot.
    const double age = static_cast<double>(
        std::chrono::duration_cast<std::chrono::seconds>(env_.calendar_dt - tick->datetime())
            .count());
    if (age < 0 || (age > 0 && age > (max_age_ > 0 ? max_age_ : snapshot_interval(*tick))))
        return result;
    const bool buy = order.side() == SIDE::BUY;
    const double price = buy ? tick->asks()[0] : tick->bids()[0];
    const double size = buy ? tick->ask_vols()[0] : tick->bid_vols()[0];
    if (!(size > 0) || !std::isfinite(price) || price <= 0) return result;
    if (auto limit = order.price(); limit && (buy ? *limit < price : *limit > price)) return result;
    Taken& taken = taken_[id];
    if (taken.stamp != tick->stamp()) taken = Taken{tick->stamp(), 0, 0};
    double& used = buy ? taken.ask : taken.bid;
    const double lot = env_.data_proxy().instruments(id)->round_lot();
    const double available = whole_lots(size - used, lot);
    const double quantity = std::min(order.unfilled_quantity(), available);
    if (quantity <= 0) return result;
    used += quantity;
    result.trades.push_back(korvex::Trade::from_create(order.order_id(), price, quantity,
                                                       order.side(), order.position_effect(), id));
    return result;
}

}  // namespace korvex_mod_bond
