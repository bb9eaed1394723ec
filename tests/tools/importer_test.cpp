// The CSV importer: what it stores, that it is idempotent, and that a bad file changes nothing.
#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "importer.hpp"
#include "sample_bundle.hpp"
#include "sqlite_db.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace tools_test {
namespace {

namespace fs = std::filesystem;
using korvex_import::import_csv_files;
using korvex_import::ImportError;

const char* INSTRUMENTS =
    "order_book_id,type\n"
    "019547.SH,bond\n"
    "R007.IB,repo\n";
const char* FIELDS =
    "order_book_id,name,kind,value\n"
    "019547.SH,symbol,text,\"16国债19, \"\"A\"\"\"\n"
    "019547.SH,listed_date,datetime,2016-09-01\n"
    "019547.SH,de_listed_date,none,\n"
    "019547.SH,initial_issue_size,float,3e10\n"
    "019547.SH,round_lot,int,10\n"
    "019547.SH,exchange,text,XSHG\n"
    "R007.IB,repo_period,int,7\n";
const char* VALUATION_HEADER =
    "order_book_id,source,valuation_type,date,dirty_price_eod,clean_price,ytm,"
    "modified_duration,convexity,dv01,time_to_maturity,residual_principal\n";
const char* VALUATIONS =
    "019547.SH,chinabond,recommended,2020-01-02,101.5,100.2,2.85,4.1,20.3,0.0416,4.5,100\r\n"
    "019547.SH,chinabond,recommended,20200103,101.6,100.3,2.84,4.1,20.3,,4.5,100\r\n";
const char* CASH_FLOWS =
    "order_book_id,payment_date,cash_flow,principal_payment\n"
    "019547.SH,2017-09-01,2.5,0\n"
    "019547.SH,2018-09-03,2.5,0\n"
    "019547.SH,2019-09-02,102.5,100\n";

class Importer : public testing::Test {
protected:
    TempDir dir_{"import"};
    fs::path bundle() const { return dir_.path(); }
    fs::path db() const { return dir_.path() / "tavlen.sqlite"; }

    fs::path write(const std::string& name, const std::string& text) const {
        const fs::path p = dir_.path() / "in" / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }

    void import_base() const {
        import_csv_files(bundle(),
                         {write("valuation.csv", std::string(VALUATION_HEADER) + VALUATIONS),
                          write("instrument_field.csv", FIELDS),
                          write("instrument.csv", std::string("\xEF\xBB\xBF") + INSTRUMENTS)});
    }

