#include "korvex/portfolio/portfolio.hpp"

#include <fmt/format.h>

#include "korvex/environment.hpp"
#include "korvex/errors.hpp"

namespace korvex {

namespace {
std::map<std::string, Portfolio::PropertyGetter>& portfolio_properties() {
    static std::map<std::string, Portfolio::PropertyGetter> props;
    return props;
}
}  // namespace

Account& Portfolio::add_account(DEFAULT_ACCOUNT_TYPE type, double starting_cash) {
    if (accounts_.count(type))
        throw ValueError(fmt::format("account {} configured twice", name(type)));
    owned_.push_back(std::make_unique<Account>(type, starting_cash, env_));
    accounts_[type] = owned_.back().get();
    by_name_[std::string(name(type))] = owned_.back().get();
    return *owned_.back();
}

Account& Portfolio::account(DEFAULT_ACCOUNT_TYPE type) const {
    auto it = accounts_.find(type);
    if (it == accounts_.end())
        throw KeyError(fmt::format("no {} account configured (see [base.accounts])", name(type)));
    return *it->second;
}

Account& Portfolio::account_for(const std::string& order_book_id) const {
    if (!env_) throw RuntimeError("portfolio has no environment");
    return account(env_->data_proxy().instruments(order_book_id)->account_type());
}

Position& Portfolio::get_position(const std::string& order_book_id, POSITION_DIRECTION direction) {
    for (auto& [type, acc] : accounts_)
        if (Position* p = acc->find_position(order_book_id, direction)) return *p;
    return account_for(order_book_id).get_position(order_book_id, direction);
}

#define KORVEX_SUM(method)                               \
    double Portfolio::method() const {                   \
        double v = 0;                                    \
        for (auto& [t, a] : accounts_) v += a->method(); \
        return v;                                        \
    }
KORVEX_SUM(cash)
KORVEX_SUM(frozen_cash)
KORVEX_SUM(market_value)
KORVEX_SUM(total_value)
KORVEX_SUM(starting_cash)
KORVEX_SUM(transaction_cost)
#undef KORVEX_SUM

void Portfolio::install_property(const std::string& name, PropertyGetter getter) {
    portfolio_properties()[name] = std::move(getter);
}

bool Portfolio::has_property(const std::string& name) {
    return portfolio_properties().count(name) != 0;
}

std::any Portfolio::property(const std::string& name) const {
    auto it = portfolio_properties().find(name);
    if (it == portfolio_properties().end())
        throw AttributeError(fmt::format("portfolio has no attribute '{}'", name));
    return it->second(*this);
}

}  // namespace korvex
