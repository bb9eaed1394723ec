// All accounts of a run. Mods extend the portfolio with named read-only properties.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "korvex/portfolio/account.hpp"

namespace korvex {

class Portfolio {
public:
    explicit Portfolio(Environment* env) : env_(env) {}

    Account& add_account(DEFAULT_ACCOUNT_TYPE type, double starting_cash);

    // Keyed by account type.
    const std::map<DEFAULT_ACCOUNT_TYPE, Account*>& accounts() const { return accounts_; }
    // Keyed by the account type's name ("STOCK", "BOND").
    const std::map<std::string, Account*>& _accounts() const { return by_name_; }
    Account& account(DEFAULT_ACCOUNT_TYPE type) const;  // KeyError naming the type
    // The account that holds an instrument (by the instrument's account type).
    Account& account_for(const std::string& order_book_id) const;

    // Position in the account that holds the instrument.
    Position& get_position(const std::string& order_book_id, POSITION_DIRECTION direction);

    double cash() const;
    double frozen_cash() const;
    double market_value() const;
    double total_value() const;
    double starting_cash() const;
    double transaction_cost() const;

    // Named-property extension point: a mod installs a getter once; strategies read it.
    using PropertyGetter = std::function<std::any(const Portfolio&)>;
    static void install_property(const std::string& name, PropertyGetter getter);
    static bool has_property(const std::string& name);
    std::any property(const std::string& name) const;  // AttributeError when not installed

private:
    Environment* env_;
    std::vector<std::unique_ptr<Account>> owned_;
    std::map<DEFAULT_ACCOUNT_TYPE, Account*> accounts_;
    std::map<std::string, Account*> by_name_;
};

}  // namespace korvex