    // Every row of every table, as text.
    std::string dump() const {
        korvex_tools::Database d(db(), korvex_tools::Database::Mode::ReadWrite);
        std::ostringstream out;
        for (const char* table :
             {"instrument", "instrument_field", "trading_date", "valuation", "price",
              "repo_quotation", "realized_cash_flow", "implied_cash_flow", "yield_curve", "meta"}) {
            auto q = d.prepare(std::string("SELECT * FROM ") + table);
            while (q.step()) {
                out << table;
                for (int c = 0; c < q.column_count(); ++c) {
                    out << '|' << (q.column_is_null(c) ? "NULL" : q.column_text(c));
                }
                out << '\n';
            }
        }
        return out.str();
    }
};

TEST_F(Importer, StoresRecordsAndDayRowsAsTheClientReadsThem) {
    import_base();
    tavlen::SqliteBackend client(db());
    EXPECT_EQ(client.get_bond_list({.type = "bond"}), std::vector<std::string>{"019547.SH"});
    EXPECT_EQ(client.get_bond_list({.type = "repo"}), std::vector<std::string>{"R007.IB"});
    const auto record = std::get<korvex::Record>(client.instruments({"019547.SH"}));
    EXPECT_EQ(record.get("symbol").as_string(), "16国债19, \"A\"");
    EXPECT_EQ(record.get("listed_date").as_datetime(), korvex::make_datetime(2016, 9, 1));
    EXPECT_TRUE(record.get("de_listed_date").is_none());
    EXPECT_EQ(record.get("initial_issue_size").as_double(), 3e10);
    EXPECT_EQ(record.get("round_lot").as_int(), 10);
    EXPECT_FALSE(record.contains("issue_price"));
    const auto v = client.get_valuation("019547.SH", {.start_date = "20050104",
                                                      .end_date = "29991231",
                                                      .source = "chinabond",
                                                      .valuation_type = "recommended"});
    ASSERT_TRUE(v);
    EXPECT_EQ(v->dates(), (std::vector<korvex::Date>{korvex::make_date(2020, 1, 2),
                                                     korvex::make_date(2020, 1, 3)}));
    EXPECT_EQ(v->column("dv01")[0], 0.0416);
    EXPECT_TRUE(std::isnan(v->column("dv01")[1])) << "an empty number is no value";
}

// Curves are read back by day and tenor whatever order the file gives; a database written
// before curves existed has none.
TEST_F(Importer, YieldCurvesReadBackByDayAndTenor) {
    import_base();
    import_csv_files(bundle(), {write("yield_curve.csv",
                                      "curve,date,tenor,yield\n"
                                      "treasury,2020-01-03,10,3.1\n"
                                      "treasury,2020-01-02,10,3.0\n"
                                      "treasury,2020-01-02,0.25,2.2\n"
                                      "cdb,2020-01-02,1,2.9\n")});
    tavlen::SqliteBackend client(db());
    EXPECT_EQ(client.get_yield_curve_list(), (std::vector<std::string>{"cdb", "treasury"}));
    const auto curve =
        client.get_yield_curve("treasury", {.start_date = "20200101", .end_date = "20200102"});
    ASSERT_TRUE(curve);
    EXPECT_EQ(curve->dates, std::vector<korvex::Date>(2, korvex::make_date(2020, 1, 2)));
    EXPECT_EQ(curve->tenors, (std::vector<double>{0.25, 10.0}));
    EXPECT_EQ(curve->yields, (std::vector<double>{2.2, 3.0}));
    const auto later =
        client.get_yield_curve("treasury", {.start_date = "20210101", .end_date = "20211231"});
    ASSERT_TRUE(later);
    EXPECT_EQ(later->size(), 0u) << "points outside the range: an empty curve, not none";
    EXPECT_FALSE(client.get_yield_curve("aaa", {.start_date = "20200101", .end_date = "20211231"}));

    {
        korvex_tools::Database d(db(), korvex_tools::Database::Mode::ReadWrite);
        d.exec("DROP TABLE yield_curve");
    }
    tavlen::SqliteBackend old(db());
    EXPECT_TRUE(old.get_yield_curve_list().empty());
    EXPECT_FALSE(
        old.get_yield_curve("treasury", {.start_date = "20200101", .end_date = "20211231"}));
}

TEST_F(Importer, ImportingTheSameFilesAgainChangesNothing) {
    import_base();
    const fs::path flows = write("realized_cash_flow.csv", CASH_FLOWS);
    import_csv_files(bundle(), {flows});
    const std::string before = dump();
    import_base();
    import_csv_files(bundle(), {flows});
    EXPECT_EQ(dump(), before);
    EXPECT_NE(before.find("realized_cash_flow|019547.SH|3|20190902|102.5|100.0"), std::string::npos)
        << before;
}

TEST_F(Importer, ACashFlowFileReplacesTheBondsWholeTable) {
    import_base();
    import_csv_files(bundle(), {write("realized_cash_flow.csv", CASH_FLOWS)});
    import_csv_files(bundle(), {write("realized_cash_flow.csv",
                                      "order_book_id,payment_date,cash_flow,principal_payment\n"
                                      "019547.SH,2019-09-02,102.5,100\n")});
    tavlen::SqliteBackend client(db());
    const auto flows = client.realized_cash_flow("019547.SH");
    ASSERT_TRUE(flows);
    EXPECT_EQ(flows->size(), 1u);
    EXPECT_EQ(flows->column("cash_flow")[0], 102.5);
}

TEST_F(Importer, AKnownInstrumentKeepsItsPlaceAndANewOneComesLast) {
    import_base();
    import_csv_files(bundle(), {write("instrument.csv",
                                      "order_book_id,type\n180205.IB,bond\n019547.SH,bond\n")});
    tavlen::SqliteBackend client(db());
    EXPECT_EQ(client.get_bond_list({.type = "bond"}),
              (std::vector<std::string>{"019547.SH", "180205.IB"}));
}

struct BadFile {
    std::string name;
    std::string text;
    std::size_t line;
    std::string column;
    std::string problem;
};

TEST_F(Importer, ABacktestReadsOnWhileAnImportCommits) {
    import_base();
    // A writer in the middle of its commit holds the database exclusively.
    korvex_tools::Database writer(db(), korvex_tools::Database::Mode::ReadWrite);
    writer.exec("BEGIN EXCLUSIVE; DELETE FROM instrument WHERE order_book_id = 'R007.IB'");
    tavlen::SqliteBackend client(db());
    EXPECT_EQ(client.get_bond_list({.type = "repo"}), std::vector<std::string>{"R007.IB"});
    writer.exec("ROLLBACK");
}

TEST_F(Importer, RefusesDayRowsOnDaysTheirMarketDoesNotTrade) {
    import_base();
    const std::string prices =
        "order_book_id,source,date,dirty_price_open,dirty_price_high,dirty_price_low,"
        "dirty_price_eod,ytm_close,clean_price_eod,volume\n";
    // The calendars are read first even when named last, so the same import's rows obey them.
    import_csv_files(
        bundle(), {write("repo_quotation.csv",
                         "order_book_id,date,open,close,high,low,volume,total_turnover,weighted\n"
                         "R007.IB,2020-01-03,0.02,0.021,0.022,0.019,1,100,0.02\n"),
                   write("trading_date.csv", "date\n2020-01-02\n2020-01-03\n2020-01-06\n"),
                   write("exchange_trading_date.csv", "date\n2020-01-02\n2020-01-06\n")});
    const std::string before = dump();
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {write("valuation.csv",
               std::string(VALUATION_HEADER) +
                   "019547.SH,chinabond,recommended,2020-01-04,101,100,2,4,20,0.04,4,100\n"),
         ":2: column 'date': 2020-01-04 is not a trading day of the inter-bank calendar "
         "(trading_date)"},
        {write("price.csv", prices + "019547.SH,cfets,2020-01-03,101,102,100,101.5,2.8,100.2,1\n"),
         ":2: column 'date': 2020-01-03 is not a trading day of the exchange calendar "
         "(trading_dates.txt)"},
    };
    for (const auto& [file, problem] : cases) {
        try {
            import_csv_files(bundle(), {file});
            ADD_FAILURE() << "accepted " << file;
        } catch (const ImportError& e) {
            EXPECT_EQ(std::string(e.what()), file.string() + problem);
        }
        EXPECT_EQ(dump(), before);
    }
}

