#include "bond_pricer.hpp"

namespace korvex_generate {

BondPricer::BondPricer(const BondSpec& spec)
    : korvex_mod_bond::BondPricer(
          korvex_mod_bond::BondTerms{.issue_date = spec.issue_date,
                                     .maturity_date = spec.maturity_date,
                                     .frequency = spec.frequency,
                                     .amortizing_payments = spec.amortizing_payments,
                                     .coupon_rate = spec.coupon_rate}) {}

}  // namespace korvex_generate
