// The CSV importer's minute bars and quote snapshots: the HDF5 files it writes read back through
// the host's readers, a re-import replaces only the instruments it names, and a bad row leaves
// every file as it was.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "importer.hpp"
#include "korvex/model/instrument.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "korvex_mod_lumeq_data/tick_store.hpp"
#include "minute_bar.hpp"
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
    "019548.SH,bond\n";
const char* BAR_HEADER = "order_book_id,datetime,open,high,low,close,volume,total_turnover\n";
// Level by level, unlike the file's member order.
const char* TICK_HEADER =
    "order_book_id,datetime,last,volume,total_turnover,a1,a1_v,b1,b1_v,a2,a2_v,b2,b2_v,a3,a3_v,"
    "b3,b3_v,a4,a4_v,b4,b4_v,a5,a5_v,b5,b5_v\n";

std::string text_of(const korvex_tools::MinuteBar& b) {
    return fmt::format("{} {} {} {} {} {} {}", b.datetime, b.open, b.high, b.low, b.close, b.volume,
                       b.total_turnover);
}

std::string text_of(const korvex::TickRecord& t) {
    return fmt::format("{} {} {} {} | {} | {} | {} | {}", t.datetime, t.last, t.volume,
                       t.total_turnover, fmt::join(t.asks, " "), fmt::join(t.ask_vols, " "),
                       fmt::join(t.bids, " "), fmt::join(t.bid_vols, " "));
}

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

testing::AssertionResult same(const std::map<std::string, std::string>& actual,
                              const std::map<std::string, std::string>& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    auto names = [](const auto& files) {
        std::vector<std::string> out;
        for (const auto& [name, bytes] : files)
            out.push_back(fmt::format("{} ({} bytes)", name, bytes.size()));
        return fmt::format("{}", fmt::join(out, ", "));
    };
    return testing::AssertionFailure()
           << "files differ: now " << names(actual) << "; before " << names(expected);
}

class RecordImport : public testing::Test {
protected:
    TempDir dir_{"import_h5"};
    fs::path bundle() const { return dir_.path() / "bundle"; }
    fs::path bars_file(const std::string& id) const { return bundle() / "h5" / (id + ".h5"); }
    fs::path ticks_file(const std::string& id) const {
        return bundle() / "h5" / "ticks" / (id + ".h5");
    }

    void SetUp() override { fs::create_directories(bundle()); }

    fs::path write(const std::string& name, const std::string& text) const {
        const fs::path p = dir_.path() / "in" / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }

    std::vector<std::string> bars(const std::string& id) const {
        const korvex::Bars bars = korvex_mod_lumeq_data::read_h5_minute_bars(
            bars_file(id), korvex_tools::minute_bar_layout());
        std::vector<std::string> out;
        for (const auto& b : bars.as<korvex_tools::MinuteBar>()) out.push_back(text_of(b));
        return out;
    }

    std::vector<std::string> ticks(const std::string& id, korvex::Date day) const {
        korvex_mod_lumeq_data::H5TickStore store(bundle() / "h5" / "ticks");
        const korvex::Instrument bond(korvex::Record{{"order_book_id", id}, {"type", "BOND"}});
        std::vector<std::string> out;
        for (const auto& t : store.get_ticks(bond, day).as<korvex::TickRecord>())
            out.push_back(text_of(t));
        return out;
    }

    // Every file under h5/ with its bytes; compared with `same`, which names the files only.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(bundle() / "h5")) {
            if (e.is_regular_file())
                out[fs::relative(e.path(), bundle()).string()] = bytes_of(e.path());
        }
        return out;
    }

    std::vector<std::string> instruments() const {
        korvex_tools::Database db(bundle() / "tavlen.sqlite",
                                  korvex_tools::Database::Mode::ReadWrite);
        auto q = db.prepare("SELECT order_book_id FROM instrument ORDER BY seq");
        std::vector<std::string> ids;
        while (q.step()) ids.push_back(q.column_text(0));
        return ids;
    }

    // Bars of both bonds, snapshots of the first.
    void import_base() const {
        import_csv_files(
            bundle(),
            {write("instrument.csv", INSTRUMENTS),
             write("minute_bar.csv", std::string(BAR_HEADER) +
                                         "019547.SH,2020-01-02 09:31:00,101,101.2,100.9,101.1,10,"
                                         "1010\n"
                                         "019548.SH,2020-01-02 09:31:00,99,99,99,99,20,1980\n"),
             write("tick.csv", std::string(TICK_HEADER) +
                                   "019547.SH,2020-01-02 09:30:30,101,10,1010,101.01,10,100.99,"
                                   "10,101.02,20,100.98,20,101.03,30,100.97,30,101.04,40,100.96,"
                                   "40,101.05,50,100.95,50\n")});
    }
};

