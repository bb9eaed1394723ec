// The bond mod's matchers. Bonds fill against the day's bar at dirty prices like the host's
// default matcher; repos fill at the day's repo rate and are booked as repo trades; in tick
// runs bonds can fill against quoted counterparty offers instead.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "korvex/simulation_broker.hpp"

namespace korvex_mod_bond {

class BondMatcher : public korvex::DefaultMatcher {
public:
    BondMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config);
    // An order limited in clean price or yield fills at or through that limit restated as the
    // dirty price of the day it fills; mod.bond.slippage_bps moves each fill's yield against
    // the order.
    korvex::MatchResult match(korvex::Account& account, korvex::Order& order) override;

private:
    double slippage_bps_ = 0.0;
    // Limits restated once a day per order: order id -> (day, dirty price).
    std::unordered_map<std::int64_t, std::pair<korvex::Date, double>> restated_;
};

// Exchange repo orders: lending fills the whole amount; financing fills at most the face value of
// the closable pledged bonds (in the repo's lots, never below the exchange's minimum) and
// pledges the bond units covering it.
// Inter-bank repo orders (rare: the order functions book those directly) use the plain factories.
class RepoMatcher : public korvex::AbstractMatcher {
public:
    RepoMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config);
    korvex::MatchResult match(korvex::Account& account, korvex::Order& order) override;

private:
    korvex::Environment& env_;
};

// Tick runs: fills against the best quoted offer of the instrument's latest snapshot, the best
// ask for a buy and the best bid for a sell, at the quoted price and up to the quoted size (in
// whole lots). A quote is hit once: fills on the same snapshot share its size. Whatever cannot
// fill now (no snapshot yet today, an empty side, a limit the quote does not reach, the size
// used up) stays open for the next snapshots and expires at the close. A quote older than
// mod.bond.offer_max_age seconds (0: the data's own interval between snapshots) at the order's
// time is not taken either: the order waits for a fresh one.
class CounterPartyOfferMatcher : public korvex::AbstractMatcher {
public:
    CounterPartyOfferMatcher(korvex::Environment& env, const korvex::ConfigNode& mod_config);
    korvex::MatchResult match(korvex::Account& account, korvex::Order& order) override;

private:
    struct Taken {
        std::int64_t stamp = 0;  // the snapshot the amounts below were taken from
        double ask = 0, bid = 0;
    };
    // Seconds between the instrument's snapshot and its neighbour of the same day.
    double snapshot_interval(const korvex::TickObject& tick) const;

    korvex::Environment& env_;
    double max_age_ = 0;
    std::unordered_map<std::string, Taken> taken_;
};

// The field of the repo bars a repo trades at: in daily runs mod.bond.repo_rate_field (weighted,
// close or open; ValueError naming another), in intraday runs the day's open, the one rate of
// the day known before its close.
std::string repo_rate_field(const korvex::Environment& env);
// The rate a repo trades at on the environment's current day, or NaN.
double repo_rate_today(korvex::Environment& env, const std::string& repo_id);

}  // namespace korvex_mod_bond
