// A fill. from_create builds a trade of the class it is called for; named values beyond the
// host's own ("commission", "tax") stay readable as attributes of the trade.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "korvex/const.hpp"
#include "korvex/datetime_func.hpp"
#include "korvex/value.hpp"

namespace korvex {

class Trade {
public:
    virtual ~Trade() = default;

    template <class T = Trade>
    static std::shared_ptr<T> from_create(std::optional<std::int64_t> order_id, double price,
                                          double amount, SIDE side, POSITION_EFFECT position_effect,
                                          std::string order_book_id, Record named = {}) {
        std::shared_ptr<T> trade(new T());
        trade->init(order_id, price, amount, side, position_effect, std::move(order_book_id),
                    std::move(named));
        return trade;
    }

    std::int64_t trade_id() const { return trade_id_; }
    std::optional<std::int64_t> order_id() const { return order_id_; }
    const std::string& order_book_id() const { return order_book_id_; }
    DateTime trading_datetime() const { return trading_datetime_; }
    double last_price() const { return last_price_; }
    double last_quantity() const { return last_quantity_; }
    SIDE side() const { return side_; }
    POSITION_EFFECT position_effect() const { return position_effect_; }
    virtual POSITION_DIRECTION position_direction() const;
    double commission() const { return commission_; }
    double tax() const { return tax_; }
    double transaction_cost() const { return commission_ + tax_; }

    // Named values given at creation; AttributeError naming the value and the trade when absent.
    const Value& attr(std::string_view name) const;
    bool has_attr(std::string_view name) const { return named_.contains(name); }
    const Record& named() const { return named_; }

    void set_commission(double v) { commission_ = v; }
    void set_tax(double v) { tax_ = v; }

protected:
    Trade() = default;

private:
    void init(std::optional<std::int64_t> order_id, double price, double amount, SIDE side,
              POSITION_EFFECT position_effect, std::string order_book_id, Record named);

    std::int64_t trade_id_ = 0;
    std::optional<std::int64_t> order_id_;
    std::string order_book_id_;
    DateTime trading_datetime_{};
    double last_price_ = 0;
    double last_quantity_ = 0;
    SIDE side_ = SIDE::BUY;
    POSITION_EFFECT position_effect_ = POSITION_EFFECT::OPEN;
    double commission_ = 0;
    double tax_ = 0;
    Record named_;
};

using TradePtr = std::shared_ptr<Trade>;

}  // namespace korvex