TEST_F(RecordImport, WritesEachInstrumentsRowsSortedAsTheStoresReadThem) {
    const auto done = import_csv_files(
        bundle(),
        {write("minute_bar.csv",
               std::string(BAR_HEADER) +
                   "019547.SH,2020-01-03 09:31:00,101.5,101.6,101.4,101.55,20,2031\n"
                   "019548.SH,20200102093100,99.1,99.2,99,99.15,30,2974.5\n"
                   "019547.SH,2020-01-02 09:32:00,101.1,101.3,101,101.2,10,\n"),
         write("tick.csv",
               std::string(TICK_HEADER) +
                   "019547.SH,2020-01-02 09:30:30,101.05,20,2021,101.06,30,101.04,40,101.07,50,"
                   "101.03,60,101.08,70,101.02,80,,,101.01,90,,,,\n"
                   "019547.SH,20200102093000,101,0,0,101.01,10,100.99,10,101.02,20,100.98,20,"
                   "101.03,30,100.97,30,101.04,40,100.96,40,101.05,50,100.95,50\n"
                   "019547.SH,2020-01-03 09:30:00,101.5,0,0,101.51,10,101.49,10,101.52,10,"
                   "101.48,10,101.53,10,101.47,10,101.54,10,101.46,10,101.55,10,101.45,10\n"),
         write("more/minute_bar.csv",
               "total_turnover,order_book_id,datetime,open,high,low,close,volume\n"
               "1010,019547.SH,20200102093100,101,101.2,100.9,101.1,10\n"),
         // Instruments go first, wherever they are given.
         write("instrument.csv", INSTRUMENTS)});

    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done[0].table, "instrument");
    EXPECT_EQ(done[1].table, "minute_bar");
    EXPECT_EQ(done[1].rows, 3u);
    EXPECT_EQ(done[2].table, "tick");
    EXPECT_EQ(done[2].rows, 3u);
    EXPECT_EQ(done[3].rows, 1u);
    EXPECT_EQ(bars("019547.SH"), (std::vector<std::string>{
                                     "20200102093100 101 101.2 100.9 101.1 10 1010",
                                     "20200102093200 101.1 101.3 101 101.2 10 nan",
                                     "20200103093100 101.5 101.6 101.4 101.55 20 2031",
                                 }));
    EXPECT_EQ(bars("019548.SH"),
              std::vector<std::string>{"20200102093100 99.1 99.2 99 99.15 30 2974.5"});
    EXPECT_EQ(ticks("019547.SH", korvex::make_date(2020, 1, 2)),
              (std::vector<std::string>{
                  "20200102093000 101 0 0 | 101.01 101.02 101.03 101.04 101.05 | 10 20 30 40 50 "
                  "| 100.99 100.98 100.97 100.96 100.95 | 10 20 30 40 50",
                  "20200102093030 101.05 20 2021 | 101.06 101.07 101.08 nan nan | 30 50 70 0 0 "
                  "| 101.04 101.03 101.02 101.01 nan | 40 60 80 90 0",
              }));
    EXPECT_EQ(ticks("019547.SH", korvex::make_date(2020, 1, 3)).size(), 1u);
    EXPECT_FALSE(fs::exists(ticks_file("019548.SH")));
}

TEST_F(RecordImport, AReimportReplacesTheFilesOfTheInstrumentsItNamesOnly) {
    import_base();
    auto before = files();
    ASSERT_EQ(before.size(), 3u);
    import_csv_files(
        bundle(),
        {write("bars.csv", std::string(BAR_HEADER) + "019547.SH,20200106093100,102,102,102,102,"
                                                     "10,1020\n")},
        "minute_bar");
    EXPECT_EQ(bars("019547.SH"),
              std::vector<std::string>{"20200106093100 102 102 102 102 10 1020"});
    auto after = files();
    EXPECT_TRUE(after["h5/019547.SH.h5"] != before["h5/019547.SH.h5"]);
    after.erase("h5/019547.SH.h5");
    before.erase("h5/019547.SH.h5");
    EXPECT_TRUE(same(after, before)) << "the other bond's bars and the snapshots stay";
}

