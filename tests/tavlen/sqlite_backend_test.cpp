#include "tavlen/sqlite_backend.hpp"

#include <gtest/gtest.h>

#include "korvex_test_support.hpp"

#include <cmath>
#include <fstream>

#include "sample_data.hpp"

namespace tavlen_test {
namespace {

using tavlen::DataError;
using tavlen::PermissionDenied;
using tavlen::SqliteBackend;

class SqliteBackendTest : public testing::Test {
protected:
    fs::path path() const { return dir_.path() / "tavlen.sqlite"; }
    TempDir dir_;
};

TEST_F(SqliteBackendTest, SchemaTextIsTheSqlFile) {
    std::ifstream in(fs::path(KORVEX_SOURCE_DIR) / "host/tavlen/schema.sql");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(tavlen::schema_sql(), text);
}

TEST_F(SqliteBackendTest, MissingFileIsADataErrorOnFirstUseAndOpensOnceItExists) {
    SqliteBackend backend(path());  // nothing is opened yet
    EXPECT_EQ(
        korvex::testing::error_of<DataError>([&] { backend.get_bond_list({.type = "bond"}); }),
        "tavlen database '" + path().string() + "' not found");
    {
        Db db(path());
        write_sample(db);
    }
    EXPECT_EQ(backend.get_bond_list({.type = "repo"}),
              (std::vector<std::string>{"R007.IB", "Z.IB"}));
}

TEST_F(SqliteBackendTest, ADirectoryIsRefusedAsPermissionDenied) {
    SqliteBackend backend(dir_.path());
    EXPECT_EQ(korvex::testing::error_of<PermissionDenied>([&] { backend.instruments({"A.IB"}); }),
              "permission denied: cannot read tavlen database '" + dir_.path().string() +
                  "': Is a directory");
}

TEST_F(SqliteBackendTest, AnUnreadableFileIsRefusedAsPermissionDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files regardless of their mode";
    { Db db(path()); }
    fs::permissions(path(), fs::perms::none);
    SqliteBackend backend(path());
    EXPECT_EQ(korvex::testing::error_of<PermissionDenied>(
                  [&] { backend.get_trading_dates(20050104, 29991231); }),
              "permission denied: cannot read tavlen database '" + path().string() +
                  "': Permission denied");
}

TEST_F(SqliteBackendTest, AFileThatIsNotADatabaseIsADataError) {
    std::ofstream(path()) << "order_book_id,date\n";
    SqliteBackend backend(path());
    EXPECT_EQ(korvex::testing::error_of<DataError>([&] { backend.realized_cash_flow("A.IB"); }),
              "tavlen database '" + path().string() + "' is not a SQLite database");
}

TEST_F(SqliteBackendTest, MissingTableIsADataErrorNamingItWhileOtherTablesStillAnswer) {
    {
        Db db(path(), false);
        db.exec(
            "CREATE TABLE instrument (order_book_id TEXT PRIMARY KEY, type TEXT, seq INT);"
            "INSERT INTO instrument VALUES ('A.IB', 'bond', 0);");
    }
    SqliteBackend backend(path());
    EXPECT_EQ(korvex::testing::error_of<DataError>([&] {
                  backend.get_valuation("A.IB", {.start_date = "20050104",
                                                 .end_date = "29991231",
                                                 .source = "chinabond",
                                                 .valuation_type = "recommended"});
              }),
              "tavlen database '" + path().string() + "' has no table 'valuation'");
    EXPECT_EQ(backend.get_bond_list({.type = "bond"}), std::vector<std::string>{"A.IB"});
}

TEST_F(SqliteBackendTest, MalformedCellsAreDataErrorsNamingWhere) {
    {
        Db db(path());
        db.exec(
            "INSERT INTO instrument VALUES ('A.IB', 'bond', 0);"
            "INSERT INTO instrument_field VALUES ('A.IB', 'round_lot', 0, 'int', 'ten');"
            "INSERT INTO instrument VALUES ('B.IB', 'bond', 1);"
            "INSERT INTO instrument_field VALUES ('B.IB', 'listed_date', 0, 'datetime', "
            "'2020-02-30 00:00:00');"
            "INSERT INTO realized_cash_flow VALUES ('A.IB', 0, 20201340, 3.0, 0.0);"
            "INSERT INTO repo_quotation (order_book_id, date, open) VALUES "
            "('R007.IB', 20200102, 'n/a');");
    }
    SqliteBackend backend(path());
    const std::string where = "tavlen database '" + path().string() + "': ";
    EXPECT_EQ(korvex::testing::error_of<DataError>([&] { backend.instruments({"A.IB"}); }),
              where + "instrument_field 'round_lot' of 'A.IB' has kind 'int' and value 'ten'");
    EXPECT_EQ(korvex::testing::error_of<DataError>([&] { backend.instruments({"B.IB"}); }),
              where +
                  "instrument_field 'listed_date' of 'B.IB' has kind 'datetime' and value "
                  "'2020-02-30 00:00:00'");
    EXPECT_EQ(korvex::testing::error_of<DataError>([&] { backend.realized_cash_flow("A.IB"); }),
              where +
                  "table 'realized_cash_flow' holds the date 20201340 for 'A.IB' (expected "
                  "an integer YYYYMMDD)");
    EXPECT_EQ(korvex::testing::error_of<DataError>([&] {
                  backend.currency_market_quotation("R007.IB", {"20050104", "29991231"});
              }),
              where +
                  "table 'repo_quotation' column 'open' holds 'n/a' for 'R007.IB' (expected "
                  "a number)");
}

TEST_F(SqliteBackendTest, SelectsBySourceAndTypeAndReadsNullAsNaN) {
    {
        Db db(path());
        write_sample(db);
        db.exec(
            "INSERT INTO valuation (order_book_id, source, valuation_type, date, ytm) "
            "VALUES ('A.IB', 'other', 'recommended', 20200103, 0.05);"
            "INSERT INTO price (order_book_id, source, date, volume) VALUES "
            "('A.IB', 'cfets', 20200106, 7.0);");
    }
    SqliteBackend backend(path());
    auto v = backend.get_valuation("A.IB", {.start_date = "20050104",
                                            .end_date = "29991231",
                                            .source = "other",
                                            .valuation_type = "recommended"});
    ASSERT_TRUE(v);
    EXPECT_EQ(v->dates(), std::vector<korvex::Date>{korvex::make_date(2020, 1, 3)});
    EXPECT_EQ(v->column("ytm"), std::vector<double>{0.05});
    EXPECT_TRUE(std::isnan(v->column("dv01")[0]));
    EXPECT_EQ(backend.get_valuation("A.IB", {.start_date = "20050104",
                                             .end_date = "29991231",
                                             .source = "chinabond",
                                             .valuation_type = "latest"}),
              nullptr);

    // details = false: the end-of-day columns only.
    auto p = backend.get_price(
        "A.IB",
        {.start_date = "20050104", .end_date = "29991231", .source = "cfets", .details = false});
    ASSERT_TRUE(p);
    EXPECT_EQ(p->column_names(), (std::vector<std::string>{"dirty_price_eod", "clean_price_eod",
                                                           "ytm_close", "volume"}));
    EXPECT_EQ(p->column("volume"), (std::vector<double>{5e7, 7.0}));
    EXPECT_TRUE(std::isnan(p->column("dirty_price_eod")[1]));
}

TEST_F(SqliteBackendTest, RepeatedCallsReuseTheConnection) {
    {
        Db db(path());
        write_sample(db);
    }
    SqliteBackend backend(path());
    for (int i = 0; i < 3; ++i) {
        auto r = backend.realized_cash_flow("A.IB");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->size(), 2u);
    }
    // The open connection keeps answering after the file is gone.
    fs::remove(path());
    EXPECT_EQ(backend.realized_cash_flow("A.IB")->size(), 2u);
}

}  // namespace
}  // namespace tavlen_test
