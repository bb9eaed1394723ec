// The bundle as a whole: calendars, instrument records, determinism and safe replacement.
#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "generator.hpp"
#include "korvex/errors.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "sample_bundle.hpp"

namespace tools_test {
namespace {

namespace fs = std::filesystem;
using korvex_generate::GeneratorOptions;

bool contains(const std::vector<std::int32_t>& days, std::int32_t d) {
    return std::binary_search(days.begin(), days.end(), d);
}

struct CalendarCase {
    std::int32_t date;
    bool inter_bank;
    bool exchange;
    const char* why;
};

TEST(GeneratedCalendars, KnowWorkingWeekendsAndHolidaysOfBothMarkets) {
    const auto& b = SampleBundle::get();
    const CalendarCase cases[] = {
        {20050104, true, true, "first day the stores ask for"},
        {20200119, true, false, "Sunday worked by the inter-bank market before Spring Festival"},
        {20191012, true, false, "Saturday worked after National Day 2019"},
        {20200101, false, false, "New Year's Day"},
        {20191001, false, false, "National Day"},
        {20200111, false, false, "ordinary Saturday"},
        {20200102, true, true, "ordinary Thursday"},
        {20211231, true, true, "a year past the data, for due dates near the end"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(contains(b.inter_bank_days, c.date), c.inter_bank) << c.date << " " << c.why;
        EXPECT_EQ(contains(b.exchange_days, c.date), c.exchange) << c.date << " " << c.why;
    }
    EXPECT_EQ(b.exchange_days.front(), 20050104);
    EXPECT_EQ(b.inter_bank_days.front(), 20050104);
    EXPECT_TRUE(std::is_sorted(b.exchange_days.begin(), b.exchange_days.end()));
    EXPECT_EQ(std::adjacent_find(b.exchange_days.begin(), b.exchange_days.end()),
              b.exchange_days.end());
    // Every exchange day is an inter-bank day as well.
    EXPECT_TRUE(std::includes(b.inter_bank_days.begin(), b.inter_bank_days.end(),
                              b.exchange_days.begin(), b.exchange_days.end()));
}

TEST(GeneratedRecords, BondsCarryTheFieldsTheStoresNeedWithTheirVariations) {
    const auto& b = SampleBundle::get();
    int empty_listed = 0, empty_de_listed = 0, without_round_lot = 0, without_issue_price = 0;
    int other_markets = 0;
    for (const auto& [id, type] : b.types) {
        if (type != "bond") continue;
        const auto& record = b.fields.at(id);
        for (const char* name :
             {"order_book_id", "listed_date", "de_listed_date", "exchange", "initial_issue_size"}) {
            EXPECT_TRUE(record.contains(name)) << id << " lacks " << name;
        }
        EXPECT_EQ(record.at("order_book_id").text, id);
        const std::string exchange = record.at("exchange").text;
        if (id.ends_with(".IB")) {
            EXPECT_EQ(exchange, "CFETS") << id;
        } else if (id.ends_with(".SH")) {
            EXPECT_EQ(exchange, "XSHG") << id;
        } else if (id.ends_with(".SZ")) {
            EXPECT_EQ(exchange, "XSHE") << id;
        } else {
            ++other_markets;
            EXPECT_FALSE(b.valuations.contains(id)) << id;
        }
        EXPECT_GE(record.at("initial_issue_size").number, 1e8) << id;
        empty_listed += record.at("listed_date").kind == "none";
        empty_de_listed += record.at("de_listed_date").kind == "none";
        without_round_lot += !record.contains("round_lot");
        without_issue_price += !record.contains("issue_price");
        if (record.contains("issue_price")) {
            const double price = record.at("issue_price").number;
            EXPECT_TRUE(record.at("bond_type").text == "discount" ? price < 100.0 : price == 100.0)
                << id;
        }
    }
    EXPECT_GE(empty_listed, 1);
    EXPECT_GE(empty_de_listed, 1);
    EXPECT_GE(without_round_lot, 1);
    EXPECT_GE(without_issue_price, 1);
    EXPECT_GE(other_markets, 2);
}

TEST(GeneratedRecords, ReposHaveTheirRealTerms) {
    const auto& b = SampleBundle::get();
    const std::pair<const char*, int> terms[] = {
        {"R001.IB", 1},    {"R007.IB", 7},    {"R014.IB", 14},    {"R021.IB", 21},
        {"R1M.IB", 30},    {"R3M.IB", 90},    {"204001.SH", 1},   {"204002.SH", 2},
        {"204003.SH", 3},  {"204004.SH", 4},  {"204007.SH", 7},   {"204014.SH", 14},
        {"204028.SH", 28}, {"204091.SH", 91}, {"204182.SH", 182}, {"131810.SZ", 1},
        {"131811.SZ", 2},  {"131800.SZ", 3},  {"131809.SZ", 4},   {"131801.SZ", 7},
        {"131802.SZ", 14}, {"131803.SZ", 28}, {"131805.SZ", 91},  {"131806.SZ", 182},
    };
    for (const auto& [id, days] : terms) {
        ASSERT_EQ(b.types.at(id), "repo") << id;
        EXPECT_EQ(b.fields.at(id).at("repo_period").kind, "int") << id;
        EXPECT_EQ(b.number(id, "repo_period"), days) << id;
        EXPECT_FALSE(b.repos.at(id).empty()) << id;
    }
    // Inter-bank repo ids that the repo store must leave out.
    for (const char* id : {"R002.IB", "FR007.IB"}) EXPECT_EQ(b.types.at(id), "repo") << id;
}

std::string bytes_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> files_of(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

GeneratorOptions small(const fs::path& out, std::uint64_t seed) {
    GeneratorOptions o;
    o.out = out;
    o.seed = seed;
    o.start = korvex::make_date(2021, 11, 1);
    o.end = korvex::make_date(2022, 1, 31);
    o.bonds = 15;
    o.minute_bonds = 2;
    return o;
}

TEST(Generator, SameSeedGivesSameBytesAndAnotherSeedDoesNot) {
    TempDir a("seed_a"), b("seed_b"), c("seed_c");
    std::vector<std::string> lines;
    const auto summary = korvex_generate::generate_bundle(
        small(a.path() / "bundle", 11), [&](const std::string& line) { lines.push_back(line); });
    korvex_generate::generate_bundle(small(b.path() / "bundle", 11));
    korvex_generate::generate_bundle(small(c.path() / "bundle", 12));
    const auto names = files_of(a.path() / "bundle");
    ASSERT_EQ(names, files_of(b.path() / "bundle"));
    EXPECT_THAT(names, testing::IsSupersetOf({"tavlen.sqlite", "trading_dates.txt"}));
    std::vector<std::string> minute_files, tick_files;
    for (const auto& n : names) {
        if (n.starts_with("h5/ticks/"))
            tick_files.push_back(n.substr(9));
        else if (n.starts_with("h5/"))
            minute_files.push_back(n.substr(3));
    }
    EXPECT_EQ(minute_files.size(), 2u);
    EXPECT_EQ(tick_files, minute_files);

    std::size_t ticks = 0;
    for (const auto& n : tick_files)
        ticks += korvex_mod_lumeq_data::read_h5_minute_bars(a.path() / "bundle/h5/ticks" / n,
                                                            korvex::tick_layout())
                     .size();
    EXPECT_GT(ticks, 0u);
    EXPECT_EQ(summary.ticks, ticks);
    EXPECT_THAT(lines, testing::Contains(fmt::format(
                           "ticks: {} snapshots of 2 exchange bonds over the last 5 exchange days",
                           ticks)));
    for (const auto& name : names) {
        EXPECT_TRUE(bytes_of(a.path() / "bundle" / name) == bytes_of(b.path() / "bundle" / name))
            << name;
    }
    EXPECT_FALSE(bytes_of(a.path() / "bundle/tavlen.sqlite") ==
                 bytes_of(c.path() / "bundle/tavlen.sqlite"));
}

TEST(Generator, RefusesBadOptionsWithoutLeavingAnything) {
    TempDir dir("options");
    struct Case {
        std::function<void(GeneratorOptions&)> change;
        std::string message;
    };
    const Case cases[] = {
        {[](auto& o) { o.start = korvex::make_date(2004, 12, 31); },
         "--start 2004-12-31: must lie between 2005-01-04 and 2100-12-31"},
        {[](auto& o) { o.end = korvex::make_date(2021, 10, 31); },
         "--end 2021-10-31: must lie between --start 2021-11-01 and 2100-12-31"},
        {[](auto& o) { o.bonds = 0; }, "--bonds 0: must be between 1 and 20000"},
        {[](auto& o) { o.minute_bonds = -1; }, "--minute-bonds -1: must not be negative"},
    };
    for (const auto& c : cases) {
        GeneratorOptions o = small(dir.path() / "bundle", 1);
        c.change(o);
        try {
            korvex_generate::generate_bundle(o);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const korvex::ValueError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Generator, ReplacesAnExistingBundleOnlyWhenForced) {
    TempDir dir("force");
    const fs::path out = dir.path() / "bundle";
    fs::create_directories(out);
    std::ofstream(out / "mine.txt") << "user data";
    GeneratorOptions o = small(out, 3);
    try {
        korvex_generate::generate_bundle(o);
        ADD_FAILURE() << "overwrote a bundle without --force";
    } catch (const korvex::ValueError& e) {
        EXPECT_EQ(std::string(e.what()),
                  out.string() + ": a bundle is already there; pass --force to replace it");
    }
    EXPECT_EQ(files_of(out), std::vector<std::string>{"mine.txt"});

    o.force = true;
    const auto summary = korvex_generate::generate_bundle(o);
    EXPECT_EQ(summary.bonds, 15u);
    EXPECT_FALSE(fs::exists(out / "mine.txt"));
    EXPECT_TRUE(fs::exists(out / "tavlen.sqlite"));
    // Nothing temporary is left beside the bundle.
    EXPECT_EQ(files_of(dir.path()).size(), files_of(out).size());
}

TEST(Generator, ARunThatFailsHalfWayLeavesNoHalfBundle) {
    TempDir dir("failed");
    const fs::path out = dir.path() / "bundle";
    // Stop the run after the database is written, before the minute bars.
    const korvex_generate::Progress stop = [](const std::string& line) {
        if (line.starts_with("repos:")) throw std::runtime_error("interrupted");
    };
    EXPECT_THROW(korvex_generate::generate_bundle(small(out, 5), stop), std::runtime_error);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace tools_test
