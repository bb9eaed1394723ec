// Pre-trade checks of bond and repo orders. A refused order gets false and exactly one warning
// on the user log; an instrument of the wrong kind is an error raised to the host.
#pragma once

#include <string>

#include "korvex/environment.hpp"
#include "korvex/interface.hpp"

namespace korvex_mod_bond {

// Quantity (number, lot multiple, inter-bank minimum of 1000), closable holding for closes,
// and the bond's total issue for buys.
class BondValidator : public korvex::AbstractFrontendValidator {
public:
    explicit BondValidator(korvex::Environment& env) : _env(env) {}
    bool can_submit_order(const korvex::Order& order, korvex::Account* account) override;
    bool can_cancel_order(const korvex::Order& order, korvex::Account* account) override;

private:
    korvex::Environment& _env;
};

// Exchange financing orders only: the exchange's minimum nominal amount, and a warning when the
// amount exceeds the face value of the pledgeable holding.
class RepoValidator : public korvex::AbstractFrontendValidator {
public:
    explicit RepoValidator(korvex::Environment& env) : _env(env) {}
    bool can_submit_order(const korvex::Order& order, korvex::Account* account) override;
    bool can_cancel_order(const korvex::Order& order, korvex::Account* account) override;

private:
    void _fail(const std::string& reason);
    korvex::Environment& _env;
};

// Smallest nominal amount of an exchange financing order, by the repo's exchange: 1000 on
// XSHE, 100000 on XSHG; none elsewhere.
std::optional<double> min_repo_value(const std::string& exchange);

}  // namespace korvex_mod_bond
