// Exchange-bond test and repo commissions.
#include "korvex_mod_bond/utils.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "bond_env.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/trade.hpp"

using namespace bond_test;
using korvex_mod_bond::calc_repo_commission;
using korvex_mod_bond::get_commission_rate;
using korvex_mod_bond::is_exchange_bond;
using korvex_mod_bond::RepoTrade;

TEST(IsExchangeBond, IsTrueExactlyForShanghaiAndShenzhenSuffixes) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"019547.SH", true},  {"112233.SZ", true}, {"190001.IB", false}, {"019547.SHX", false},
        {"019547.sh", false}, {"SH.IB", false},    {"", false},          {"XSHG", false}};
    for (const auto& [id, expected] : cases) EXPECT_EQ(is_exchange_bond(id), expected) << id;
}

namespace {

// One Shanghai repo per term of interest: "2040NN.SH" for a term of NN days.
std::vector<korvex::InstrumentPtr> with_terms(const std::vector<int>& terms) {
    auto instruments = default_instruments();
    for (int t : terms) instruments.push_back(make_repo(fmt::format("2040{:02}.SH", t), t));
    return instruments;
}

}  // namespace

TEST(RepoCommission, ExchangeReposPayThePublishedRateOfTheirTerm) {
    // Term in days -> share of the cash amount the exchanges charge.
    const std::vector<std::pair<int, double>> schedule{
        {1, 0.00001}, {2, 0.00002}, {3, 0.00003}, {4, 0.00004}, {5, 0.00005},
        {6, 0.00005}, {7, 0.00005}, {8, 0.0001},  {14, 0.0001}, {15, 0.0002},
        {28, 0.0002}, {29, 0.0003}, {63, 0.0003}, {91, 0.0003}};
    std::vector<int> terms;
    for (auto& [t, rate] : schedule)
        if (t != 1 && t != 7 && t != 91) terms.push_back(t);
    BondEnv env(bond_config(), with_terms(terms));
    for (const auto& [term, rate] : schedule) {
        const std::string id = fmt::format("2040{:02}.SH", term);
        EXPECT_DOUBLE_EQ(get_commission_rate(id), rate) << id;
        EXPECT_DOUBLE_EQ(calc_repo_commission(id, 2e6), 2e6 * rate) << id;
    }
    EXPECT_DOUBLE_EQ(calc_repo_commission("131810.SZ", 1e6), 10.0);
}

TEST(RepoCommission, InterBankReposPayTheConfiguredRateDefaultZero) {
    {
        BondEnv env;
        EXPECT_EQ(calc_repo_commission("R001.IB", 1e6), 0.0);
        EXPECT_EQ(RepoTrade::calc_max_amount("R007.IB", 5e5), 5e5);
    }
    korvex::Config config = bond_config();
    config.set("mod.bond.ib_repo_commission_rate", korvex::Value(0.0002));
    BondEnv env(config);
    EXPECT_DOUBLE_EQ(calc_repo_commission("R007.IB", 1e6), 200.0);
    EXPECT_DOUBLE_EQ(RepoTrade::calc_max_amount("R007.IB", 1000200.0), 1e6);
}

TEST(RepoCommission, MaxAmountLeavesRoomForTheExchangeCommission) {
    BondEnv env;
    const double amount = RepoTrade::calc_max_amount("204007.SH", 1e6);
    EXPECT_DOUBLE_EQ(amount, 1e6 / 1.00005);
    EXPECT_DOUBLE_EQ(amount + calc_repo_commission("204007.SH", amount), 1e6);
}

TEST(RepoCommission, RefusesWhatCannotBePricedNamingTheCause) {
    struct Case {
        std::string name;
        std::function<void(korvex::Config&)> change;
        std::string id;
        std::string message;
    };
    const std::string table = "mod.bond.exchange_repo_commission_rate";
    const std::vector<Case> cases{
        {"repo without term", [](korvex::Config&) {}, "204000.SH",
         "repo 204000.SH has no repo_period of at least one day: cannot pick its commission rate"},
        {"no longer rate", [&](korvex::Config& c) { c.erase(table + ".longer"); }, "204001.SH",
         "mod.bond.exchange_repo_commission_rate has no \"longer\" rate for terms past the listed "
         "ones"},
        {"key that is no term", [&](korvex::Config& c) { c.set(table + ".week", 0.1); },
         "204001.SH",
         "mod.bond.exchange_repo_commission_rate: key 'week' is neither a term in days nor "
         "\"longer\""},
        {"negative rate",
         [](korvex::Config& c) { c.set("mod.bond.ib_repo_commission_rate", -0.1); }, "R001.IB",
         "mod.bond.ib_repo_commission_rate must be a commission rate >= 0, got -0.1"},
    };
    for (const auto& c : cases) {
        korvex::Config config = bond_config();
        c.change(config);
        BondEnv env(config);
        try {
            calc_repo_commission(c.id, 1e6);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const korvex::ValueError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.name;
        }
    }
}
