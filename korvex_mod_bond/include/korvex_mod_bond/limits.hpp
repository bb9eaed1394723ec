// The limits a fund runs under ([mod.bond.limits]): total assets and repo borrowing as shares of
// net assets, one issuer's bonds as a share of net assets, and a range of modified duration.
// Orders that would breach a limit, or deepen a breach, are refused before they trade; breaches
// the market brings about are counted at the close.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "korvex/config.hpp"
#include "korvex/environment.hpp"
#include "korvex/interface.hpp"

namespace korvex_mod_bond {

// 0 turns a limit off.
struct FundLimits {
    double max_total_assets = 0;    // total assets (net assets + repo borrowed) / net assets
    double max_repo_borrowing = 0;  // repo borrowed / net assets
    double max_issuer = 0;          // one issuer's bonds at market value / net assets
    double min_duration = 0;        // modified duration of the bonds held (over their value)
    double max_duration = 0;

    bool duration_on() const { return max_duration > 0; }
    bool any() const {
        return max_total_assets > 0 || max_repo_borrowing > 0 || max_issuer > 0 || duration_on();
    }
    // ValueError naming the key for a negative or non-finite value, or an empty duration range.
    static FundLimits from_config(const korvex::ConfigNode& mod_config);
};

// Why borrowing `cash` more in repos would breach a limit, or none.
std::optional<std::string> financing_breach(korvex::Environment& env, double cash);

// Bond orders: issuer and duration limits. Repo financing orders: total assets and borrowing.
class FundLimitValidator : public korvex::AbstractFrontendValidator {
public:
    explicit FundLimitValidator(korvex::Environment& env) : _env(env) {}
    bool can_submit_order(const korvex::Order& order, korvex::Account* account) override;
    bool can_cancel_order(const korvex::Order&, korvex::Account*) override { return true; }

private:
    korvex::Environment& _env;
};

namespace limits {
// Installs the run's limits: the validators, the daily column `limits_breached` (how many limits
// the close breaches) and a summary figure per limit in force (days in breach at the close).
void load(korvex::Environment& env, const FundLimits& limits);
// The run's limits; all off when none were loaded.
const FundLimits& of_run(korvex::Environment& env);
}  // namespace limits

}  // namespace korvex_mod_bond
