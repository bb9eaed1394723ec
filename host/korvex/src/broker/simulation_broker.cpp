#include "korvex/simulation_broker.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <typeinfo>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"
#include "korvex/logger.hpp"

namespace korvex {

void AbstractBroker::restore_open_order(const OrderPtr& order, double) {
    throw RuntimeError(
        fmt::format("the run's broker cannot take back the saved open order {} of {}",
                    order->order_id(), order->order_book_id()));
}

SimulationBroker::SimulationBroker(Environment& env, const ConfigNode& mod_config)
    : env_(env),
      config_(mod_config),
      default_matcher_(std::make_shared<DefaultMatcher>(env, mod_config)),
      slippage_(mod_config.contains("slippage") ? mod_config["slippage"].as_double() : 0.0),
      overnight_(mod_config.contains("matching_type") &&
                 mod_config["matching_type"].as_string() == "next_bar" &&
                 env.config().at("base.frequency").as_string() == "1d") {}

void SimulationBroker::register_matcher(INSTRUMENT_TYPE type,
                                        std::shared_ptr<AbstractMatcher> matcher) {
    matchers_[type] = std::move(matcher);
}

AbstractMatcher* SimulationBroker::matcher_for(INSTRUMENT_TYPE type) const {
    auto it = matchers_.find(type);
    return it == matchers_.end() ? default_matcher_.get() : it->second.get();
}

void SimulationBroker::submit_order(const OrderPtr& order) {
    Account& account = env_.portfolio().account_for(order->order_book_id());
    const double frozen = cash_to_reserve(*order);
    account.on_order_pending(*order, frozen);
    frozen_cash_[order->order_id()] = frozen;
    order->activate();
    open_orders_.push_back(order);
    if (_match_immediately) {
        match_order(order);
        std::erase_if(open_orders_, [](const OrderPtr& o) { return !o->is_active(); });
    }
}

double SimulationBroker::cash_to_reserve(const Order& order) const {
    if (order.side() == SIDE::MARGIN && order.position_effect() == POSITION_EFFECT::OPEN) {
        const double haircut = order.has_attr("haircut") ? order.attr("haircut").as_double() : 1.0;
        return order.quantity() * haircut + order.estimated_transaction_cost();
    }
    if (order.side() != SIDE::BUY) return 0.0;
    // A limit order fills at its limit or better, slippage included; a market order at the
    // price it was frozen at moved by the slippage.
    const double moved = order.price() ? 1.0 : 1.0 + slippage_;
    auto ins = env_.data_proxy().instruments(order.order_book_id());
    return ins->calc_cash_occupation(order.frozen_price() * moved, order.quantity(),
                                     POSITION_DIRECTION::LONG) +
           order.estimated_transaction_cost() * moved;
}

State SimulationBroker::save_open_orders() const {
    State orders = State::array();
    for (const OrderPtr& o : open_orders_) {
        if (!o->is_active()) continue;
        State saved = o->get_state();
        auto it = frozen_cash_.find(o->order_id());
        saved["reserved_cash"] = it == frozen_cash_.end() ? 0.0 : it->second;
        orders.push_back(std::move(saved));
    }
    return orders;
}

void SimulationBroker::restore_open_order(const OrderPtr& order, double reserved_cash) {
    env_.portfolio().account_for(order->order_book_id()).on_order_pending(*order, reserved_cash);
    frozen_cash_[order->order_id()] = reserved_cash;
    open_orders_.push_back(order);
}

double SimulationBroker::pending_proceeds(const Account& account) const {
    double proceeds = 0;
    for (const OrderPtr& o : open_orders_) {
        if (!o->is_active() || o->unfilled_quantity() <= 0) continue;
        if (o->side() != SIDE::SELL && o->side() != SIDE::FINANCING) continue;
        if (&env_.portfolio().account_for(o->order_book_id()) != &account) continue;
        const double share = o->unfilled_quantity() / o->quantity();
        if (o->side() == SIDE::FINANCING) {
            // The cash amount: the nominal after the haircut.
            const double haircut = o->has_attr("haircut") ? o->attr("haircut").as_double() : 1.0;
            proceeds += o->unfilled_quantity() * haircut - o->estimated_transaction_cost() * share;
            continue;
        }
        const double price = o->price() ? *o->price() : o->frozen_price() * (1.0 - slippage_);
        auto ins = env_.data_proxy().instruments(o->order_book_id());
        proceeds +=
            ins->calc_cash_occupation(price, o->unfilled_quantity(), POSITION_DIRECTION::LONG) -
            o->estimated_transaction_cost() * share;
    }
    return proceeds;
}

void SimulationBroker::cancel_order(const OrderPtr& order) {
    if (!order->is_active()) return;
    Account& account = env_.portfolio().account_for(order->order_book_id());
    if (!env_.can_cancel_order(*order, &account)) return;
    release(account, *order);
    order->mark_cancelled("cancelled by the strategy");
    std::erase(open_orders_, order);
}

std::vector<OrderPtr> SimulationBroker::get_open_orders(
    const std::optional<std::string>& order_book_id) const {
    std::vector<OrderPtr> out;
    for (auto& o : open_orders_)
        if (!order_book_id || o->order_book_id() == *order_book_id) out.push_back(o);
    return out;
}

void SimulationBroker::before_trading() {}

void SimulationBroker::on_bar() {
    // Matching may book trades that open new orders' positions; iterate over a snapshot.
    std::vector<OrderPtr> orders = open_orders_;
    for (auto& o : orders)
        if (o->is_active()) match_order(o);
    std::erase_if(open_orders_, [](const OrderPtr& o) { return !o->is_active(); });
}

void SimulationBroker::on_tick(const TickObject& tick) {
    bool matched = false;
    for (std::size_t i = 0; i < open_orders_.size(); ++i) {
        // Copy: booking a fill may open orders of its own and grow the list.
        OrderPtr o = open_orders_[i];
        if (o->is_active() && o->order_book_id() == tick.order_book_id()) {
            match_order(o);
            matched = true;
        }
    }
    if (matched) std::erase_if(open_orders_, [](const OrderPtr& o) { return !o->is_active(); });
}

void SimulationBroker::after_trading() {
    const Date today = to_date(env_.calendar_dt);
    std::vector<OrderPtr> kept;
    for (auto& o : open_orders_) {
        if (!o->is_active()) continue;
        if (overnight_ && to_date(o->datetime()) == today) {
            kept.push_back(o);
            continue;
        }
        Account& account = env_.portfolio().account_for(o->order_book_id());
        release(account, *o);
        o->mark_cancelled(
            o->filled_quantity() > 0
                ? fmt::format("order {} of {} expired at the close, partly filled: {} of {}",
                              o->order_id(), o->order_book_id(), o->filled_quantity(),
                              o->quantity())
                : fmt::format("order {} of {} expired unfilled at the close", o->order_id(),
                              o->order_book_id()));
        user_system_log().warning(o->message());
    }
    open_orders_ = std::move(kept);
}

void SimulationBroker::match_order(const OrderPtr& order) {
    Account& account = env_.portfolio().account_for(order->order_book_id());
    AbstractMatcher* matcher = matcher_for(env_.instrument_type_of(order->order_book_id()));
    MatchResult result = matcher->match(account, *order);
    for (std::size_t i = 0; i < result.trades.size(); ++i) {
        auto short_of_cash =
            book(account, *order, result.trades[i],
                 i < result.order_fills.size() ? result.order_fills[i]
                                               : result.trades[i]->last_quantity());
        if (short_of_cash) {
            result.reject_reason = std::move(short_of_cash);
            break;
        }
    }
    if (result.reject_reason && order->is_active()) {
        release(account, *order);
        order->mark_rejected(*result.reject_reason);
        user_system_log().warning(*result.reject_reason);
    } else if (!order->is_active()) {
        release(account, *order);
    }
}

std::optional<std::string> SimulationBroker::book(Account& account, Order& order, TradePtr trade,
                                                  double order_quantity) {
    INSTRUMENT_TYPE type = env_.instrument_type_of(trade->order_book_id());
    const bool costed = env_.transaction_cost_decider(type) != nullptr;
    auto set_costs = [&](Trade& t) {
        if (!costed) return;
        t.set_commission(env_.get_trade_commission(t));
        t.set_tax(env_.get_trade_tax(t));
    };
    set_costs(*trade);
    auto it = frozen_cash_.find(order.order_id());

    // Fills that pay cash out (buys, covers of a short included; lendings) must fit the free
    // cash and what the order reserved.
    const bool pays =
        trade->side() == SIDE::BUY ||
        (trade->side() == SIDE::MARGIN && trade->position_effect() == POSITION_EFFECT::OPEN);
    if (pays) {
        const double reserved = it == frozen_cash_.end() ? 0.0 : it->second;
        const double unfilled = order.unfilled_quantity();
        // Free cash plus the part of the reservation that a fill of `q` releases.
        auto available = [&](double q) {
            return account.cash() + (unfilled > 0 ? reserved * std::min(1.0, q / unfilled) : 0.0);
        };
        auto ins = env_.data_proxy().instruments(trade->order_book_id());
        // A lending pays out its amount (after the haircut), not its price (a rate) times it.
        const double haircut = trade->side() == SIDE::MARGIN && order.has_attr("haircut")
                                   ? order.attr("haircut").as_double()
                                   : 1.0;
        auto need = [&](const Trade& t) {
            if (t.side() == SIDE::MARGIN) return t.last_quantity() * haircut + t.transaction_cost();
            return ins->calc_cash_occupation(t.last_price(), t.last_quantity(),
                                             POSITION_DIRECTION::LONG) +
                   t.transaction_cost();
        };
        // A millionth of a yuan: what the reservation and the fill may differ by in rounding.
        constexpr double kDust = 1e-6;
        if (need(*trade) > available(order_quantity) + kDust) {
            const double wanted = trade->last_quantity();
            const double price = trade->last_price();
            double q = 0;
            // Only a plain fill can be cut; a fill of a mod's own kind carries terms of its own.
            if (typeid(*trade) == typeid(Trade) && price > 0 && order_quantity == wanted) {
                const double lot = ins->round_lot();
                q = std::min(wanted, std::floor(available(wanted) / price / lot) * lot);
                for (; q > 0; q -= lot) {
                    auto cut = Trade::from_create(trade->order_id(), price, q, trade->side(),
                                                  trade->position_effect(), trade->order_book_id());
                    set_costs(*cut);
                    if (need(*cut) <= available(q) + kDust) {
                        trade = cut;
                        break;
                    }
                }
            }
            if (q <= 0)
                return fmt::format("Order rejected: {} of {} needs {:.2f} in cash, {:.2f} is free",
                                   wanted, trade->order_book_id(), need(*trade),
                                   available(order_quantity));
            book_fill(account, order, trade, q, it);
            return fmt::format(
                "Order partly filled: {} of {} {}, the rest needs more cash than is free", q,
                wanted, trade->order_book_id());
        }
    }
    book_fill(account, order, trade, order_quantity, it);
    return std::nullopt;
}

void SimulationBroker::book_fill(Account& account, Order& order, const TradePtr& trade,
                                 double order_quantity,
                                 std::map<std::int64_t, double>::iterator it) {
    // The cash reserved for the filled part goes back before the fill is paid.
    if (it != frozen_cash_.end() && it->second > 0 && order.unfilled_quantity() > 0) {
        double share = std::min(1.0, order_quantity / order.unfilled_quantity());
        double released = it->second * share;
        account.release_frozen_cash(released);
        it->second -= released;
    }
    account.apply_trade(*trade, &order);
    order.fill(*trade, order_quantity);
    env_.record_trade(trade);
}

void SimulationBroker::release(Account& account, Order& order) {
    auto it = frozen_cash_.find(order.order_id());
    double cash = it == frozen_cash_.end() ? 0.0 : it->second;
    account.on_order_unfrozen(order, cash);
    if (it != frozen_cash_.end()) frozen_cash_.erase(it);
}

DefaultMatcher::DefaultMatcher(Environment& env, const ConfigNode& mod_config)
    : env_(env),
      matching_type_(mod_config.contains("matching_type") ? mod_config["matching_type"].as_string()
                                                          : "current_bar"),
      frequency_(env.config().at("base.frequency").as_string()),
      volume_limit_(mod_config.contains("volume_limit") ? mod_config["volume_limit"].as_bool()
                                                        : true),
      volume_percent_(
          mod_config.contains("volume_percent") ? mod_config["volume_percent"].as_double() : 0.25),
      slippage_(mod_config.contains("slippage") ? mod_config["slippage"].as_double() : 0.0) {}

MatchResult DefaultMatcher::match(Account&, Order& order) {
    MatchResult result;
    const std::string& id = order.order_book_id();
    const bool next_bar = matching_type_ == "next_bar";
    // An order waits for a price observed after it was placed: with next_bar, the next bar's
    // open (the next day's in daily runs) or the next snapshot; else the bar it was placed at.
    auto no_data = [&] {
        result.reject_reason = fmt::format("Order rejected: {} has no market data at {}", id,
                                           format_datetime(env_.calendar_dt));
        return result;
    };
    double price = 0, volume = std::numeric_limits<double>::quiet_NaN();
    if (frequency_ == "tick") {
        const TickObject* tick = env_.latest_tick(id);
        if (!tick || (next_bar && tick->datetime() <= order.datetime())) return result;
        price = tick->last();
    } else {
        Bars bars = frequency_ == "1m" ? env_.data_proxy().minute_bars_full(id) : Bars();
        std::int64_t stamp = convert_date_to_int(env_.calendar_dt);
        bool by_day = bars.empty();
        if (by_day) {
            // Without minute bars a day's price is known only at its close.
            if (frequency_ == "1m" &&
                env_.calendar_dt < DateTime(to_date(env_.calendar_dt)) + std::chrono::hours(15))
                return result;
            bars = env_.data_proxy().day_bars_full(id);
            stamp = convert_date_to_int(to_date(env_.calendar_dt));
        }
        const bool placed_in_this_bar = by_day && frequency_ == "1d"
                                            ? to_date(order.datetime()) >= to_date(env_.calendar_dt)
                                            : order.datetime() >= env_.calendar_dt;
        const bool use_open = next_bar && !(by_day && frequency_ == "1m");
        if (use_open && placed_in_this_bar) return result;  // waits for the next bar
        std::size_t i = bars.empty() ? Bars::npos : bars.find(stamp);
        if (i == Bars::npos) return no_data();
        price = bars.get(i, use_open ? "open" : "close");
        if (const FieldSpec* vf = bars.layout()->find("volume")) volume = bars.get(i, *vf);
    }
    if (!std::isfinite(price) || price <= 0) {
        result.reject_reason = fmt::format("Order rejected: {} has no valid price at {}", id,
                                           format_datetime(env_.calendar_dt));
        return result;
    }
    const bool buy = order.side() == SIDE::BUY;
    price *= buy ? 1 + slippage_ : 1 - slippage_;
    if (auto limit = order.price(); limit && (buy ? *limit < price : *limit > price))
        return result;  // not reachable on this bar; the order stays open
    double quantity = order.unfilled_quantity();
    // The volume of the bar that fills caps it; snapshots carry no bar volume.
    if (volume_limit_ && std::isfinite(volume)) {
        double lot = env_.data_proxy().instruments(id)->round_lot();
        double cap = std::floor(volume * volume_percent_ / lot) * lot;
        if (cap <= 0) {
            // A later minute may trade: the order waits for it, and expires at the close.
            if (frequency_ == "1m") return result;
            result.reject_reason = fmt::format("Order rejected: {} traded no volume at {}", id,
                                               format_datetime(env_.calendar_dt));
            return result;
        }
        quantity = std::min(quantity, cap);
    }
    result.trades.push_back(Trade::from_create(order.order_id(), price, quantity, order.side(),
                                               order.position_effect(), id));
    return result;
}

}  // namespace korvex
