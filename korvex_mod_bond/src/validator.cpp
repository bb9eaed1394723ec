#include "korvex_mod_bond/validator.hpp"

#include <fmt/format.h>

#include <cmath>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex_mod_bond/api.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "korvex_mod_bond/position/bond_position.hpp"
#include "korvex_mod_bond/utils.hpp"

namespace korvex_mod_bond {

using korvex::POSITION_DIRECTION;
using korvex::POSITION_EFFECT;
using korvex::SIDE;

namespace {
double issue_price_of(const BondInstrument& ins) {
    auto price = ins.issue_price();
    if (!price)
        throw korvex::TypeError(
            fmt::format("issue price of bond {} is empty", ins.order_book_id()));
    return *price;
}
}  // namespace

bool BondValidator::can_submit_order(const korvex::Order& order, korvex::Account* account) {
    korvex::InstrumentPtr ins = _env.data_proxy().instruments(order.order_book_id());
    const double amount_limit = is_exchange_bond(order.order_book_id()) ? 0 : 1000;
    const auto* bond = dynamic_cast<const BondInstrument*>(ins.get());
    if (!bond)
        throw korvex::TypeError(
            fmt::format("wrong type for bond instrument: {}", korvex::type_name(*ins)));

    const double quantity = order.quantity();
    if (std::isnan(quantity) || std::fmod(quantity, bond->round_lot()) != 0 ||
        quantity < amount_limit) {
        korvex::user_system_log().warning(fmt::format("下单失败，数量 {} 不合法", quantity));
        return false;
    }

    if (!account) account = &_env.portfolio().account(bond->account_type());
    korvex::Position& position =
        account->get_position(order.order_book_id(), order.position_direction());
    if (order.position_effect() == POSITION_EFFECT::CLOSE && quantity > position.closable()) {
        korvex::user_system_log().warning(
            fmt::format("订单创建失败:  {} 的仓位不足, 目标平仓 {}, 可平仓位为 {}",
                        order.order_book_id(), quantity, position.closable()));
        return false;
    }

    if (order.side() == SIDE::BUY) {
        const korvex::Value& issue_size = bond->initial_issue_size();
        if (issue_size.truthy()) {
            korvex::Position& held =
                _env.portfolio().get_position(order.order_book_id(), POSITION_DIRECTION::LONG);
            double room =
                issue_size.as_double() / issue_price_of(*bond) - quantity - held.quantity();
            if (room < 0) {
                korvex::user_system_log().warning(
                    fmt::format("订单创建失败：持仓数量 {} 接近 {} 债券发行总额上限 {}",
                                held.quantity(), order.order_book_id(), issue_size.to_string()));
                return false;
            }
        }
    }
    return true;
}

bool BondValidator::can_cancel_order(const korvex::Order&, korvex::Account*) {
    return true;
}

std::optional<double> min_repo_value(const std::string& exchange) {
    if (exchange == "XSHE") return 1000.0;
    if (exchange == "XSHG") return 100000.0;
    return std::nullopt;
}

void RepoValidator::_fail(const std::string& reason) {
    korvex::user_system_log().warning(fmt::format("场内债券正回购失败，{}", reason));
}

bool RepoValidator::can_submit_order(const korvex::Order& order, korvex::Account*) {
    if (order.side() != SIDE::FINANCING) return true;
    const std::string bond_id = order.attr("bond_order_book_id").to_string();
    if (!is_exchange_bond(bond_id)) return true;

    auto [bond_account, bond_position, bond_ins] = api::_get_account_position_ins(bond_id);
    (void)bond_account;
    korvex::InstrumentPtr repo_ins =
        std::get<2>(api::_get_account_position_ins(order.order_book_id()));

    const std::string exchange = repo_ins->exchange();
    std::optional<double> minimum = min_repo_value(exchange);
    if (!minimum) {
        // Only Shanghai and Shenzhen define a minimum; refuse rather than guess one.
        _fail(fmt::format("回购 {} 的交易所 '{}' 没有规定最低抵押名义价值", order.order_book_id(),
                          exchange));
        return false;
    }
    const auto* bond = dynamic_cast<const BondInstrument*>(bond_ins.get());
    if (!bond)
        throw korvex::TypeError(
            fmt::format("wrong type for bond instrument: {}", korvex::type_name(*bond_ins)));
    const korvex::Date today = korvex::to_date(_env.trading_dt);
    const double holding_value =
        pledgeable_quantity(&bond_position, today) * pledge_face(&bond_position, *bond, today);

    if (order.quantity() < *minimum) {
        _fail(fmt::format("场内债券抵押名义价值应在 {} 元及以上", *minimum));
        return false;
    }
    if (order.quantity() > holding_value) {
        korvex::user_system_log().warning(
            fmt::format("正回购名义金额超过当前持仓票面价值, 实际成交 {} 元", holding_value));
    }
    return true;
}

bool RepoValidator::can_cancel_order(const korvex::Order&, korvex::Account*) {
    return true;
}

}  // namespace korvex_mod_bond
