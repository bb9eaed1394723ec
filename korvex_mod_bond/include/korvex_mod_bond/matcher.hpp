// The bond mod's matchers. Bonds fill against the day's bar at dirty prices like the host's
// default matcher; repos fill at the day's repo rate and are booked as repo trades; in tick
// runs bonds can fill against quoted counterparty offers instead.
#pragma once

#include "korvex/simulation_broker.hpp"

namespace korvex_mod_bond {

class BondMatcher : public korvex::DefaultMatcher {
public:
    BondMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config);
};

// Exchange repo orders: lending fills the whole amount; financing fills at most the face value of
// the closable pledged bonds (in the repo's lots) and pledges the bond units covering it.
// Inter-bank repo orders (rare: the order functions book those directly) use the plain factories.
class RepoMatcher : public korvex::AbstractMatcher {
public:
    RepoMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config);
    korvex::MatchResult match(korvex::Account& account, korvex::Order& order) override;

private:
    korvex::Environment& env_;
};

// Fills against the best quoted offer of the current tick: the best ask for a buy, the best bid
// for a sell, up to the quoted size.
class CounterPartyOfferMatcher : public korvex::AbstractMatcher {
public:
    CounterPartyOfferMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config);
    korvex::MatchResult match(korvex::Account& account, korvex::Order& order) override;

private:
    korvex::Environment& env_;
};

// The repo rate of a repo on the environment's current day (the bar's close), or NaN.
double repo_rate_today(korvex::Environment& env, const std::string& repo_id);

}  // namespace korvex_mod_bond
