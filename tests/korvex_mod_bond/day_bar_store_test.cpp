#include "korvex_mod_bond/data/day_bar_store.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "bond_data_fixtures.hpp"
#include "korvex/errors.hpp"
#include "tavlen/errors.hpp"

namespace {

using bond_test::error_of;
using bond_test::Row;
using korvex_mod_bond::AutoBondDayBarStore;
using korvex_mod_bond::BondBar;
using korvex_mod_bond::BondDayBarStore;
using korvex_mod_bond::ChinabondBondDayBarStore;
using korvex_mod_bond::ExchangeBondDayBarStore;
using Strings = std::vector<std::string>;
using FieldColumns = std::vector<std::pair<std::string, std::string>>;

const Strings VALUATION_COLUMNS{"dirty_price_eod",
                                "dv01",
                                "ytm",
                                "clean_price",
                                "modified_duration",
                                "convexity",
                                "time_to_maturity",
                                "residual_principal"};
const Strings PRICE_COLUMNS{
    "dirty_price_open", "dirty_price_high", "dirty_price_low", "dirty_price_eod",
    "ytm_close",        "clean_price_eod",  "volume"};
const std::vector<std::int32_t> DAYS{20200102, 20200103, 20200106};
const Strings FLOAT_FIELDS{
    "open",           "close", "high",     "low",         "volume",
    "total_turnover", "dv01",  "ytm",      "clean_price", "modified_duration",
    "convexity",      "t",     "principal"};

enum class Source { VALUATION, PRICE };

// Every cell distinct: the source table, the column and the row can be read back from it.
double cell(Source source, const Strings& columns, const std::string& column, std::size_t row) {
    const auto c = static_cast<std::size_t>(std::find(columns.begin(), columns.end(), column) -
                                            columns.begin());
    return (source == Source::PRICE ? 10000.0 : 0.0) + 100.0 * static_cast<double>(c + 1) +
           static_cast<double>(row) / 4;
}

tavlen::TablePtr full_table(const std::string& id, Source source) {
    const Strings& columns = source == Source::PRICE ? PRICE_COLUMNS : VALUATION_COLUMNS;
    std::vector<Row> rows;
    for (std::size_t r = 0; r < DAYS.size(); ++r) {
        std::vector<double> values;
        for (const auto& c : columns) values.push_back(cell(source, columns, c, r));
        rows.push_back({DAYS[r], values});
    }
    return bond_test::make_table(id, columns, rows);
}

// What the bar fields must hold, written out from the field maps as the stores must apply them.
const FieldColumns CHINABOND{{"open", "dirty_price_eod"},
                             {"close", "dirty_price_eod"},
                             {"high", "dirty_price_eod"},
                             {"low", "dirty_price_eod"},
                             {"dv01", "dv01"},
                             {"ytm", "ytm"},
                             {"clean_price", "clean_price"},
                             {"modified_duration", "modified_duration"},
                             {"convexity", "convexity"},
                             {"t", "time_to_maturity"},
                             {"principal", "residual_principal"}};
const FieldColumns INTER_BANK_PRICES{
    {"open", "dirty_price_eod"}, {"close", "dirty_price_eod"}, {"high", "dirty_price_eod"},
    {"low", "dirty_price_eod"},  {"ytm", "ytm_close"},         {"clean_price", "clean_price_eod"}};
const FieldColumns EXCHANGE_PRICES{{"open", "dirty_price_open"}, {"close", "dirty_price_eod"},
                                   {"high", "dirty_price_high"}, {"low", "dirty_price_low"},
                                   {"ytm", "ytm_close"},         {"clean_price", "clean_price_eod"},
                                   {"volume", "volume"}};

std::string valuation_call(const std::string& id) {
    return "get_valuation(\"" + id +
           R"(", start_date="20050104", end_date="29991231", source="chinabond", )"
           R"(valuation_type="recommended"))";
}
std::string price_call(const std::string& id) {
    return "get_price(\"" + id +
           R"(", start_date="20050104", end_date="29991231", source="cfets", details=true))";
}

enum class Kind { CHINABOND, EXCHANGE, AUTO };

std::unique_ptr<BondDayBarStore> make_store(Kind kind) {
    switch (kind) {
        case Kind::CHINABOND:
            return std::make_unique<ChinabondBondDayBarStore>();
        case Kind::EXCHANGE:
            return std::make_unique<ExchangeBondDayBarStore>();
        case Kind::AUTO:
            return std::make_unique<AutoBondDayBarStore>();
    }
    return nullptr;
}

struct FieldMapCase {
    const char* name;
    Kind kind;
    std::string id;
    Source source;
    const FieldColumns* expected;
    friend std::ostream& operator<<(std::ostream& os, const FieldMapCase& c) {
        return os << c.name;
    }
};

class BondBarFieldMaps : public testing::TestWithParam<FieldMapCase> {
protected:
    bond_test::MemoryClient client;
};