struct BadFile {
    std::string name;
    std::string text;
    std::size_t line;
    std::string column;
    std::string problem;
};

TEST_F(RecordImport, RefusesABadRowNamingFileLineAndColumnAndKeepsEveryFile) {
    const std::string bar = "019547.SH,2020-01-07 09:31:00,101,101,101,101,10,1010\n";
    const std::string level = ",101,10,100.9,10";
    const std::string four_levels = level + level + level + level;
    const std::string levels = four_levels + level;
    const std::vector<BadFile> cases = {
        {"minute_bar.csv", BAR_HEADER + bar + "019547.SH,2020-01-07 9:32:00,101,101,101,101,,\n", 3,
         "datetime",
         "'2020-01-07 9:32:00' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS)"},
        {"minute_bar.csv", BAR_HEADER + std::string("019547.SH,2020-02-30 09:31:00,1,1,1,1,,\n"), 2,
         "datetime",
         "'2020-02-30 09:31:00' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS)"},
        {"minute_bar.csv", BAR_HEADER + std::string("019547.SH,2020-01-07,1,1,1,1,,\n"), 2,
         "datetime", "'2020-01-07' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS)"},
        {"tick.csv", TICK_HEADER + std::string("019547.SH,20200107246000,101,0,0") + levels + "\n",
         2, "datetime",
         "'20200107246000' is not a date-time (YYYY-MM-DD HH:MM:SS or YYYYMMDDHHMMSS)"},
        {"minute_bar.csv", BAR_HEADER + std::string("019547.SH,20200107093100,1,1,1,abc,,\n"), 2,
         "close", "'abc' is not a number"},
        {"tick.csv",
         TICK_HEADER + std::string("019547.SH,20200107093000,101,0,0,101,-10,100.9,10") +
             four_levels + "\n",
         2, "a1_v", "'-10' is not a size (a number, 0 or more)"},
        {"tick.csv",
         TICK_HEADER + std::string("019547.SH,20200107093000,101,0,0") + level + level +
             ",,10,100.9,10" + level + level + "\n",
         2, "a3", "a price is required where a3_v is above 0"},
        {"minute_bar.csv", BAR_HEADER + std::string("999999.SH,20200107093100,1,1,1,1,,\n"), 2,
         "order_book_id", "unknown instrument '999999.SH': import it in instrument.csv first"},
        // The same stamp as a row of the other file, written the other way.
        {"minute_bar.csv", BAR_HEADER + bar + "019548.SH,20200106093100,1,1,1,1,,\n", 3, "datetime",
         "duplicate row: the same (order_book_id, datetime) as {in}/also/minute_bar.csv:2"},
        // Two repeats: the one read first is named, whichever instrument it belongs to.
        {"minute_bar.csv",
         BAR_HEADER + std::string("019548.SH,20200107093100,1,1,1,1,,\n") + bar +
             "019548.SH,2020-01-07 09:31:00,1,1,1,1,,\n" + bar,
         4, "datetime",
         "duplicate row: the same (order_book_id, datetime) as {dir}/minute_bar.csv:2"},
    };
    import_base();
    const auto before = files();
    // Good files that would add a bar to the second bond and give it snapshots.
    const fs::path also_bars =
        write("also/minute_bar.csv",
              std::string(BAR_HEADER) + "019548.SH,2020-01-06 09:31:00,99,99,99,99,20,1980\n");
    const fs::path also_ticks =
        write("also/tick.csv",
              TICK_HEADER + std::string("019548.SH,20200106093000,99,0,0") + levels + "\n");
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const BadFile& c = cases[k];
        const fs::path bad = write("case" + std::to_string(k) + "/" + c.name, c.text);
        std::string problem = c.problem;
        if (auto at = problem.find("{dir}"); at != std::string::npos)
            problem.replace(at, 5, bad.parent_path().string());
        if (auto at = problem.find("{in}"); at != std::string::npos)
            problem.replace(at, 4, (dir_.path() / "in").string());
        const std::string where = fmt::format("{}:{}: column '{}'", bad.string(), c.line, c.column);
        try {
            import_csv_files(bundle(), {also_bars, also_ticks, bad});
            ADD_FAILURE() << "accepted " << c.problem;
        } catch (const ImportError& e) {
            EXPECT_EQ(std::string(e.what()), where + ": " + problem);
            EXPECT_EQ(e.file(), bad.string());
            EXPECT_EQ(e.line(), c.line);
            EXPECT_EQ(e.column(), c.column);
        }
        EXPECT_TRUE(same(files(), before)) << "after " << c.problem;
    }
    import_csv_files(bundle(), {also_bars, also_ticks});
    EXPECT_EQ(bars("019548.SH"), std::vector<std::string>{"20200106093100 99 99 99 99 20 1980"});
    EXPECT_TRUE(fs::exists(ticks_file("019548.SH")));
}

