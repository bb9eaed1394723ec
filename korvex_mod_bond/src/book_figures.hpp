// Figures of the whole book that the results and the fund limits both read.
#pragma once

#include "korvex/environment.hpp"
#include "korvex_mod_bond/position.hpp"

namespace korvex_mod_bond::book {

template <class F>
void each_position(korvex::Environment& env, F&& f) {
    for (auto& [type, account] : env.portfolio().accounts())
        for (auto& p : account->positions()) f(*p);
}

// Cash still lent (LONG) or borrowed (SHORT) in repos.
inline double repo_outstanding(korvex::Environment& env, korvex::POSITION_DIRECTION direction) {
    double q = 0;
    each_position(env, [&](korvex::Position& p) {
        if (dynamic_cast<RepoPosition*>(&p) && p.direction() == direction) q += p.quantity();
    });
    return q;
}

}  // namespace korvex_mod_bond::book