TEST_P(BondBarFieldMaps, FillEachFieldFromItsColumnAndLeaveTheRestNaN) {
    const FieldMapCase& c = GetParam();
    client->set_valuation(c.id, full_table(c.id, Source::VALUATION));
    client->set_price(c.id, full_table(c.id, Source::PRICE));
    auto store = make_store(c.kind);
    const korvex::Bars bars = store->get_bars(c.id);

    EXPECT_EQ(client->calls(),
              Strings{c.source == Source::PRICE ? price_call(c.id) : valuation_call(c.id)});
    ASSERT_EQ(bars.size(), DAYS.size());
    EXPECT_EQ(*bars.layout(), BondDayBarStore::DTYPE);
    const Strings& columns = c.source == Source::PRICE ? PRICE_COLUMNS : VALUATION_COLUMNS;
    const std::map<std::string, std::string> expected(c.expected->begin(), c.expected->end());
    for (std::size_t r = 0; r < DAYS.size(); ++r) {
        EXPECT_EQ(bars.datetime(r), std::int64_t{DAYS[r]} * 1000000);
        for (const auto& f : FLOAT_FIELDS) {
            const double value = bond_test::field(bars, r, f);
            if (auto it = expected.find(f); it != expected.end())
                EXPECT_EQ(value, cell(c.source, columns, it->second, r)) << f << " row " << r;
            else
                EXPECT_TRUE(std::isnan(value)) << f << " row " << r << " holds " << value;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    StoresAndSuffixes, BondBarFieldMaps,
    testing::Values(
        FieldMapCase{"ExchangeInterBank", Kind::EXCHANGE, "190210.IB", Source::PRICE,
                     &INTER_BANK_PRICES},
        FieldMapCase{"ExchangeShanghai", Kind::EXCHANGE, "019547.SH", Source::PRICE,
                     &EXCHANGE_PRICES},
        FieldMapCase{"ExchangeShenzhen", Kind::EXCHANGE, "101901.SZ", Source::PRICE,
                     &EXCHANGE_PRICES},
        FieldMapCase{"ChinabondInterBank", Kind::CHINABOND, "190210.IB", Source::VALUATION,
                     &CHINABOND},
        FieldMapCase{"ChinabondShanghai", Kind::CHINABOND, "019547.SH", Source::VALUATION,
                     &CHINABOND},
        FieldMapCase{"AutoInterBank", Kind::AUTO, "190210.IB", Source::VALUATION, &CHINABOND},
        FieldMapCase{"AutoShanghai", Kind::AUTO, "019547.SH", Source::PRICE, &EXCHANGE_PRICES},
        FieldMapCase{"AutoShenzhen", Kind::AUTO, "101901.SZ", Source::PRICE, &EXCHANGE_PRICES},
        // Only ".IB" at the very end makes an inter-bank bond.
        FieldMapCase{"AutoIbInsideTheId", Kind::AUTO, "IB.SH", Source::PRICE, &EXCHANGE_PRICES}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BondDayBarStore, LayoutIsTheFourteenFieldBarInOrder) {
    EXPECT_EQ(BondDayBarStore::DTYPE.to_string(),
              "[('datetime', '<u8'), ('open', '<f8'), ('close', '<f8'), ('high', '<f8'), "
              "('low', '<f8'), ('volume', '<f8'), ('total_turnover', '<f8'), ('dv01', '<f8'), "
              "('ytm', '<f8'), ('clean_price', '<f8'), ('modified_duration', '<f8'), "
              "('convexity', '<f8'), ('t', '<f8'), ('principal', '<f8')]");
    EXPECT_EQ(BondDayBarStore::DTYPE.itemsize(), sizeof(BondBar));
}

TEST(BondDayBarStore, EveryMapEntryWritesTheFieldItNames) {
    for (auto map : {korvex_mod_bond::BondFieldMap(ChinabondBondDayBarStore::FIELD_MAP),
                     korvex_mod_bond::BondFieldMap(ExchangeBondDayBarStore::IB_FIELD_MAP),
                     korvex_mod_bond::BondFieldMap(ExchangeBondDayBarStore::EXCHANGE_FIELD_MAP)}) {
        for (const auto& entry : map) {
            auto bars = std::make_shared<std::vector<BondBar>>(1, BondBar{});
            (*bars)[0].*entry.member = 42.0;
            const auto view = korvex::Bars::of<BondBar>(bars, BondDayBarStore::DTYPE);
            EXPECT_EQ(view.get(0, entry.field), 42.0) << entry.field;
        }
    }
}

TEST(AutoBondDayBarStore, ChoosesChinabondForInterBankBondsAndExchangePricesOtherwise) {
    const AutoBondDayBarStore store;
    EXPECT_EQ(store._get_super_cls("190210.IB"), typeid(ChinabondBondDayBarStore));
    EXPECT_EQ(store._get_super_cls("019547.SH"), typeid(ExchangeBondDayBarStore));
    EXPECT_EQ(store._get_super_cls("101901.SZ"), typeid(ExchangeBondDayBarStore));
    EXPECT_EQ(store._get_field_map("190210.IB").data(), ChinabondBondDayBarStore::FIELD_MAP);
    EXPECT_EQ(store._get_field_map("019547.SH").data(),
              ExchangeBondDayBarStore::EXCHANGE_FIELD_MAP);
}

class BondDayBarStoreTest : public testing::Test {
protected:
    bond_test::MemoryClient client;
};

TEST_F(BondDayBarStoreTest, NoneOrAnEmptyTableGivesZeroRecordsWithTheFullLayout) {
    client->set_price("EMPTY.SH", bond_test::make_table("EMPTY.SH", PRICE_COLUMNS, {}));
    ExchangeBondDayBarStore store;
    for (const char* id : {"NONE.SH", "EMPTY.SH"}) {
        const korvex::Bars bars = store.get_bars(id);
        EXPECT_EQ(bars.size(), 0u) << id;
        ASSERT_NE(bars.layout(), nullptr) << id;
        EXPECT_EQ(bars.layout()->names().size(), 14u) << id;
        EXPECT_EQ(*bars.layout(), BondDayBarStore::DTYPE) << id;
    }
}

TEST_F(BondDayBarStoreTest, RepeatedCallsShareOneArrayAndAskTheClientOnce) {
    client->set_valuation("190210.IB", full_table("190210.IB", Source::VALUATION));
    client->set_price("019547.SH", full_table("019547.SH", Source::PRICE));
    AutoBondDayBarStore store;
    const auto ib = store.get_bars("190210.IB");
    const auto sh = store.get_bars("019547.SH");
    EXPECT_EQ(store.get_bars("190210.IB").identity(), ib.identity());
    EXPECT_EQ(store.get_bars("019547.SH").identity(), sh.identity());
    EXPECT_NE(ib.identity(), sh.identity());
    EXPECT_EQ(client->calls(), (Strings{valuation_call("190210.IB"), price_call("019547.SH")}));

    // The cache belongs to the store object: another store asks again.
    AutoBondDayBarStore other;
    EXPECT_NE(other.get_bars("190210.IB").identity(), ib.identity());
    EXPECT_EQ(client->count("get_valuation"), 2u);
}

TEST_F(BondDayBarStoreTest, CacheKeepsTheMostRecentTwoThousandFortyEightBonds) {
    ExchangeBondDayBarStore store;
    const auto first = store.get_bars("B0.SH");
    for (int i = 1; i <= 2048; ++i) store.get_bars("B" + std::to_string(i) + ".SH");
    EXPECT_EQ(client->count("get_price"), 2049u);
    store.get_bars("B2048.SH");
    store.get_bars("B1.SH");
    EXPECT_EQ(client->count("get_price"), 2049u);
    EXPECT_NE(store.get_bars("B0.SH").identity(), first.identity());
    EXPECT_EQ(client->count("get_price"), 2050u);
}

TEST_F(BondDayBarStoreTest, RepeatedOrDescendingDatesAreAValueErrorNamingTheBond) {
    const std::vector<double> values(PRICE_COLUMNS.size(), 100.0);
    client->set_price(
        "019547.SH",
        bond_test::make_table("019547.SH", PRICE_COLUMNS,
                              {{20200102, values}, {20200103, values}, {20200103, values}}));
    client->set_price("101901.SZ", bond_test::make_table("101901.SZ", PRICE_COLUMNS,
                                                         {{20200103, values}, {20200102, values}}));
    ExchangeBondDayBarStore store;
    EXPECT_EQ(error_of<korvex::ValueError>([&] { store.get_bars("019547.SH"); }),
              "day table of 019547.SH must hold one row per date in ascending order: row 2 "
              "repeats 2020-01-03");
    EXPECT_EQ(error_of<korvex::ValueError>([&] { store.get_bars("101901.SZ"); }),
              "day table of 101901.SZ must hold one row per date in ascending order: row 1 "
              "(2020-01-02) comes after 2020-01-03");
}

TEST_F(BondDayBarStoreTest, MissingColumnNamesColumnAndBondAndIsNotCached) {
    // Inter-bank prices need no open, high or low; exchange prices do.
    const Strings eod_only{"dirty_price_eod", "ytm_close", "clean_price_eod"};
    client->set_price("190210.IB",
                      bond_test::make_table("190210.IB", eod_only, {{20200102, {101, 2.5, 100}}}));
    client->set_price("019547.SH",
                      bond_test::make_table("019547.SH", eod_only, {{20200102, {101, 2.5, 100}}}));
    ExchangeBondDayBarStore store;
    EXPECT_EQ(store.get_bars("190210.IB").size(), 1u);
    EXPECT_EQ(error_of<korvex::KeyError>([&] { store.get_bars("019547.SH"); }),
              "day table of 019547.SH has no column 'dirty_price_open'");

    client->set_price("019547.SH", full_table("019547.SH", Source::PRICE));
    EXPECT_EQ(store.get_bars("019547.SH").size(), DAYS.size());
    EXPECT_EQ(client->count("get_price"), 3u);
}

TEST_F(BondDayBarStoreTest, ClientErrorsPassThroughUnchanged) {
    client->fail_on("get_valuation", std::make_exception_ptr(tavlen::DataError("no valuation")));
    ChinabondBondDayBarStore store;
    EXPECT_EQ(error_of<tavlen::DataError>([&] { store.get_bars("190210.IB"); }), "no valuation");
}

}  // namespace
