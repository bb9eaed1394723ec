// What the client answers, asserted identically on the SQLite and the in-memory backend.
#include <gtest/gtest.h>

#include <memory>

#include "korvex/errors.hpp"
#include "sample_data.hpp"
#include "tavlen/memory_backend.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace tavlen_test {
namespace {

using korvex::date_from_int;
using tavlen::InstrumentsResult;
using tavlen::TablePtr;

const korvex::Record& record_of(const std::string& id) {
    static const auto all = sample_instruments();
    for (const auto& inst : all)
        if (inst.id == id) return inst.record;
    throw std::logic_error(id);
}

std::vector<korvex::Date> dates(std::initializer_list<std::int32_t> ints) {
    std::vector<korvex::Date> out;
    for (auto d : ints) out.push_back(date_from_int(d));
    return out;
}

class Backends : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "sqlite") {
            auto path = dir_.path() / "tavlen.sqlite";
            {
                Db db(path);
                write_sample(db);
            }
            backend_ = std::make_shared<tavlen::SqliteBackend>(path);
        } else {
            auto m = std::make_shared<tavlen::MemoryBackend>();
            fill_sample(*m);
            backend_ = m;
        }
    }
    tavlen::Backend& client() { return *backend_; }

    TempDir dir_;
    std::shared_ptr<tavlen::Backend> backend_;
};

TEST_P(Backends, ListsIdsOfOneTypeInStoredOrder) {
    EXPECT_EQ(client().get_bond_list({.type = "bond"}), (std::vector<std::string>{"B.SH", "A.IB"}));
    EXPECT_EQ(client().get_bond_list({.type = "repo"}),
              (std::vector<std::string>{"R007.IB", "Z.IB"}));
    EXPECT_TRUE(client().get_bond_list({.type = "fund"}).empty());
}

TEST_P(Backends, InstrumentsAnswersNoneOneRecordOrACollection) {
    struct Case {
        std::vector<std::string> ids;
        InstrumentsResult expected;
    };
    const std::vector<Case> cases{
        {{}, std::monostate{}},
        {{"NOPE.IB"}, std::monostate{}},
        {{"NOPE.IB", "NADA.SH"}, std::monostate{}},
        {{"A.IB"}, record_of("A.IB")},
        {{"Z.IB"}, korvex::Record{{"order_book_id", "Z.IB"}}},
        // More than one id asked: a collection, even when only one is known.
        {{"A.IB", "NOPE.IB"}, std::vector<korvex::Record>{record_of("A.IB")}},
        {{"R007.IB", "B.SH"}, std::vector<korvex::Record>{record_of("R007.IB"), record_of("B.SH")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.ids));
        auto got = client().instruments(c.ids);
        ASSERT_EQ(got.index(), c.expected.index());
        EXPECT_TRUE(got == c.expected);
    }
}

TEST_P(Backends, RecordsTellAbsentFromPresentEmptyAndKeepKinds) {
    auto a = std::get<korvex::Record>(client().instruments({"A.IB"}));
    ASSERT_TRUE(a.contains("de_listed_date"));
    EXPECT_TRUE(a.get("de_listed_date").is_none());
    EXPECT_FALSE(a.contains("issue_price"));
    EXPECT_EQ(a.get("listed_date"), korvex::Value(dt(2020, 1, 2)));
    EXPECT_TRUE(a.get("round_lot").is_int());
    EXPECT_EQ(a.get("round_lot").as_int(), 10);
    EXPECT_TRUE(a.get("initial_issue_size").is_float());

    auto b = std::get<korvex::Record>(client().instruments({"B.SH"}));
    EXPECT_EQ(b.get("is_callable"), korvex::Value(true));
    EXPECT_EQ(b.get("de_listed_date").as_datetime(), dt(2029, 3, 1));
    std::vector<std::string> names;
    for (const auto& [name, value] : b) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"order_book_id", "symbol", "listed_date",
                                               "de_listed_date", "exchange", "initial_issue_size",
                                               "issue_price", "is_callable"}));
}

TEST_P(Backends, TradingDatesWithinTheRangeAscending) {
    EXPECT_EQ(client().get_trading_dates(20200103, 20200107),
              dates({20200103, 20200106, 20200107}));
    EXPECT_EQ(client().get_trading_dates(20050104, 29991231),
              dates({20200102, 20200103, 20200106, 20200107, 20200108}));
    EXPECT_TRUE(client().get_trading_dates(20200104, 20200105).empty());
}

