#include "korvex/api.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"

namespace korvex {

double last_close(Environment& env, const std::string& order_book_id) {
    Bars bars = env.data_proxy().day_bars(order_book_id);
    if (bars.empty() || !bars.layout()->find("close"))
        return std::numeric_limits<double>::quiet_NaN();
    std::size_t i = bars.find_at_or_before(convert_date_to_int(to_date(env.calendar_dt)));
    return i == Bars::npos ? std::numeric_limits<double>::quiet_NaN() : bars.get(i, "close");
}

double buying_power(Environment& env, const Account& account) {
    return account.cash() + (env.broker() ? env.broker()->pending_proceeds(account) : 0.0);
}

OrderPtr submit_order(Environment& env, const std::string& order_book_id, double quantity,
                      SIDE side, POSITION_EFFECT effect, std::optional<double> price,
                      Record extra) {
    auto refuse = [&](std::string reason) -> OrderPtr {
        user_system_log().warning(fmt::format("Order creation failed: {}", reason));
        return nullptr;
    };
    InstrumentPtr ins = env.data_proxy().find_instrument(order_book_id);
    if (!ins) return refuse(fmt::format("unknown order book id {}", order_book_id));
    if (!std::isfinite(quantity) || quantity <= 0)
        return refuse(
            fmt::format("quantity {} of {} is not a positive number", quantity, order_book_id));
    if (price && (!std::isfinite(*price) || *price < 0))
        return refuse(fmt::format("price {} of {} is not valid", *price, order_book_id));
    if (!ins->listed_at(env.calendar_dt))
        return refuse(fmt::format("{} is not listed on {}", order_book_id,
                                  format_date(to_date(env.calendar_dt))));
    auto& accounts = env.portfolio().accounts();
    auto acc_it = accounts.find(ins->account_type());
    if (acc_it == accounts.end())
        return refuse(fmt::format("{} trades in the {} account, which is not configured",
                                  order_book_id, name(ins->account_type())));
    Account& account = *acc_it->second;

    OrderPtr order = Order::create(order_book_id, quantity, side, effect, price, std::move(extra));
    if (!price) {
        // Reserved at the price the fill will use: intraday the day's close is still ahead, so
        // a tick run's buy reserves at the best ask, a minute run's at the minute bar's close.
        double reference = last_close(env, order_book_id);
        if (const TickObject* tick = env.latest_tick(order_book_id)) {
            reference =
                side == SIDE::BUY && tick->ask_vols()[0] > 0 ? tick->asks()[0] : tick->last();
        } else if (env.config().at("base.frequency").as_string() == "1m") {
            Bars minutes = env.data_proxy().minute_bars(order_book_id);
            const std::size_t i =
                minutes.empty() ? Bars::npos
                                : minutes.find_at_or_before(convert_date_to_int(env.calendar_dt));
            if (i != Bars::npos) reference = minutes.get(i, "close");
        }
        order->set_frozen_price(std::isfinite(reference) ? reference : 0.0);
    }
    if (!env.can_submit_order(*order, &account)) return nullptr;

    order->set_estimated_transaction_cost(env.get_order_transaction_cost(*order));
    if (!env.broker()) throw RuntimeError("no broker is set");
    // What the broker will reserve must be free now: two orders that each fit the cash but
    // not together are not both accepted. Orders that need no cash (sells, financings) go
    // through even from an overdrawn account: they are how it mends.
    if (const double need = env.broker()->cash_to_reserve(*order); need > 0) {
        const double available = buying_power(env, account);
        if (need > available)
            return refuse(fmt::format("not enough cash for {} {}: needs {:.2f}, available {:.2f}",
                                      quantity, order_book_id, need, available));
    }
    if (effect != POSITION_EFFECT::OPEN) {
        Position* pos = account.find_position(order_book_id, order->position_direction());
        double closable = pos ? pos->closable() : 0.0;
        if (quantity > closable + 1e-9)
            return refuse(fmt::format("cannot close {} {}: closable quantity is {}", quantity,
                                      order_book_id, closable));
    }
    env.broker()->submit_order(order);
    return order;
}

}  // namespace korvex
