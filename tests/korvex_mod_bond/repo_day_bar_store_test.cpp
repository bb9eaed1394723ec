#include "korvex_mod_bond/data/repo_day_bar_store.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "bond_data_fixtures.hpp"
#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/inter_bank_calendar_store.hpp"

namespace {

using bond_test::error_of;
using korvex_mod_bond::InterBankCalendarStore;
using korvex_mod_bond::RepoDayBarStore;
using Strings = std::vector<std::string>;

const Strings QUOTATION_COLUMNS{"open",   "close",          "high",    "low",
                                "volume", "total_turnover", "weighted"};
const std::string R007_CALL =
    R"(currency_market_quotation("R007.IB", start_date="20050104", end_date="29991231"))";

class RepoDayBarStoreTest : public testing::Test {
protected:
    bond_test::MemoryClient client;
    RepoDayBarStore store;
};

TEST_F(RepoDayBarStoreTest, ZeroVolumeBecomesNaNAndEveryOtherValueIsTheClients) {
    client->set_quotation("R007.IB",
                          bond_test::make_table("R007.IB", QUOTATION_COLUMNS,
                                                {{20200102, {2.1, 2.2, 2.5, 2.0, 0.0, 0.0, 2.15}},
                                                 {20200103, {2.2, 2.3, 2.6, 2.1, 1500, 3e9, 2.25}},
                                                 {20200106, {2.3, 2.4, 2.7, 2.2, 0.0, 5.5, NAN}}}));
    const korvex::Bars bars = store.get_bars("R007.IB");
    EXPECT_EQ(client->calls(), Strings{R007_CALL});
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(*bars.layout(), RepoDayBarStore::DTYPE);

    const std::vector<std::vector<double>> expected{{2.1, 2.2, 2.5, 2.0, NAN, 0.0, 2.15},
                                                    {2.2, 2.3, 2.6, 2.1, 1500, 3e9, 2.25},
                                                    {2.3, 2.4, 2.7, 2.2, NAN, 5.5, NAN}};
    const std::int64_t stamps[] = {20200102000000, 20200103000000, 20200106000000};
    for (std::size_t r = 0; r < 3; ++r) {
        EXPECT_EQ(bars.datetime(r), stamps[r]);
        for (std::size_t c = 0; c < QUOTATION_COLUMNS.size(); ++c) {
            const double value = bond_test::field(bars, r, QUOTATION_COLUMNS[c]);
            if (std::isnan(expected[r][c]))
                EXPECT_TRUE(std::isnan(value)) << QUOTATION_COLUMNS[c] << " row " << r;
            else
                EXPECT_EQ(value, expected[r][c]) << QUOTATION_COLUMNS[c] << " row " << r;
        }
    }
}

TEST_F(RepoDayBarStoreTest, LayoutIsTheEightFieldBarInOrder) {
    EXPECT_EQ(RepoDayBarStore::DTYPE.to_string(),
              "[('datetime', '<u8'), ('open', '<f8'), ('close', '<f8'), ('high', '<f8'), "
              "('low', '<f8'), ('volume', '<f8'), ('total_turnover', '<f8'), "
              "('weighted', '<f8')]");
    EXPECT_EQ(RepoDayBarStore::DTYPE.itemsize(), sizeof(korvex_mod_bond::RepoBar));
}

TEST_F(RepoDayBarStoreTest, RepoWithoutQuotationsGetsZeroRecordsWithTheFullLayout) {
    client->set_quotation("R014.IB", bond_test::make_table("R014.IB", QUOTATION_COLUMNS, {}));
    for (const char* id : {"R014.IB", "R021.IB"}) {
        const korvex::Bars bars = store.get_bars(id);
        EXPECT_EQ(bars.size(), 0u);
        ASSERT_NE(bars.layout(), nullptr);
        EXPECT_EQ(bars.layout()->names().size(), 8u);
    }
}

TEST_F(RepoDayBarStoreTest, RepeatedCallsShareOneArrayAndAskTheClientOnce) {
    client->set_quotation("R007.IB", bond_test::make_table("R007.IB", QUOTATION_COLUMNS,
                                                           {{20200102, {1, 2, 3, 4, 5, 6, 7}}}));
    const auto first = store.get_bars("R007.IB");
    EXPECT_EQ(store.get_bars("R007.IB").identity(), first.identity());
    EXPECT_EQ(client->calls(), Strings{R007_CALL});
}

TEST_F(RepoDayBarStoreTest, BadTablesNameTheRepo) {
    Strings six = QUOTATION_COLUMNS;
    six.pop_back();
    client->set_quotation("R007.IB",
                          bond_test::make_table("R007.IB", six, {{20200102, {1, 2, 3, 4, 5, 6}}}));
    client->set_quotation("204001.SH", bond_test::make_table("204001.SH", QUOTATION_COLUMNS,
                                                             {{20200103, {1, 2, 3, 4, 5, 6, 7}},
                                                              {20200103, {1, 2, 3, 4, 5, 6, 7}}}));
    EXPECT_EQ(error_of<korvex::KeyError>([&] { store.get_bars("R007.IB"); }),
              "day table of R007.IB has no column 'weighted'");
    EXPECT_EQ(error_of<korvex::ValueError>([&] { store.get_bars("204001.SH"); }),
              "day table of 204001.SH must hold one row per date in ascending order: row 1 "
              "repeats 2020-01-03");
}

TEST(InterBankCalendarStore, ListsTheClientsDaysFromTheFirstOnOrAfterTheStartAndAsksEachTime) {
    bond_test::MemoryClient client;
    client->set_trading_dates({korvex::date_from_int(20041231), korvex::date_from_int(20050104),
                               korvex::date_from_int(20050105), korvex::date_from_int(20050110)});
    InterBankCalendarStore store;
    const std::vector<korvex::DateTime> expected{korvex::make_datetime(2005, 1, 4),
                                                 korvex::make_datetime(2005, 1, 5),
                                                 korvex::make_datetime(2005, 1, 10)};
    EXPECT_EQ(store.get_trading_calendar(), expected);
    EXPECT_EQ(store.get_trading_calendar(), expected);
    EXPECT_EQ(client->calls(), (Strings{"get_trading_dates(20050104, 29991231)",
                                        "get_trading_dates(20050104, 29991231)"}));
}

}  // namespace
