#include "korvex_mod_lumeq_data/data_store.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <unistd.h>
#include "korvex_test_support.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "korvex/errors.hpp"
#include "korvex/model/instrument.hpp"

namespace {

namespace fs = std::filesystem;
using korvex_mod_lumeq_data::H5MinBarStore;
using korvex_mod_lumeq_data::write_h5_minute_bars;

struct Bar {
    std::int64_t datetime;
    double open, high, low, close, volume, total_turnover;
};
static_assert(sizeof(Bar) == 56);

const korvex::RecordLayout BOND_LAYOUT{
    {"datetime", "<i8"}, {"open", "<f8"},   {"high", "<f8"},          {"low", "<f8"},
    {"close", "<f8"},    {"volume", "<f8"}, {"total_turnover", "<f8"}};

const std::vector<Bar> BARS{{20200102093100, 100.0, 100.5, 99.5, 100.2, 10.0, 1002.0},
                            {20200102093200, 100.2, 100.6, 100.1, 100.4, 20.0, 2008.0},
                            {20200102093300, 100.4, 100.4, 100.0, 100.1, 5.0, 500.5}};

class H5MinBarStoreTest : public testing::Test {
protected:
    H5MinBarStoreTest() {
        static std::atomic<int> n{0};
        dir_ = fs::temp_directory_path() /
               ("lumeq_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        fs::remove_all(dir_);
    }
    ~H5MinBarStoreTest() override { fs::remove_all(dir_); }

    static korvex::Instrument instrument(const std::string& id, const char* type = "BOND") {
        return korvex::Instrument(korvex::Record{{"order_book_id", id}, {"type", type}});
    }
    fs::path file(const std::string& id) const { return dir_ / (id + ".h5"); }
    H5MinBarStore store() const { return H5MinBarStore(dir_, {{"Bond", BOND_LAYOUT}}); }

    fs::path dir_;
};

TEST_F(H5MinBarStoreTest, ReadsBackWhatWasWrittenInTheBondLayout) {
    write_h5_minute_bars(file("X.IB"), BOND_LAYOUT, std::as_bytes(std::span(BARS)));
    auto s = store();
    korvex::Bars bars = s.get_bars(instrument("X.IB"));
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(bars.layout(), &s.dtypes_map().at("Bond"));
    auto got = bars.as<Bar>();
    for (std::size_t i = 0; i < BARS.size(); ++i) {
        EXPECT_EQ(got[i].datetime, BARS[i].datetime);
        EXPECT_EQ(got[i].close, BARS[i].close);
        EXPECT_EQ(got[i].total_turnover, BARS[i].total_turnover);
    }
    EXPECT_EQ(bars.get(1, "volume"), 20.0);
}

TEST_F(H5MinBarStoreTest, MatchesMembersByNameWhateverTheFileOrderAndWidth) {
    // The file holds the fields in another order, volume as a 32-bit float, plus an extra one.
    const korvex::RecordLayout file_layout{
        {"datetime", "<i8"}, {"volume", "<f4"}, {"close", "<f8"},          {"open", "<f8"},
        {"high", "<f8"},     {"low", "<f8"},    {"total_turnover", "<f8"}, {"num_trades", "<i4"}};
    std::vector<std::byte> bytes(file_layout.itemsize());
    auto put = [&](const char* name, auto value) {
        std::memcpy(bytes.data() + file_layout.at(name).offset, &value, sizeof value);
    };
    put("datetime", std::int64_t{20200102093100});
    put("volume", 12.5f);
    put("close", 101.25);
    put("open", 101.0);
    put("high", 102.0);
    put("low", 100.0);
    put("total_turnover", 1265.625);
    put("num_trades", std::int32_t{7});
    write_h5_minute_bars(file("Y.SH"), file_layout, bytes);

    auto bars = store().get_bars(instrument("Y.SH"));
    ASSERT_EQ(bars.size(), 1u);
    const Bar& bar = bars.as<Bar>()[0];
    EXPECT_EQ(bar.datetime, 20200102093100);
    EXPECT_EQ(bar.open, 101.0);
    EXPECT_EQ(bar.close, 101.25);
    EXPECT_EQ(bar.volume, 12.5);
    EXPECT_EQ(bar.total_turnover, 1265.625);
}

TEST_F(H5MinBarStoreTest, MissingFileGivesEmptyBarsInTheLayout) {
    auto s = store();
    auto bars = s.get_bars(instrument("NONE.IB"));
    EXPECT_TRUE(bars.empty());
    EXPECT_EQ(bars.layout(), &s.dtypes_map().at("Bond"));
}

TEST_F(H5MinBarStoreTest, RepeatedCallsShareOneArray) {
    write_h5_minute_bars(file("X.IB"), BOND_LAYOUT, std::as_bytes(std::span(BARS)));
    auto s = store();
    auto first = s.get_bars(instrument("X.IB"));
    fs::remove(file("X.IB"));
    auto second = s.get_bars(instrument("X.IB"));
    EXPECT_EQ(second.identity(), first.identity());
    EXPECT_EQ(second.size(), 3u);
}

TEST_F(H5MinBarStoreTest, FilesThatCannotServeTheLayoutAreValueErrorsNamingWhy) {
    const korvex::RecordLayout no_turnover{{"datetime", "<i8"}, {"open", "<f8"},
                                           {"high", "<f8"},     {"low", "<f8"},
                                           {"close", "<f8"},    {"volume", "<f8"}};
    write_h5_minute_bars(file("A.IB"), no_turnover,
                         std::vector<std::byte>(no_turnover.itemsize() * 2));
    std::vector<Bar> backwards{BARS[1], BARS[0]};
    write_h5_minute_bars(file("B.IB"), BOND_LAYOUT, std::as_bytes(std::span(backwards)));
    std::ofstream(file("C.IB")) << "datetime,open\n";
    {  // declares 2^40 rows in chunks it never writes: nothing may be allocated for them
        const hsize_t rows[1] = {hsize_t{1} << 40}, chunk[1] = {16};
        const hid_t f = H5Fcreate(file("D.IB").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(Bar));
        for (const auto& field : BOND_LAYOUT.fields())
            H5Tinsert(type, field.name.c_str(), field.offset,
                      field.type == "<i8" ? H5T_STD_I64LE : H5T_IEEE_F64LE);
        const hid_t space = H5Screate_simple(1, rows, nullptr);
        const hid_t create = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(create, 1, chunk);
        H5Dclose(H5Dcreate2(f, "data", type, space, H5P_DEFAULT, create, H5P_DEFAULT));
        H5Pclose(create), H5Sclose(space), H5Tclose(type), H5Fclose(f);
    }

    auto s = store();
    EXPECT_EQ(
        korvex::testing::error_of<korvex::ValueError>([&] { s.get_bars(instrument("A.IB")); }),
        "minute-bar file '" + file("A.IB").string() +
            "': dataset 'data' has no member 'total_turnover'");
    EXPECT_EQ(
        korvex::testing::error_of<korvex::ValueError>([&] { s.get_bars(instrument("B.IB")); }),
        "minute-bar file '" + file("B.IB").string() +
            "': datetime does not ascend at row 1 (20200102093100 after 20200102093200)");
    EXPECT_EQ(
        korvex::testing::error_of<korvex::ValueError>([&] { s.get_bars(instrument("C.IB")); }),
        "minute-bar file '" + file("C.IB").string() + "' is not a readable HDF5 file");
    EXPECT_EQ(
        korvex::testing::error_of<korvex::ValueError>([&] { s.get_bars(instrument("D.IB")); }),
        "minute-bar file '" + file("D.IB").string() +
            "': dataset 'data' declares 1099511627776 rows but does not store them all");
    EXPECT_EQ(korvex::testing::error_of<korvex::KeyError>(
                  [&] { s.get_bars(instrument("R007.IB", "REPO")); }),
              "no minute-bar layout for 'R007.IB' (instrument type Repo)");
}

TEST_F(H5MinBarStoreTest, WriterRefusesBytesThatAreNotWholeRecords) {
    EXPECT_EQ(korvex::testing::error_of<korvex::ValueError>([&] {
                  write_h5_minute_bars(file("X.IB"), BOND_LAYOUT, std::vector<std::byte>(60));
              }),
              "60 bytes are not whole records of 56 bytes for '" + file("X.IB").string() + "'");
    EXPECT_FALSE(fs::exists(file("X.IB")));
}

}  // namespace