TEST_F(RecordImport, AFileThatCannotBeMovedInAfterTheDatabaseIsSavedIsNamedAndKept) {
    // A folder where the first bond's bars belong: its staged file cannot replace it, while the
    // database and the other bond's bars are saved.
    fs::create_directories(bars_file("019547.SH"));
    try {
        import_csv_files(bundle(),
                         {write("instrument.csv", INSTRUMENTS),
                          write("minute_bar.csv", std::string(BAR_HEADER) +
                                                      "019547.SH,20200102093100,1,1,1,1,,\n"
                                                      "019548.SH,20200102093100,2,2,2,2,,\n")});
        ADD_FAILURE() << "replaced a folder";
    } catch (const ImportError& e) {
        EXPECT_TRUE(e.saved());
        EXPECT_EQ(e.file(), bars_file("019547.SH").string());
        const fs::path staged = bundle() / "h5" / "019547.SH.h5.partial";
        EXPECT_NE(e.problem().find("the database and the other files were saved, but this file "
                                   "could not be replaced ("),
                  std::string::npos)
            << e.problem();
        EXPECT_NE(e.problem().find("its new content is in " + staged.string()), std::string::npos)
            << e.problem();
        EXPECT_TRUE(fs::is_regular_file(staged));
    }
    EXPECT_EQ(instruments(), (std::vector<std::string>{"019547.SH", "019548.SH"}));
    EXPECT_EQ(bars("019548.SH"), std::vector<std::string>{"20200102093100 2 2 2 2 nan nan"});

    // Until the file is in place a backtest refuses the bundle; an import of no files, once
    // the way is clear, finishes the move.
    tavlen::SqliteBackend early(bundle() / "tavlen.sqlite");
    try {
        early.get_bond_list({.type = "bond"});
        ADD_FAILURE() << "read a bundle whose import is unfinished";
    } catch (const tavlen::DataError& e) {
        EXPECT_EQ(std::string(e.what()),
                  fmt::format("the last import into '{}' stopped before its files were in place: "
                              "run korvex-import --bundle {} to finish it",
                              bundle().string(), bundle().string()));
    }
    fs::remove(bars_file("019547.SH"));
    import_csv_files(bundle(), {});
    EXPECT_EQ(bars("019547.SH"), std::vector<std::string>{"20200102093100 1 1 1 1 nan nan"});
    EXPECT_FALSE(fs::exists(bundle() / "h5" / "019547.SH.h5.partial"));
    tavlen::SqliteBackend late(bundle() / "tavlen.sqlite");
    EXPECT_EQ(late.get_bond_list({.type = "bond"}).size(), 2u);
}

TEST_F(RecordImport, AFileThatCannotBeWrittenLeavesTheOldFilesAndTheDatabase) {
    import_csv_files(bundle(),
                     {write("instrument.csv", INSTRUMENTS),
                      write("minute_bar.csv",
                            std::string(BAR_HEADER) + "019547.SH,20200102093100,1,1,1,1,,\n")});
    // A plain file where the snapshots' folder belongs: the bars are staged first, then the
    // snapshots fail.
    std::ofstream(bundle() / "h5" / "ticks") << "in the way";
    const auto before = files();
    try {
        import_csv_files(
            bundle(),
            {write("more/instrument.csv", "order_book_id,type\n019549.SH,bond\n"),
             write("more/minute_bar.csv",
                   std::string(BAR_HEADER) + "019547.SH,20200103093100,2,2,2,2,,\n"),
             write("more/tick.csv", TICK_HEADER + std::string("019547.SH,20200103093000,2,0,0") +
                                        std::string(20, ',') + "\n")});
        ADD_FAILURE() << "wrote into a plain file";
    } catch (const ImportError& e) {
        EXPECT_EQ(e.file(), ticks_file("019547.SH").string());
        EXPECT_EQ(e.line(), 0u);
    }
    EXPECT_TRUE(same(files(), before)) << "no staged file is left and the old bars stay";
    EXPECT_EQ(instruments(), (std::vector<std::string>{"019547.SH", "019548.SH"}));
}

}  // namespace
}  // namespace tools_test
