#include "tavlen/bond.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tavlen/memory_backend.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace {

// Leaves the process without a backend and without the override, whatever the test did.
class Bond : public testing::Test {
protected:
    void TearDown() override {
        tavlen::set_backend(nullptr);
        ::unsetenv(tavlen::DATABASE_ENV);
    }
};

TEST_F(Bond, CallsWithoutABackendRaiseNotInitialised) {
    tavlen::set_backend(nullptr);
    try {
        tavlen::bond::get_bond_list({.type = "bond"});
        FAIL() << "no error";
    } catch (const tavlen::DataError& e) {
        EXPECT_STREQ(e.what(), "tavlen is not initialised");
    }
}

TEST_F(Bond, FreeFunctionsReachTheInstalledBackendWithTheirArguments) {
    auto m = std::make_shared<tavlen::MemoryBackend>();
    tavlen::set_backend(m);
    EXPECT_EQ(tavlen::backend(), m);
    namespace b = tavlen::bond;
    b::get_bond_list({.type = "repo"});
    b::instruments({"R007.IB"});
    b::get_trading_dates(20050104, 29991231);
    b::currency_market_quotation("R007.IB", {.start_date = "20050104", .end_date = "29991231"});
    b::get_valuation("A.IB", {.start_date = "20050104",
                              .end_date = "29991231",
                              .source = "chinabond",
                              .valuation_type = "recommended"});
    b::get_price(
        "A.SH",
        {.start_date = "20050104", .end_date = "29991231", .source = "cfets", .details = true});
    b::realized_cash_flow("A.IB");
    b::get_implied_cash_flow("A.IB", 20050102, 29991231);
    EXPECT_EQ(
        m->calls(),
        (std::vector<std::string>{
            R"(get_bond_list(type="repo"))",
            R"(instruments(["R007.IB"]))",
            "get_trading_dates(20050104, 29991231)",
            R"(currency_market_quotation("R007.IB", start_date="20050104", end_date="29991231"))",
            R"(get_valuation("A.IB", start_date="20050104", end_date="29991231", source="chinabond", valuation_type="recommended"))",
            R"(get_price("A.SH", start_date="20050104", end_date="29991231", source="cfets", details=true))",
            R"(realized_cash_flow("A.IB"))",
            R"(get_implied_cash_flow("A.IB", 20050102, 29991231))",
        }));
}

TEST_F(Bond, InitInstallsSqliteOnTheEnvironmentPathWhenSet) {
    struct Case {
        const char* env;  // null: unset
        std::string expected;
    };
    for (const Case& c : {Case{nullptr, "/cfg/tavlen.sqlite"}, Case{"", "/cfg/tavlen.sqlite"},
                          Case{"/env/other.sqlite", "/env/other.sqlite"}}) {
        if (c.env)
            ::setenv(tavlen::DATABASE_ENV, c.env, 1);
        else
            ::unsetenv(tavlen::DATABASE_ENV);
        EXPECT_EQ(tavlen::init("/cfg/tavlen.sqlite"), c.expected);
        auto* sqlite = dynamic_cast<tavlen::SqliteBackend*>(tavlen::backend().get());
        ASSERT_NE(sqlite, nullptr);
        EXPECT_EQ(sqlite->path(), c.expected);
    }
}

}  // namespace
