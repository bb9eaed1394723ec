#include "korvex_mod_bond/transaction.hpp"

#include "korvex_mod_bond/utils.hpp"

namespace korvex_mod_bond {

BondTransactionDecider::BondTransactionDecider(double ib_commission_rate, double ib_min_commission,
                                               double exchange_commission_rate,
                                               double exchange_max_commission)
    : _ib_commission_rate(ib_commission_rate),
      _ib_min_commission(ib_min_commission),
      _exchange_commission_rate(exchange_commission_rate),
      _exchange_max_commission(exchange_max_commission) {}

double BondTransactionDecider::_get_commission(double price, double quantity,
                                               const std::string& order_book_id) const {
    if (is_exchange_bond(order_book_id)) {
        double value = (price * quantity) * _exchange_commission_rate;
        return _exchange_max_commission < value ? _exchange_max_commission : value;
    }
    double value = (price * quantity) * _ib_commission_rate;
    return _ib_min_commission > value ? _ib_min_commission : value;
}

double BondTransactionDecider::get_trade_tax(const korvex::Trade&) {
    return 0;
}

double BondTransactionDecider::get_trade_commission(const korvex::Trade& trade) {
    return _get_commission(trade.last_price(), trade.last_quantity(), trade.order_book_id());
}

double BondTransactionDecider::get_order_transaction_cost(const korvex::Order& order) {
    return _get_commission(order.frozen_price(), order.quantity(), order.order_book_id());
}

double RepoTransactionDecider::get_trade_tax(const korvex::Trade&) {
    return 0;
}

double RepoTransactionDecider::get_trade_commission(const korvex::Trade& trade) {
    return calc_repo_commission(trade.order_book_id(), trade.last_quantity());
}

double RepoTransactionDecider::get_order_transaction_cost(const korvex::Order& order) {
    return calc_repo_commission(order.order_book_id(),
                                order.quantity() * order.attr("haircut").as_double());
}

}  // namespace korvex_mod_bond
