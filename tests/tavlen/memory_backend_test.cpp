#include "tavlen/memory_backend.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "sample_data.hpp"

namespace tavlen_test {
namespace {

using tavlen::MemoryBackend;

TEST(MemoryBackend, RecordsEveryCallInItsTextForm) {
    MemoryBackend m;
    const std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[&] { m.get_bond_list({.type = "bond"}); }, R"(get_bond_list(type="bond"))"},
        {[&] {
             m.instruments({"A.IB", "B.SH"});
         },
         R"(instruments(["A.IB", "B.SH"]))"},
        {[&] { m.instruments({}); }, R"(instruments([]))"},
        {[&] { m.get_trading_dates(20050104, 29991231); }, "get_trading_dates(20050104, 29991231)"},
        {[&] {
             m.currency_market_quotation("R007.IB", {"20050104", "29991231"});
         },
         R"(currency_market_quotation("R007.IB", start_date="20050104", end_date="29991231"))"},
        {[&] {
             m.get_valuation("X.IB", {"20050104", "29991231", "chinabond", "recommended"});
         },
         R"(get_valuation("X.IB", start_date="20050104", end_date="29991231", )"
         R"(source="chinabond", valuation_type="recommended"))"},
        {[&] {
             m.get_price("X.SH", {"20050104", "29991231", "cfets", true});
         },
         R"(get_price("X.SH", start_date="20050104", end_date="29991231", source="cfets", )"
         R"(details=true))"},
        {[&] { m.realized_cash_flow("X.IB"); }, R"(realized_cash_flow("X.IB"))"},
        {[&] { m.get_implied_cash_flow("X.IB", 20050102, 29991231); },
         R"(get_implied_cash_flow("X.IB", 20050102, 29991231))"},
    };
    for (const auto& [call, line] : cases) {
        m.clear_calls();
        call();
        EXPECT_EQ(m.calls(), std::vector<std::string>{line});
    }
}

TEST(MemoryBackend, CountsCallsByExactName) {
    MemoryBackend m;
    m.get_price("X.SH", {"20050104", "29991231", "cfets", true});
    m.get_trading_dates(20050104, 29991231);
    m.get_price("Y.SH", {"20050104", "29991231", "cfets", true});
    EXPECT_EQ(m.count("get_price"), 2u);
    EXPECT_EQ(m.count("get_trading_dates"), 1u);
    EXPECT_EQ(m.count("get_pri"), 0u);
    EXPECT_EQ(m.count("instruments"), 0u);
}

TEST(MemoryBackend, FailOnRefusesOnlyThatCallUntilCleared) {
    MemoryBackend m;
    fill_sample(m);
    m.fail_on("instruments", std::make_exception_ptr(tavlen::PermissionDenied("licence expired")));
    for (int i = 0; i < 2; ++i) {
        try {
            m.instruments({"A.IB"});
            FAIL() << "no refusal";
        } catch (const tavlen::PermissionDenied& e) {
            EXPECT_STREQ(e.what(), "licence expired");
        }
    }
    EXPECT_EQ(m.get_bond_list({.type = "bond"}), (std::vector<std::string>{"B.SH", "A.IB"}));
    // A refused call was still made.
    EXPECT_EQ(m.count("instruments"), 2u);

    m.clear_failures();
    EXPECT_TRUE(std::holds_alternative<korvex::Record>(m.instruments({"A.IB"})));
}

TEST(MemoryBackend, FailOnRejectsUnknownCallNames) {
    MemoryBackend m;
    try {
        m.fail_on("instrument", std::make_exception_ptr(tavlen::DataError("x")));
        FAIL() << "no error";
    } catch (const korvex::ValueError& e) {
        EXPECT_STREQ(
            e.what(),
            "fail_on: unknown call 'instrument' (calls: get_bond_list, instruments, "
            "get_trading_dates, currency_market_quotation, get_valuation, get_price, "
            "realized_cash_flow, get_implied_cash_flow, get_yield_curve_list, get_yield_curve)");
    }
}

TEST(MemoryBackend, InstalledAnswerOverridesOnlyItsExactIds) {
    MemoryBackend m;
    fill_sample(m);
    m.set_instruments_answer({"A.IB"}, std::vector<korvex::Record>{});
    m.set_instruments_answer({"B.SH"}, std::monostate{});
    EXPECT_TRUE(m.instruments({"A.IB"}) ==
                tavlen::InstrumentsResult(std::vector<korvex::Record>{}));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(m.instruments({"B.SH"})));
    EXPECT_EQ(std::get<std::vector<korvex::Record>>(m.instruments({"B.SH", "A.IB"})).size(), 2u);
}

TEST(MemoryBackend, InstalledTableComesBackItselfWhenTheRangeCoversIt) {
    MemoryBackend m;
    auto t = std::make_shared<tavlen::Table>(std::vector<std::string>{"open"});
    t->append("R.IB", korvex::make_date(2020, 1, 2), {1.0});
    t->append("R.IB", korvex::make_date(2020, 1, 3), {2.0});
    m.set_quotation("R.IB", t);
    EXPECT_EQ(m.currency_market_quotation("R.IB", {"20050104", "29991231"}), t);
    auto part = m.currency_market_quotation("R.IB", {"20200103", "29991231"});
    EXPECT_NE(part, t);
    EXPECT_EQ(part->column("open"), std::vector<double>{2.0});
    EXPECT_EQ(part->order_book_ids(), std::vector<std::string>{"R.IB"});
}

TEST(MemoryBackend, AddInstrumentNeedsAnOrderBookId) {
    MemoryBackend m;
    EXPECT_THROW(m.add_instrument(korvex::Record{{"symbol", "X"}}), korvex::KeyError);
}

}  // namespace
}  // namespace tavlen_test
