#include "korvex_mod_bond/data/instrument_store.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bond_data_fixtures.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "tavlen/errors.hpp"

namespace {

using bond_test::error_of;
using korvex::DEFAULT_ACCOUNT_TYPE;
using korvex::make_datetime;
using korvex::Record;
using korvex_mod_bond::BondInstrument;
using korvex_mod_bond::BondInstrumentStore;
using korvex_mod_bond::RepoInstrument;
using korvex_mod_bond::RepoInstrumentStore;
using Strings = std::vector<std::string>;

Record bond_record(const std::string& id, korvex::Value listed, korvex::Value de_listed) {
    return Record{{"order_book_id", id},   {"symbol", "bond " + id},
                  {"listed_date", listed}, {"de_listed_date", de_listed},
                  {"exchange", "XSHG"},    {"initial_issue_size", 5e8},
                  {"coupon_rate", 0.0325}};
}

class InstrumentStoreTest : public testing::Test {
protected:
    bond_test::MemoryClient client;
};

TEST_F(InstrumentStoreTest, BondListKeepsInterBankAndExchangeIdsInTheClientsOrder) {
    client->set_bond_list(
        "bond", {"019547.SH", "190210.IB", "X.HK", "101901.SZ", "190211IB", "190212.IB.X"});
    const BondInstrumentStore store;
    EXPECT_EQ(store.all_id_and_syms(), (Strings{"019547.SH", "190210.IB", "101901.SZ"}));
    EXPECT_EQ(client->calls(), (Strings{R"(get_bond_list(type="bond"))"}));
    EXPECT_EQ(store.instrument_type(), korvex::INSTRUMENT_TYPE::BOND);
}

TEST_F(InstrumentStoreTest, RepoListKeepsExchangeReposAndOnlyTheSixStandardInterBankOnes) {
    client->set_bond_list(
        "repo", {"R007.IB", "R2M.IB", "204001.SH", "R001.IBX", "131810.SZ", "R3M.IB", "GC001"});
    const RepoInstrumentStore store;
    EXPECT_EQ(store.all_id_and_syms(), (Strings{"R007.IB", "204001.SH", "131810.SZ", "R3M.IB"}));
    EXPECT_EQ(client->calls(), (Strings{R"(get_bond_list(type="repo"))"}));
    EXPECT_EQ(store.instrument_type(), korvex::INSTRUMENT_TYPE::REPO);
}

TEST_F(InstrumentStoreTest, IdListIsFixedAtConstructionAndTheSameObjectEachTime) {
    client->set_bond_list("bond", {"190210.IB"});
    const BondInstrumentStore store;
    client->set_bond_list("bond", {"190210.IB", "019547.SH"});
    EXPECT_EQ(&store.all_id_and_syms(), &store.all_id_and_syms());
    EXPECT_EQ(store.all_id_and_syms(), (Strings{"190210.IB"}));
    EXPECT_EQ(client->count("get_bond_list"), 1u);
}

TEST_F(InstrumentStoreTest, AFailingListCallFailsTheConstruction) {
    client->fail_on("get_bond_list",
                    std::make_exception_ptr(tavlen::PermissionDenied("licence expired")));
    EXPECT_EQ(error_of<tavlen::PermissionDenied>([] { BondInstrumentStore store; }),
              "licence expired");
    EXPECT_EQ(error_of<tavlen::PermissionDenied>([] { RepoInstrumentStore store; }),
              "licence expired");
}

TEST_F(InstrumentStoreTest, GetInstrumentsAsksNothingUntilTheFirstElement) {
    client->set_bond_list("bond", {"190210.IB", "019547.SH"});
    client->add_instrument(bond_record("190210.IB", make_datetime(2019, 3, 1), std::nullopt));
    client->add_instrument(bond_record("019547.SH", make_datetime(2019, 4, 1), std::nullopt));
    const BondInstrumentStore store;
    client->clear_calls();

    auto sequence = store.get_instruments(std::nullopt);
    EXPECT_TRUE(client->calls().empty());
    auto it = sequence.begin();
    EXPECT_EQ(client->calls(), (Strings{R"(instruments(["190210.IB", "019547.SH"]))"}));
    EXPECT_EQ((*it)->order_book_id(), "190210.IB");
    ++it;
    EXPECT_EQ((*it)->order_book_id(), "019547.SH");
    EXPECT_EQ(client->count("instruments"), 1u);
}

TEST_F(InstrumentStoreTest, ExplicitIdsGoToTheClientUnfiltered) {
    client->set_bond_list("bond", {"190210.IB"});
    client->add_instrument(bond_record("999.XX", make_datetime(2019, 3, 1), std::nullopt));
    const BondInstrumentStore store;
    client->clear_calls();
    auto instruments = store.get_instruments(Strings{"999.XX", "190210.IB"}).to_vector();
    EXPECT_EQ(client->calls(), (Strings{R"(instruments(["999.XX", "190210.IB"]))"}));
    ASSERT_EQ(instruments.size(), 1u);
    EXPECT_EQ(instruments[0]->order_book_id(), "999.XX");
}

TEST_F(InstrumentStoreTest, OneRecordIsASequenceOfOneAndNoneIsEmpty) {
    client->set_bond_list("bond", {"190210.IB", "019547.SH"});
    client->set_instruments_answer(
        {"190210.IB", "019547.SH"},
        bond_record("190210.IB", make_datetime(2019, 3, 1), make_datetime(2024, 3, 1)));
    client->set_instruments_answer({"404.IB"}, std::monostate{});
    const BondInstrumentStore store;
    auto one = store.get_instruments(std::nullopt).to_vector();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]->order_book_id(), "190210.IB");
    EXPECT_TRUE(store.get_instruments(Strings{"404.IB"}).to_vector().empty());
}