TEST_F(Importer, RefusesAMalformedFileNamingFileLineAndColumnAndKeepsNothing) {
    const std::string header = VALUATION_HEADER;
    const std::string good =
        "019547.SH,chinabond,recommended,2020-01-06,101.5,100.2,2.85,4.1,20.3,0.04,4.5,100\n";
    const std::vector<BadFile> cases = {
        {"valuation.csv",
         header + good + "019547.SH,chinabond,recommended,2020-01-07,101,100,abc,4,20,0.04,4,100\n",
         3, "ytm", "'abc' is not a number"},
        {"valuation.csv",
         header + "019547.SH,chinabond,recommended,2020-02-30,101,100,2,4,20,0.04,4,100\n", 2,
         "date", "'2020-02-30' is not a date (YYYY-MM-DD or YYYYMMDD)"},
        {"valuation.csv",
         header + "019547SH,chinabond,recommended,2020-01-07,101,100,2,4,20,0.04,4,100\n", 2,
         "order_book_id",
         "'019547SH' is not an order book id (code, point, market suffix, e.g. 019547.SH)"},
        {"valuation.csv",
         header + "999999.SH,chinabond,recommended,2020-01-07,101,100,2,4,20,0.04,4,100\n", 2,
         "order_book_id", "unknown instrument '999999.SH': import it in instrument.csv first"},
        {"valuation.csv", header + "019547.SH,,recommended,2020-01-07,101,100,2,4,20,0.04,4,100\n",
         2, "source", "a value is required"},
        {"valuation.csv",
         header + good + "019547.SH,chinabond,recommended,2020-01-07,101,100,2,4,20,0.04,4\n", 3,
         "", "11 cells where the header has 12"},
        {"valuation.csv", header + good + good, 3, "",
         "duplicate row: the same (order_book_id, source, valuation_type, date) as "
         "{dir}/valuation.csv:2"},
        {"valuation.csv",
         "order_book_id,source,valuation_type,date,dirty_price_eod,clean_price,ytm,modified_"
         "duration,"
         "convexity,time_to_maturity,residual_principal\n" +
             good,
         1, "dv01", "required column is missing from the header"},
        {"valuation.csv", "order_book_id,source,foo\n", 1, "foo",
         "not a column of valuation (expected order_book_id, source, valuation_type, date, "
         "dirty_price_eod, clean_price, ytm, modified_duration, convexity, dv01, time_to_maturity, "
         "residual_principal)"},
        {"price.csv", "order_book_id,source,date,date\n", 1, "date", "the column appears twice"},
        {"instrument.csv", "order_book_id,type\n204001.SH,stock\n", 2, "type",
         "'stock' is not an instrument type (bond or repo)"},
        {"instrument_field.csv", "order_book_id,name,kind,value\n019547.SH,round_lot,int,1.5\n", 2,
         "value", "'1.5' is not an integer"},
        {"instrument_field.csv", "order_book_id,name,kind,value\n019547.SH,listed_date,none,x\n", 2,
         "value", "a field of kind none takes no value, got 'x'"},
        {"instrument_field.csv",
         "order_book_id,name,kind,value\n019547.SH,listed_date,datetime,2020-13-01\n", 2, "value",
         "'2020-13-01' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYY-MM-DD)"},
        {"instrument_field.csv", "order_book_id,name,kind,value\n019547.SH,Symbol,text,x\n", 2,
         "name", "'Symbol' is not a field name (lower-case letters, digits, _)"},
        {"instrument_field.csv", "order_book_id,name,kind,value\n019547.SH,symbol,string,x\n", 2,
         "kind", "'string' is not a field kind (none, bool, int, float, text or datetime)"},
        {"instrument_field.csv", "order_book_id,name,kind,value\n\n019547.SH,symbol,text,\"open\n",
         3, "", "a quoted cell is not closed"},
        {"repo_quotation.csv",
         "order_book_id,date,open,close,high,low,volume,total_turnover,weighted\n"
         "R007.IB,2020-01-02,0.02,0.021,0.022,inf,1,100,0.02\n",
         2, "low", "'inf' is not a number"},
        {"implied_cash_flow.csv",
         "order_book_id,date,total_payment,payment_receivable,principal_payment\n"
         "019547.SH,2019-09-02,\"102.5\"x,0,100\n",
         2, "", "text after the closing quote of a cell"},
        {"realized_cash_flow.csv", "", 0, "", "the file is empty: a header is required"},
        // Prices that cannot be.
        {"valuation.csv",
         header + "019547.SH,chinabond,recommended,2020-01-07,101,0,2,4,20,0.04,4,100\n", 2,
         "clean_price", "a price must be above 0, got 0"},
        {"price.csv",
         "order_book_id,source,date,dirty_price_open,dirty_price_high,dirty_price_low,"
         "dirty_price_eod,ytm_close,clean_price_eod,volume\n"
         "019547.SH,cfets,2020-01-03,101,100,102,101.5,2.8,100.2,1000\n",
         2, "dirty_price_high", "dirty_price_high 100 is below dirty_price_low 102"},
        // Curve points: both numbers, a tenor of 0 or more, one point per (curve, date, tenor).
        {"yield_curve.csv", "curve,date,tenor,yield\ntreasury,2020-01-02,-1,2.5\n", 2, "tenor",
         "a tenor must not be negative, got -1"},
        {"yield_curve.csv", "curve,date,tenor,yield\ntreasury,2020-01-02,1,\n", 2, "yield",
         "a curve point needs a value here"},
        {"yield_curve.csv",
         "curve,date,tenor,yield\ntreasury,2020-01-02,1,2.5\ntreasury,20200102,1.0,2.6\n", 3, "",
         "duplicate row: the same (curve, date, tenor) as {dir}/yield_curve.csv:2"},
    };
    import_base();
    const std::string before = dump();
    const fs::path also =
        write("price.csv",
              "order_book_id,source,date,dirty_price_open,dirty_price_high,dirty_price_low,"
              "dirty_price_eod,ytm_close,clean_price_eod,volume\n"
              "019547.SH,cfets,2020-01-02,101,102,100,101.5,2.8,100.2,1000\n");
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const BadFile& c = cases[k];
        const fs::path bad = write("case" + std::to_string(k) + "/" + c.name, c.text);
        std::string problem = c.problem;
        if (auto at = problem.find("{dir}"); at != std::string::npos) {
            problem.replace(at, 5, bad.parent_path().string());
        }
        std::string where = bad.string();
        if (c.line > 0) where += ":" + std::to_string(c.line);
        if (!c.column.empty()) where += ": column '" + c.column + "'";
        try {
            import_csv_files(bundle(), {also, bad});
            ADD_FAILURE() << "accepted " << c.name << ": " << c.problem;
        } catch (const ImportError& e) {
            EXPECT_EQ(std::string(e.what()), where + ": " + problem);
            EXPECT_EQ(e.file(), bad.string());
            EXPECT_EQ(e.line(), c.line);
            EXPECT_EQ(e.column(), c.column);
        }
        EXPECT_EQ(dump(), before) << "after " << c.problem;
    }
}

