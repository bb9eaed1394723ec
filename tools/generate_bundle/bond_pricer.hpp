// The bond mod's QuantLib pricer for one sample bond, built from its generated terms.
#pragma once

#include "korvex_mod_bond/analytics/bond_pricer.hpp"
#include "universe.hpp"

namespace korvex_generate {

using korvex_mod_bond::Payment;
using korvex_mod_bond::Valuation;

class BondPricer : public korvex_mod_bond::BondPricer {
public:
    explicit BondPricer(const BondSpec& spec);
};

}  // namespace korvex_generate
