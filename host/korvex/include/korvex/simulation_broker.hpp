// The simulation broker: keeps open orders, hands each to the matcher registered for its
// instrument type (or the default matcher) after every bar, books the fills. With
// _match_immediately an order is matched the moment it is submitted.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "korvex/config.hpp"
#include "korvex/interface.hpp"

namespace korvex {

class Environment;

class SimulationBroker : public AbstractBroker {
public:
    SimulationBroker(Environment& env, const ConfigNode& mod_config);

    void register_matcher(INSTRUMENT_TYPE type, std::shared_ptr<AbstractMatcher> matcher);
    AbstractMatcher* matcher_for(INSTRUMENT_TYPE type) const;

    void submit_order(const OrderPtr& order) override;
    void cancel_order(const OrderPtr& order) override;
    std::vector<OrderPtr> get_open_orders(
        const std::optional<std::string>& order_book_id = std::nullopt) const override;
    void before_trading() override;
    void on_bar() override;
    void on_tick(const TickObject& tick) override;
    void after_trading() override;
    // Buys, covers of a short included: the value at the frozen price (market orders: moved by
    // the slippage, as the fill will be) plus the estimated cost, moved likewise; lending: the
    // cash lent plus the cost.
    double cash_to_reserve(const Order& order) const override;
    // For the unfilled part, less the estimated costs: open sells at their limit or their frozen
    // price moved by the slippage, open financings at their cash amount.
    double pending_proceeds(const Account& account) const override;
    State save_open_orders() const override;
    // Reserves again what the order held at the save: its cash, the quantity it closes.
    void restore_open_order(const OrderPtr& order, double reserved_cash) override;
    bool has_matcher(INSTRUMENT_TYPE type) const { return matchers_.count(type) > 0; }

    bool _match_immediately = false;

protected:
    void match_order(const OrderPtr& order);
    // Books one fill. A fill that would take more cash than the account has free (with what
    // the order reserved) is cut to the lots that fit, or not booked; the reason is returned.
    std::optional<std::string> book(Account& account, Order& order, TradePtr trade,
                                    double order_quantity);
    void book_fill(Account& account, Order& order, const TradePtr& trade, double order_quantity,
                   std::map<std::int64_t, double>::iterator reserved);
    void release(Account& account, Order& order);

    Environment& env_;
    ConfigNode config_;
    std::map<INSTRUMENT_TYPE, std::shared_ptr<AbstractMatcher>> matchers_;
    std::shared_ptr<AbstractMatcher> default_matcher_;
    std::vector<OrderPtr> open_orders_;
    std::map<std::int64_t, double> frozen_cash_;  // order id -> cash reserved
    double slippage_;
    // In daily runs a next_bar order placed today fills at tomorrow's open: it stays open.
    bool overnight_;
};

// Fills at the price of the run's own clock, never one observed later: in daily runs the day's
// bar, in minute runs the minute bar of the order's time (a bond without minute bars at its day
// bar's close, in the session's last minute), in tick runs the latest snapshot's last price.
// "current_bar" takes the close of the bar the order is placed at; "next_bar" the open of the
// next one (the next trading day's in daily runs, where the order stays open overnight) or the
// next snapshot. Limit orders fill only at or through their price; fills are capped at
// volume_percent of the filling bar's volume when volume_limit is on.
class DefaultMatcher : public AbstractMatcher {
public:
    DefaultMatcher(Environment& env, const ConfigNode& mod_config);
    MatchResult match(Account& account, Order& order) override;

protected:
    Environment& env_;
    std::string matching_type_;
    std::string frequency_;
    bool volume_limit_;
    double volume_percent_;
    double slippage_;
};

}  // namespace korvex