TEST_P(Backends, DayTableHasTwoLevelIndexAndColumnsInOrder) {
    TablePtr q = client().currency_market_quotation(
        "R007.IB", {.start_date = "20200103", .end_date = "29991231"});
    ASSERT_TRUE(q);
    EXPECT_EQ(q->index_names(), (std::vector<std::string>{"order_book_id", "date"}));
    EXPECT_EQ(q->column_names(), (std::vector<std::string>{"open", "close", "high", "low", "volume",
                                                           "total_turnover", "weighted"}));
    EXPECT_EQ(q->index_level("date"), dates({20200103, 20200106}));
    EXPECT_EQ(q->order_book_ids(), (std::vector<std::string>{"R007.IB", "R007.IB"}));
    EXPECT_EQ(q->column("weighted"), (std::vector<double>{0.0225, 0.0235}));

    TablePtr v = client().get_valuation("A.IB", {.start_date = "20050104",
                                                 .end_date = "29991231",
                                                 .source = "chinabond",
                                                 .valuation_type = "recommended"});
    ASSERT_TRUE(v);
    EXPECT_EQ(v->column_names(),
              (std::vector<std::string>{"dirty_price_eod", "dv01", "ytm", "clean_price",
                                        "modified_duration", "convexity", "time_to_maturity",
                                        "residual_principal"}));
    EXPECT_EQ(v->column("time_to_maturity"), (std::vector<double>{5.0, 4.99}));

    TablePtr p = client().get_price(
        "A.IB",
        {.start_date = "20050104", .end_date = "29991231", .source = "cfets", .details = true});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->column_names(), (std::vector<std::string>{
                                     "dirty_price_open", "dirty_price_high", "dirty_price_low",
                                     "dirty_price_eod", "ytm_close", "clean_price_eod", "volume"}));
    EXPECT_EQ(p->dates(), dates({20200103}));
    EXPECT_EQ(p->column("clean_price_eod"), (std::vector<double>{100.25}));
}

TEST_P(Backends, NoneWithoutRowsEmptyWhenRowsLieOutsideTheRange) {
    const tavlen::bond::DateRangeOptions all{.start_date = "20050104", .end_date = "29991231"};
    EXPECT_EQ(client().currency_market_quotation("B.SH", all), nullptr);
    EXPECT_EQ(client().get_valuation("R007.IB", {.start_date = "20050104",
                                                 .end_date = "29991231",
                                                 .source = "chinabond",
                                                 .valuation_type = "recommended"}),
              nullptr);
    EXPECT_EQ(
        client().get_price(
            "B.SH",
            {.start_date = "20050104", .end_date = "29991231", .source = "cfets", .details = true}),
        nullptr);
    EXPECT_EQ(client().realized_cash_flow("B.SH"), nullptr);
    EXPECT_EQ(client().get_implied_cash_flow("B.SH", 20050102, 29991231), nullptr);

    TablePtr q = client().currency_market_quotation(
        "R007.IB", {.start_date = "20300101", .end_date = "20301231"});
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(q->empty());
    EXPECT_EQ(q->column_names().size(), 7u);
    TablePtr i = client().get_implied_cash_flow("A.IB", 20300101, 20301231);
    ASSERT_NE(i, nullptr);
    EXPECT_TRUE(i->empty());
}

TEST_P(Backends, CashFlowTablesNameTheirDateLevelAndKeepDeliveryOrder) {
    TablePtr r = client().realized_cash_flow("A.IB");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->index_names(), (std::vector<std::string>{"order_book_id", "payment_date"}));
    EXPECT_EQ(r->index_level("payment_date"), dates({20210102, 20200102}));
    EXPECT_EQ(r->column_names(), (std::vector<std::string>{"cash_flow", "principal_payment"}));
    EXPECT_EQ(r->column("cash_flow"), (std::vector<double>{3.0, 103.0}));
    EXPECT_THROW(r->index_level("date"), korvex::KeyError);

    TablePtr i = client().get_implied_cash_flow("A.IB", 20050102, 29991231);
    ASSERT_TRUE(i);
    EXPECT_EQ(i->index_names(), (std::vector<std::string>{"order_book_id", "date"}));
    EXPECT_EQ(i->column_names(), (std::vector<std::string>{"total_payment", "payment_receivable",
                                                           "principal_payment"}));
    EXPECT_EQ(i->index_level("date"), dates({20200102, 20200106, 20210102}));
    EXPECT_EQ(i->column("principal_payment"), (std::vector<double>{0.0, 0.0, 100.0}));

    TablePtr part = client().get_implied_cash_flow("A.IB", 20200103, 20201231);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->dates(), dates({20200106}));
    EXPECT_EQ(part->column("total_payment"), (std::vector<double>{3.0}));
}

TEST_P(Backends, MalformedDateArgumentIsAValueErrorNamingIt) {
    try {
        client().currency_market_quotation("R007.IB",
                                           {.start_date = "2020-13-01", .end_date = "29991231"});
        FAIL() << "no error";
    } catch (const korvex::ValueError& e) {
        EXPECT_STREQ(e.what(), "invalid start_date '2020-13-01': expected a date YYYYMMDD");
    }
}

INSTANTIATE_TEST_SUITE_P(Tavlen, Backends, testing::Values("sqlite", "memory"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tavlen_test
