#include "tavlen/table.hpp"

#include <gtest/gtest.h>

#include "korvex_test_support.hpp"

#include "korvex/errors.hpp"

namespace {

TEST(Table, RowsLandInContiguousColumnsInColumnOrder) {
    tavlen::Table t({"cash_flow", "principal_payment"}, "payment_date");
    t.reserve(2);
    t.append("A.IB", korvex::make_date(2021, 1, 2), {3.0, 0.0});
    t.append("A.IB", korvex::make_date(2022, 1, 2), {103.0, 100.0});
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.index_names(), (std::vector<std::string>{"order_book_id", "payment_date"}));
    EXPECT_EQ(t.column("principal_payment"), (std::vector<double>{0.0, 100.0}));
    EXPECT_EQ(&t.index_level("payment_date"), &t.dates());
    t.mutable_column("cash_flow")[0] = 4.0;
    EXPECT_EQ(t.column("cash_flow"), (std::vector<double>{4.0, 103.0}));
    EXPECT_TRUE(t.has_column("cash_flow"));
    EXPECT_FALSE(t.has_column("date"));
}

TEST(Table, ErrorsNameTheMissingOrMalformedPart) {
    tavlen::Table t({"open", "close"});
    EXPECT_EQ(korvex::testing::error_of<korvex::KeyError>([&] { t.column("high"); }),
              "column 'high' not in table");
    EXPECT_EQ(korvex::testing::error_of<korvex::KeyError>([&] { t.index_level("payment_date"); }),
              "index level 'payment_date' not in table (levels: order_book_id, date)");
    EXPECT_EQ(korvex::testing::error_of<korvex::ValueError>(
                  [&] { t.append("X", korvex::make_date(2020, 1, 2), {1.0}); }),
              "row of 1 values for a table of 2 columns (open, close)");
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(korvex::testing::error_of<korvex::ValueError>([] {
                  tavlen::Table({"open", "open"});
              }),
              "duplicate column 'open'");
}

}  // namespace
