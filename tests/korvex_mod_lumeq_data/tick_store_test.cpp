// Quote snapshots read back from HDF5 files and cut into trading days.
#include "korvex_mod_lumeq_data/tick_store.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <new>
#include <vector>

#include "korvex/errors.hpp"
#include "korvex/model/instrument.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "korvex_test_support.hpp"

// Counts this thread's allocations while armed, to see that a cached day costs none.
namespace {
thread_local bool g_counting = false;
thread_local std::size_t g_allocations = 0;
}  // namespace

// Not inlined: GCC would pair the malloc and free across the inlined calls and warn.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (g_counting) ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

namespace fs = std::filesystem;
using korvex::make_date;
using korvex::TickRecord;
using korvex_mod_lumeq_data::H5TickStore;
using korvex_mod_lumeq_data::write_h5_minute_bars;

// Every field distinct, so that a member read into the wrong place shows.
TickRecord tick(std::int64_t stamp, double last) {
    TickRecord t{};
    t.datetime = stamp;
    t.last = last;
    t.volume = 1000.0 + static_cast<double>(stamp % 1000000);
    t.total_turnover = t.volume * last;
    for (std::size_t i = 0; i < korvex::TICK_DEPTH; ++i) {
        const double level = static_cast<double>(i);
        t.asks[i] = last + 0.001 * (level + 1);
        t.ask_vols[i] = 10.0 * (level + 1);
        t.bids[i] = last - 0.001 * (level + 1);
        t.bid_vols[i] = 10.0 * (level + 6);
    }
    return t;
}

std::vector<double> fields(const TickRecord& t) {
    std::vector<double> out{static_cast<double>(t.datetime), t.last, t.volume, t.total_turnover};
    for (const auto* side : {&t.asks, &t.ask_vols, &t.bids, &t.bid_vols})
        out.insert(out.end(), side->begin(), side->end());
    return out;
}

// Two weekdays with a weekend between; midnight belongs to the day it starts.
const std::vector<TickRecord> TICKS{
    tick(20200102093030, 100.10), tick(20200102150000, 100.20), tick(20200103000000, 100.30),
    tick(20200103093030, 100.40), tick(20200103150000, 100.50), tick(20200103235959, 100.60),
    tick(20200106000000, 100.70), tick(20200106093030, 100.80),
};

class H5TickStoreTest : public testing::Test {
protected:
    static korvex::Instrument instrument(const std::string& id) {
        return korvex::Instrument(korvex::Record{{"order_book_id", id}, {"type", "BOND"}});
    }
    fs::path file(const std::string& id) const { return dir_.path() / (id + ".h5"); }
    void write(const std::string& id, const std::vector<TickRecord>& ticks) const {
        write_h5_minute_bars(file(id), korvex::tick_layout(), std::as_bytes(std::span(ticks)));
    }

    korvex::testing::TempDir dir_;
};

TEST_F(H5TickStoreTest, AnswersEachDayWithExactlyItsSnapshots) {
    write("019547.SH", TICKS);
    H5TickStore store(dir_.path());
    const auto bond = instrument("019547.SH");

    const korvex::Bars day = store.get_ticks(bond, make_date(2020, 1, 3));
    ASSERT_EQ(day.size(), 4u);
    EXPECT_EQ(day.layout(), &korvex::tick_layout());
    EXPECT_EQ(day.datetime(0), 20200103000000);
    EXPECT_EQ(day.datetime(3), 20200103235959);
    const auto records = day.as<TickRecord>();
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(fields(records[i]), fields(TICKS[2 + i])) << i;
    EXPECT_EQ(day.get(1, "a5"), TICKS[3].asks[4]);
    EXPECT_EQ(day.get(1, "b5_v"), 100.0);

    const korvex::Bars first = store.get_ticks(bond, make_date(2020, 1, 2));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first.datetime(0), 20200102093030);
    EXPECT_EQ(first.datetime(1), 20200102150000);
    const korvex::Bars last = store.get_ticks(bond, make_date(2020, 1, 6));
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last.datetime(0), 20200106000000);
    EXPECT_EQ(last.datetime(1), 20200106093030);
    // Every day is a view of the one array read from the file.
    EXPECT_EQ(first.identity(), day.identity());
}

TEST_F(H5TickStoreTest, DaysWithoutSnapshotsAndMissingFilesAreEmpty) {
    write("019547.SH", TICKS);
    H5TickStore store(dir_.path());
    const auto bond = instrument("019547.SH");
    for (const auto date : {make_date(2019, 12, 31), make_date(2020, 1, 4), make_date(2020, 1, 5),
                            make_date(2020, 1, 7)}) {
        const korvex::Bars day = store.get_ticks(bond, date);
        EXPECT_TRUE(day.empty()) << korvex::format_date(date);
        EXPECT_EQ(day.layout(), &korvex::tick_layout());
    }
    const korvex::Bars none = store.get_ticks(instrument("NONE.SH"), make_date(2020, 1, 3));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.layout(), &korvex::tick_layout());
}

TEST_F(H5TickStoreTest, ReadsAFileOnceAndThenAnswersWithoutAllocating) {
    write("019547.SH", TICKS);
    H5TickStore store(dir_.path());
    const auto bond = instrument("019547.SH");
    const korvex::Bars first = store.get_ticks(bond, make_date(2020, 1, 2));
    fs::remove(file("019547.SH"));

    g_allocations = 0;
    g_counting = true;
    std::size_t total = 0;
    for (int i = 0; i < 100; ++i) total += store.get_ticks(bond, make_date(2020, 1, 3)).size();
    g_counting = false;
    EXPECT_EQ(g_allocations, 0u);
    EXPECT_EQ(total, 400u);
    EXPECT_EQ(store.get_ticks(bond, make_date(2020, 1, 3)).identity(), first.identity());
}

TEST_F(H5TickStoreTest, FilesThatCannotServeTheTickLayoutAreValueErrorsNamingThem) {
    korvex::RecordLayout no_deepest_bid_size;
    for (const auto& f : korvex::tick_layout().fields())
        if (f.name != "b5_v") no_deepest_bid_size.append(f.name, f.type);
    write_h5_minute_bars(file("A.SH"), no_deepest_bid_size,
                         std::vector<std::byte>(no_deepest_bid_size.itemsize()));
    write("B.SH", {TICKS[1], TICKS[0]});
    std::ofstream(file("C.SH")) << "datetime,last\n";

    H5TickStore store(dir_.path());
    auto error = [&](const char* id) {
        return korvex::testing::error_of<korvex::ValueError>(
            [&] { store.get_ticks(instrument(id), make_date(2020, 1, 2)); });
    };
    EXPECT_EQ(error("A.SH"),
              "tick file '" + file("A.SH").string() + "': dataset 'data' has no member 'b5_v'");
    EXPECT_EQ(error("B.SH"), "tick file '" + file("B.SH").string() +
                                 "': datetime does not ascend at row 1 (20200102093030 after "
                                 "20200102150000)");
    EXPECT_EQ(error("C.SH"),
              "tick file '" + file("C.SH").string() + "' is not a readable HDF5 file");

    // A failed read is not remembered: the repaired file is read.
    write("C.SH", TICKS);
    EXPECT_EQ(store.get_ticks(instrument("C.SH"), make_date(2020, 1, 2)).size(), 2u);
}

}  // namespace
