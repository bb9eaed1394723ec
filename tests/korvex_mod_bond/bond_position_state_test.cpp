// Bond positions: pledges, closable, financing trades, and saved state.
#include <gtest/gtest.h>

#include "bond_env.hpp"
#include "korvex/errors.hpp"

using namespace bond_test;
using korvex::SIDE;
using korvex::State;
using korvex_mod_bond::BondPosition;

namespace {

const Date DUE1 = make_date(2020, 1, 6), DUE2 = make_date(2020, 1, 13);

std::shared_ptr<korvex_mod_bond::RepoTrade> pledge(double quantity, Date due) {
    return repo_trade(SIDE::FINANCING, "R001.IB", quantity * 100, 0, due, quantity * 100,
                      "190001.IB", quantity);
}

}  // namespace

TEST(BondPositionPledges, SumByDueDateAndReduceClosable) {
    BondEnv env;
    auto pos = env.bond_position("190001.IB", 100);
    EXPECT_EQ(pos->apply_trade(*pledge(30, DUE1)), 0.0);
    EXPECT_EQ(pos->apply_trade(*pledge(20, DUE1)), 0.0);
    pos->apply_trade(*pledge(10, DUE2));
    EXPECT_EQ(pos->due_settlement_dict(), (std::map<Date, double>{{DUE1, 50}, {DUE2, 10}}));
    EXPECT_EQ(pos->pledged_quantity(), 60.0);
    EXPECT_EQ(pos->closable(), 40.0);
    EXPECT_EQ(pos->quantity(), 100.0);
    pos->freeze(15);  // an open sell order
    EXPECT_EQ(pos->closable(), 25.0);
}

TEST(BondPositionPledges, ClosableGoesNegativeUnclamped) {
    BondEnv env;
    auto pos = env.bond_position("190001.IB", 40);
    pos->apply_trade(*pledge(50, DUE1));
    EXPECT_EQ(pos->closable(), -10.0);
}

TEST(BondPositionPledges, AreReleasedAtTheFirstSettlementOnOrAfterTheirDate) {
    BondEnv env;
    auto pos = env.bond_position("190001.IB", 100);
    pos->apply_trade(*pledge(50, DUE1));
    pos->apply_trade(*pledge(10, DUE2));
    pos->settlement(make_date(2020, 1, 3));
    EXPECT_EQ(pos->pledged_quantity(), 60.0);
    pos->settlement(DUE1);
    EXPECT_EQ(pos->pledged_quantity(), 10.0);
    // The position had no settlement on DUE2 itself: a later one releases it.
    pos->settlement(make_date(2020, 1, 15));
    EXPECT_EQ(pos->pledged_quantity(), 0.0);
    EXPECT_EQ(pos->closable(), 100.0);
}

TEST(BondPositionPledges, APledgeKeepsAnEmptyHoldingInTheBook) {
    BondEnv env;
    auto pos = env.bond_position("190001.IB", 0);
    EXPECT_TRUE(pos->is_empty());
    pos->apply_trade(*pledge(5, DUE1));
    EXPECT_FALSE(pos->is_empty());
}

TEST(BondPositionPledges, AFinancingTradeMustBeARepoTrade) {
    BondEnv env;
    auto pos = env.bond_position("190001.IB", 100);
    auto plain = bond_trade("190001.IB", 10, 100, SIDE::FINANCING);
    try {
        pos->apply_trade(*plain);
        FAIL() << "no error";
    } catch (const korvex::TypeError& e) {
        EXPECT_STREQ(e.what(), "financing trade requires type of RepoTrade, current type: Trade");
    }
    EXPECT_EQ(pos->quantity(), 100.0);
    EXPECT_EQ(pos->pledged_quantity(), 0.0);
    // Buying and selling stays the host's bookkeeping.
    EXPECT_EQ(pos->apply_trade(*bond_trade("190001.IB", 10, 99.5)), -995.0);
    EXPECT_EQ(pos->quantity(), 110.0);
}

TEST(BondPositionState, RoundTripsTheReceivableAndThePledges) {
    BondEnv env;
    auto pos = env.bond_position("190001.IB", 100);
    pos->apply_trade(*pledge(50, DUE1));
    pos->apply_trade(*pledge(20, DUE2));
    State state = pos->get_state();
    state["payment_receivable"] = 350.0;
    EXPECT_EQ(state["pledges"], (State{{"2020-01-06", 50.0}, {"2020-01-13", 20.0}}));

    auto restored = env.bond_position("190001.IB");
    restored->set_state(state);
    EXPECT_EQ(restored->payment_receivable(), 350.0);
    EXPECT_EQ(restored->quantity(), 100.0);
    EXPECT_EQ(restored->due_settlement_dict(), pos->due_settlement_dict());
    EXPECT_EQ(restored->closable(), 30.0);
    EXPECT_EQ(restored->get_state(), state);
    restored->settlement(DUE1);
    EXPECT_EQ(restored->pledged_quantity(), 20.0);
}

TEST(BondPositionState, AStateWithoutTheAddedKeysRestoresNothingReceivableOrPledged) {
    BondEnv env;
    auto source = env.bond_position("190001.IB", 100);
    State host_only = source->get_state();
    host_only.erase("payment_receivable");
    host_only.erase("pledges");

    auto pos = env.bond_position("190001.IB", 7);
    pos->apply_trade(*pledge(5, DUE1));
    State with_receivable = pos->get_state();
    with_receivable["payment_receivable"] = 12.5;
    pos->set_state(with_receivable);
    pos->set_state(host_only);
    EXPECT_EQ(pos->payment_receivable(), 0.0);
    EXPECT_EQ(pos->pledged_quantity(), 0.0);
    EXPECT_EQ(pos->quantity(), 100.0);
}

TEST(BondPositionState, ABadStateIsRefusedNamingTheEntryAndChangesNothing) {
    struct Case {
        std::string name;
        State pledges;
        std::string message;
    };
    const std::string where = "saved state of bond position 190001.IB: ";
    const std::vector<Case> cases{
        {"not a date", State{{"next week", 5}},
         where + "pledges key 'next week' is not a due date (YYYY-MM-DD)"},
        {"not a number", State{{"2020-01-06", "5"}},
         where + "pledges[2020-01-06] must be a number, got \"5\""},
        {"not an object", State::array({1, 2}),
         where + "pledges must be an object of due date -> quantity, got [1,2]"},
    };
    BondEnv env;
    for (const auto& c : cases) {
        auto pos = env.bond_position("190001.IB", 100);
        pos->apply_trade(*pledge(5, DUE1));
        State bad = pos->get_state();
        bad["old_quantity"] = 1.0;
        bad["payment_receivable"] = 9.0;
        bad["pledges"] = c.pledges;
        try {
            pos->set_state(bad);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const korvex::ValueError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.name;
        }
        EXPECT_EQ(pos->quantity(), 100.0) << c.name;
        EXPECT_EQ(pos->payment_receivable(), 0.0) << c.name;
        EXPECT_EQ(pos->pledged_quantity(), 5.0) << c.name;
    }
}
