// The generated database answers the client's calls the way the stores expect.
#include <algorithm>
#include <variant>

#include <gtest/gtest.h>

#include "sample_bundle.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace tools_test {
namespace {

TEST(GeneratedBundle, AnswersTheClientsCalls) {
    const auto& b = SampleBundle::get();
    tavlen::SqliteBackend client(b.dir / "tavlen.sqlite");

    const auto bonds = client.get_bond_list({.type = "bond"});
    EXPECT_TRUE(std::any_of(bonds.begin(), bonds.end(),
                            [](const auto& id) { return id.ends_with(".BJ"); }));
    const auto repos = client.get_bond_list({.type = "repo"});
    EXPECT_EQ(repos.front(), "R001.IB");
    EXPECT_EQ(repos.size(), 28u);

    std::string empty_listed;
    for (const auto& id : bonds) {
        if (b.fields.at(id).at("listed_date").kind == "none") empty_listed = id;
    }
    ASSERT_FALSE(empty_listed.empty());
    const auto answer = client.instruments({empty_listed});
    ASSERT_TRUE(std::holds_alternative<korvex::Record>(answer));
    const auto& record = std::get<korvex::Record>(answer);
    EXPECT_TRUE(record.get("listed_date").is_none());
    EXPECT_TRUE(record.get("de_listed_date").is_datetime() ||
                record.get("de_listed_date").is_none());
    EXPECT_TRUE(record.get("initial_issue_size").is_float());

    const auto dates = client.get_trading_dates(20050104, 29991231);
    EXPECT_EQ(dates.front(), korvex::make_date(2005, 1, 4));
    EXPECT_TRUE(std::binary_search(dates.begin(), dates.end(), korvex::make_date(2020, 1, 19)));

    const std::string id = bonds.front().ends_with(".OF") ? bonds[1] : bonds.front();
    const auto valuation = client.get_valuation(id, {.start_date = "20050104",
                                                     .end_date = "29991231",
                                                     .source = "chinabond",
                                                     .valuation_type = "recommended"});
    ASSERT_TRUE(valuation);
    EXPECT_EQ(valuation->size(), b.valuations.at(id).size());
    EXPECT_EQ(valuation->column("residual_principal").front(),
              b.valuations.at(id).front().residual);

    const auto quotes = client.currency_market_quotation(
        "204001.SH", {.start_date = "20050104", .end_date = "29991231"});
    ASSERT_TRUE(quotes);
    EXPECT_EQ(quotes->size(), b.repos.at("204001.SH").size());
    const auto implied = client.get_implied_cash_flow(id, 20050102, 29991231);
    ASSERT_TRUE(implied);
    EXPECT_EQ(implied->size(), b.implied.at(id).size());
}

}  // namespace
}  // namespace tools_test
