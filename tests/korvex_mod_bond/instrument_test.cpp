#include "korvex_mod_bond/data/instrument.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "bond_data_fixtures.hpp"
#include "korvex/errors.hpp"

namespace {

using korvex::DEFAULT_ACCOUNT_TYPE;
using korvex::POSITION_DIRECTION;
using korvex::Record;
using korvex_mod_bond::BondInstrument;
using korvex_mod_bond::get_repo_order_book_id;
using korvex_mod_bond::RepoInstrument;

struct TermCase {
    std::int64_t days;
    std::optional<std::string> repo;
    friend std::ostream& operator<<(std::ostream& os, const TermCase& c) {
        return os << c.days << " days";
    }
};

class RepoTermLookup : public testing::TestWithParam<TermCase> {};

TEST_P(RepoTermLookup, GivesTheStandardRepoWhoseRangeHoldsTheTerm) {
    EXPECT_EQ(get_repo_order_book_id(GetParam().days), GetParam().repo);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, RepoTermLookup,
    testing::Values(TermCase{1, "R001.IB"}, TermCase{2, "R007.IB"}, TermCase{7, "R007.IB"},
                    TermCase{8, "R014.IB"}, TermCase{14, "R014.IB"}, TermCase{15, "R021.IB"},
                    TermCase{21, "R021.IB"}, TermCase{22, "R1M.IB"}, TermCase{30, "R1M.IB"},
                    TermCase{31, "R3M.IB"}, TermCase{90, "R3M.IB"}, TermCase{0, std::nullopt},
                    TermCase{91, std::nullopt}, TermCase{-1, std::nullopt},
                    TermCase{INT64_MIN, std::nullopt}, TermCase{INT64_MAX, std::nullopt}));

Record bond_record(const std::string& id) {
    return Record{{"order_book_id", id},
                  {"exchange", "XSHG"},
                  {"initial_issue_size", 1e9},
                  {"listed_date", korvex::make_datetime(2019, 3, 1)},
                  {"de_listed_date", korvex::make_datetime(2024, 3, 1)}};
}

struct RoundLotCase {
    std::string id;
    std::optional<double> stored;
    double expected;
    friend std::ostream& operator<<(std::ostream& os, const RoundLotCase& c) {
        return os << c.id << (c.stored ? " with a stored lot" : "");
    }
};

class BondRoundLot : public testing::TestWithParam<RoundLotCase> {};

TEST_P(BondRoundLot, IsTheStoredLotElseHundredForInterBankAndTenOtherwise) {
    Record r = bond_record(GetParam().id);
    if (GetParam().stored) r.set("round_lot", *GetParam().stored);
    EXPECT_EQ(BondInstrument(r).round_lot(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Suffixes, BondRoundLot,
    testing::Values(RoundLotCase{"190210.IB", std::nullopt, 100.0},
                    RoundLotCase{"019547.SH", std::nullopt, 10.0},
                    RoundLotCase{"101901.SZ", std::nullopt, 10.0},
                    // Only the end of the id counts: ".IB" inside the id is no inter-bank bond.
                    RoundLotCase{"X.IB.SH", std::nullopt, 10.0},
                    RoundLotCase{"190210.IB", 1.0, 1.0}, RoundLotCase{"019547.SH", 1.0, 1.0}));

TEST(BondInstrument, StoredRoundLotThatIsEmptyIsAnErrorNamingTheBond) {
    Record r = bond_record("190210.IB");
    r.set("round_lot", std::nullopt);
    EXPECT_EQ(bond_test::error_of<korvex::ValueError>([&] { BondInstrument(r).round_lot(); }),
              "bond 190210.IB has an empty round_lot");
}

TEST(BondInstrument, IssuePriceDefaultsOnlyWhenTheFieldIsAbsent) {
    Record r = bond_record("190210.IB");
    EXPECT_EQ(BondInstrument(r).issue_price(), 100.0);
    r.set("issue_price", std::nullopt);
    EXPECT_EQ(BondInstrument(r).issue_price(), std::nullopt);
    r.set("issue_price", 98.5);
    EXPECT_EQ(BondInstrument(r).issue_price(), 98.5);
}

TEST(BondInstrument, AccountTypeAndTypeFollowTheIdNotTheRecord) {
    Record sh = bond_record("019547.SH");
    sh.set("account_type", "BOND");
    sh.set("type", "CS");
    Record sz = bond_record("101901.SZ");
    sz.set("account_type", "BOND");
    Record ib = bond_record("190210.IB");
    ib.set("account_type", "STOCK");
    EXPECT_EQ(BondInstrument(sh).account_type(), DEFAULT_ACCOUNT_TYPE::STOCK);
    EXPECT_EQ(BondInstrument(sz).account_type(), DEFAULT_ACCOUNT_TYPE::STOCK);
    EXPECT_EQ(BondInstrument(ib).account_type(), DEFAULT_ACCOUNT_TYPE::BOND);
    EXPECT_EQ(BondInstrument(sh).type(), korvex::INSTRUMENT_TYPE::BOND);
}

TEST(BondInstrument, RequiredFieldsRaiseKeyErrorNamingTheFieldAndLeaveTheRestWorking) {
    const BondInstrument bond(Record{{"order_book_id", "190210.IB"},
                                     {"de_listed_date", korvex::make_datetime(2024, 3, 1)}});
    EXPECT_EQ(bond_test::error_of<korvex::KeyError>([&] { bond.initial_issue_size(); }),
              "'initial_issue_size'");
    EXPECT_EQ(bond_test::error_of<korvex::KeyError>([&] { bond.exchange(); }), "'exchange'");
    EXPECT_EQ(bond.round_lot(), 100.0);
    EXPECT_EQ(bond.issue_price(), 100.0);
    EXPECT_EQ(bond.account_type(), DEFAULT_ACCOUNT_TYPE::BOND);
    EXPECT_FALSE(bond.de_listed_at(korvex::make_datetime(2024, 2, 29)));
}

TEST(BondInstrument, ExchangeIsTheStoredOneAndEmptyStaysEmpty) {
    Record r = bond_record("019547.SH");
    EXPECT_EQ(BondInstrument(r).exchange(), "XSHG");
    r.set("exchange", std::nullopt);
    EXPECT_EQ(BondInstrument(r).exchange(), "");
}

struct RepoLotCase {
    std::string id;
    double expected;
    friend std::ostream& operator<<(std::ostream& os, const RepoLotCase& c) { return os << c.id; }
};

class RepoRoundLot : public testing::TestWithParam<RepoLotCase> {};

TEST_P(RepoRoundLot, DependsOnTheMarketAndIgnoresTheStoredLot) {
    const RepoInstrument repo(Record{{"order_book_id", GetParam().id}, {"round_lot", 7}});
    EXPECT_EQ(repo.round_lot(), GetParam().expected);
    EXPECT_EQ(repo.symbol(), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(Markets, RepoRoundLot,
                         testing::Values(RepoLotCase{"131810.SZ", 100000.0},
                                         RepoLotCase{"204001.SH", 1000.0},
                                         RepoLotCase{"R001.IB", 10.0},
                                         RepoLotCase{"GC001.XX", 10.0}));

TEST(RepoInstrument, OptionalFieldsAreEmptyWhenAbsentAndStoredOtherwise) {
    const RepoInstrument bare(Record{{"order_book_id", "R007.IB"}, {"symbol", "7-day repo"}});
    EXPECT_EQ(bare.repo_period(), std::nullopt);
    EXPECT_EQ(bare.exchange(), "");
    EXPECT_EQ(bare.symbol(), "R007.IB");
    EXPECT_EQ(bare.type(), korvex::INSTRUMENT_TYPE::REPO);
    // No stored account: the market's, never an exchange repo in the bond account.
    EXPECT_EQ(bare.account_type(), DEFAULT_ACCOUNT_TYPE::BOND);
    EXPECT_EQ(RepoInstrument(Record{{"order_book_id", "204001.SH"}}).account_type(),
              DEFAULT_ACCOUNT_TYPE::STOCK);

    const RepoInstrument full(Record{{"order_book_id", "204001.SH"},
                                     {"repo_period", 1},
                                     {"exchange", "XSHG"},
                                     {"account_type", "STOCK"}});
    EXPECT_EQ(full.repo_period(), 1);
    EXPECT_EQ(full.exchange(), "XSHG");
    EXPECT_EQ(full.account_type(), DEFAULT_ACCOUNT_TYPE::STOCK);
}

TEST(Instruments, AreDeListedFromTheDeListingInstantOn) {
    const auto de_listed = korvex::make_datetime(2024, 3, 1, 15, 0, 0);
    Record r = bond_record("190210.IB");
    r.set("de_listed_date", de_listed);
    const BondInstrument bond(r);
    const RepoInstrument repo(r);
    for (const korvex::Instrument* ins : {static_cast<const korvex::Instrument*>(&bond),
                                          static_cast<const korvex::Instrument*>(&repo)}) {
        EXPECT_TRUE(ins->de_listed_at(de_listed));
        EXPECT_FALSE(ins->de_listed_at(de_listed - std::chrono::seconds(1)));
        EXPECT_TRUE(ins->de_listed_at(de_listed + std::chrono::hours(24)));
    }
}

TEST(Instruments, CashOccupationIsPriceTimesQuantityInEitherDirection) {
    const BondInstrument bond(bond_record("190210.IB"));
    const RepoInstrument repo(Record{{"order_book_id", "204001.SH"}});
    for (auto direction : {POSITION_DIRECTION::LONG, POSITION_DIRECTION::SHORT}) {
        EXPECT_EQ(bond.calc_cash_occupation(101.5, 1000, direction), 1000 * 101.5);
        EXPECT_EQ(repo.calc_cash_occupation(101.5, 1000, direction), 1000 * 101.5);
        EXPECT_EQ(bond.calc_cash_occupation(99.9999, 3, direction), 99.9999 * 3);
    }
}

}  // namespace