TEST_F(Importer, AFailedFirstImportLeavesNoDatabase) {
    const fs::path bad = write("instrument.csv", "order_book_id,type\n019547.SH,bnd\n");
    EXPECT_THROW(import_csv_files(bundle(), {bad}), ImportError);
    EXPECT_FALSE(fs::exists(db()));
}

TEST_F(Importer, TellsWhichTableAFileFillsByItsNameOrByTheOption) {
    const fs::path odd = write("my_bonds.csv", INSTRUMENTS);
    try {
        import_csv_files(bundle(), {odd});
        ADD_FAILURE() << "guessed a table";
    } catch (const ImportError& e) {
        EXPECT_EQ(
            std::string(e.what()),
            odd.string() +
                ": the file name does not name a table; name it <table>.csv or give "
                "the table (instrument, instrument_field, trading_date, exchange_trading_date, "
                "valuation, price, repo_quotation, realized_cash_flow, implied_cash_flow, "
                "yield_curve, minute_bar, tick)");
    }
    const auto done = import_csv_files(bundle(), {odd}, "instrument");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].rows, 2u);
    EXPECT_EQ(done[0].table, "instrument");
}

TEST_F(Importer, MergesExchangeTradingDaysIntoTheCalendarFileOnlyWhenAllIsWell) {
    std::ofstream(bundle() / "trading_dates.txt") << "20200102\n20200106\n";
    import_csv_files(bundle(),
                     {write("exchange_trading_date.csv", "date\n2020-01-03\n20200102\n")});
    auto read = [&] {
        std::ifstream in(bundle() / "trading_dates.txt");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    };
    EXPECT_EQ(read(), "20200102\n20200103\n20200106\n");
    EXPECT_THROW(
        import_csv_files(bundle(), {write("exchange_trading_date.csv", "date\n2020-01-07\n"),
                                    write("instrument.csv", "order_book_id,type\nX,bond\n")}),
        ImportError);
    EXPECT_EQ(read(), "20200102\n20200103\n20200106\n");
    EXPECT_FALSE(fs::exists(bundle() / "trading_dates.txt.partial"));
}

}  // namespace
}  // namespace tools_test