TEST_F(InstrumentStoreTest, BondDatesThatAreEmptyGetTheDefaultsAndRealOnesPass) {
    client->set_bond_list("bond", {"A.IB", "B.SH", "C.SZ"});
    client->add_instrument(bond_record("A.IB", std::nullopt, std::nullopt));
    client->add_instrument(bond_record("B.SH", "", 0));
    client->add_instrument(
        bond_record("C.SZ", make_datetime(2019, 3, 1), make_datetime(2024, 3, 1, 15)));
    const BondInstrumentStore store;
    auto bonds = store.get_instruments(std::nullopt).to_vector();
    ASSERT_EQ(bonds.size(), 3u);
    for (int i : {0, 1}) {
        EXPECT_EQ(bonds[i]->listed_date(), make_datetime(1999, 1, 1)) << i;
        EXPECT_EQ(bonds[i]->de_listed_date(), make_datetime(2999, 12, 31)) << i;
    }
    EXPECT_EQ(bonds[2]->listed_date(), make_datetime(2019, 3, 1));
    EXPECT_EQ(bonds[2]->de_listed_date(), make_datetime(2024, 3, 1, 15));

    auto* bond = dynamic_cast<const BondInstrument*>(bonds[2].get());
    ASSERT_NE(bond, nullptr);
    // Every other field of the client's record is kept.
    EXPECT_EQ(bond->attr("coupon_rate"), korvex::Value(0.0325));
    EXPECT_EQ(bond->attr("symbol"), korvex::Value("bond C.SZ"));
    EXPECT_EQ(bond->initial_issue_size(), korvex::Value(5e8));
}

TEST_F(InstrumentStoreTest, BondRecordWithoutADateFieldStopsTheSequenceThere) {
    client->set_bond_list("bond", {"A.IB", "B.IB"});
    client->add_instrument(bond_record("A.IB", std::nullopt, std::nullopt));
    Record b = bond_record("B.IB", std::nullopt, std::nullopt);
    b.erase("de_listed_date");
    client->add_instrument(b);
    const BondInstrumentStore store;
    auto sequence = store.get_instruments(std::nullopt);
    auto it = sequence.begin();
    const korvex::InstrumentPtr first = *it;
    EXPECT_EQ(error_of<korvex::KeyError>([&] { ++it; }),
              "bond record of B.IB has no field 'de_listed_date'");
    EXPECT_EQ(first->order_book_id(), "A.IB");
    EXPECT_EQ(first->de_listed_date(), make_datetime(2999, 12, 31));
}

TEST_F(InstrumentStoreTest, ReposGetExchangeAccountAndTheWholeHistoryFromTheirSuffix) {
    client->set_bond_list("repo", {"R014.IB", "204001.SH", "131810.SZ"});
    client->add_instrument(Record{{"order_book_id", "R014.IB"},
                                  {"repo_period", 14},
                                  {"listed_date", make_datetime(2010, 1, 1)},
                                  {"de_listed_date", make_datetime(2011, 1, 1)},
                                  {"exchange", "CFETS"},
                                  {"account_type", "STOCK"}});
    client->add_instrument(Record{{"order_book_id", "204001.SH"}, {"repo_period", 1}});
    client->add_instrument(Record{{"order_book_id", "131810.SZ"}});
    const RepoInstrumentStore store;
    auto repos = store.get_instruments(std::nullopt).to_vector();
    ASSERT_EQ(repos.size(), 3u);

    struct Expected {
        std::string exchange;
        DEFAULT_ACCOUNT_TYPE account;
    };
    const Expected expected[] = {{"NIB", DEFAULT_ACCOUNT_TYPE::BOND},
                                 {"XSHG", DEFAULT_ACCOUNT_TYPE::STOCK},
                                 {"XSHE", DEFAULT_ACCOUNT_TYPE::STOCK}};
    for (std::size_t i = 0; i < 3; ++i) {
        auto* repo = dynamic_cast<const RepoInstrument*>(repos[i].get());
        ASSERT_NE(repo, nullptr);
        EXPECT_EQ(repo->exchange(), expected[i].exchange) << repo->order_book_id();
        EXPECT_EQ(repo->account_type(), expected[i].account) << repo->order_book_id();
        EXPECT_EQ(repo->listed_date(), make_datetime(1999, 1, 1));
        EXPECT_EQ(repo->de_listed_date(), make_datetime(2999, 12, 31));
    }
    EXPECT_EQ(dynamic_cast<const RepoInstrument&>(*repos[0]).repo_period(), 14);
    EXPECT_EQ(dynamic_cast<const RepoInstrument&>(*repos[2]).repo_period(), std::nullopt);
}

TEST_F(InstrumentStoreTest, RepoWhoseSecondIdPieceIsNoKnownMarketStopsTheSequence) {
    client->set_bond_list("repo", {});
    client->add_instrument(Record{{"order_book_id", "A.B.SH"}});
    client->add_instrument(Record{{"order_book_id", "R1.HK"}});
    client->add_instrument(Record{{"order_book_id", "R1"}});
    const RepoInstrumentStore store;
    EXPECT_EQ(
        error_of<korvex::KeyError>([&] { store.get_instruments(Strings{"A.B.SH"}).to_vector(); }),
        "repo A.B.SH has the market suffix 'B'; known suffixes are IB, SZ and SH");
    EXPECT_EQ(
        error_of<korvex::KeyError>([&] { store.get_instruments(Strings{"R1.HK"}).to_vector(); }),
        "repo R1.HK has the market suffix 'HK'; known suffixes are IB, SZ and SH");
    EXPECT_EQ(error_of<korvex::KeyError>([&] { store.get_instruments(Strings{"R1"}).to_vector(); }),
              "repo R1 has no market suffix");
}

}  // namespace
