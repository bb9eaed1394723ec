// The minute-bar and tick readers on well-formed HDF5 files of arbitrary shape and content: the
// input decides the dataset's name, class, rank and extent, its members (names from the layout or
// not, any width, order, byte order, strings, arrays, enums, nested records), its storage
// (contiguous or chunked and compressed, written or left unwritten) and its bytes. Bad files must
// end in a korvex error naming the file; bars that come back must hold every declared row with
// strictly ascending stamps. A crash, any other exception or a bad result is a finding.
//
// The bytes of the container format itself are not fuzzed: parsing them is the HDF5 library's
// own concern, and our files come from the importer and the generator. What is guarded here is
// every decision the reader takes on what the library reports.
#include <hdf5.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/errors.hpp"
#include "korvex/tick.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"

namespace {

// Reads the input front to back; zeros once it runs out.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    const std::uint8_t* rest(std::size_t& n) const {
        n = size_ - pos_;
        return data_ + pos_;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

const korvex::RecordLayout& minute_layout() {
    static const korvex::RecordLayout layout{
        {"datetime", "<i8"}, {"open", "<f8"},   {"high", "<f8"},          {"low", "<f8"},
        {"close", "<f8"},    {"volume", "<f8"}, {"total_turnover", "<f8"}};
    return layout;
}

// Other widths and an unsigned stamp, so that every conversion the reader asks for is tried.
const korvex::RecordLayout& narrow_layout() {
    static const korvex::RecordLayout layout{
        {"datetime", "<u8"}, {"close", "<f4"}, {"volume", "=i4"}, {"count", "<u4"}};
    return layout;
}

const std::filesystem::path& file_path() {
    static const std::filesystem::path path = [] {
        auto dir = std::filesystem::temp_directory_path() /
                   ("korvex-fuzz-h5-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        return dir / "records.h5";
    }();
    return path;
}

struct Owned {
    hid_t id;
    herr_t (*close)(hid_t);
    ~Owned() {
        if (id >= 0) close(id);
    }
};

// A member type picked by one byte; a new type the caller closes.
hid_t member_type(std::uint8_t pick) {
    switch (pick % 14) {
        case 0:
            return H5Tcopy(H5T_STD_I64LE);
        case 1:
            return H5Tcopy(H5T_STD_I64BE);
        case 2:
            return H5Tcopy(H5T_STD_U64LE);
        case 3:
            return H5Tcopy(H5T_STD_I32LE);
        case 4:
            return H5Tcopy(H5T_STD_U8LE);
        case 5:
            return H5Tcopy(H5T_IEEE_F64LE);
        case 6:
            return H5Tcopy(H5T_IEEE_F64BE);
        case 7:
            return H5Tcopy(H5T_IEEE_F32LE);
        case 8: {
            hid_t s = H5Tcopy(H5T_C_S1);
            H5Tset_size(s, 1 + pick % 16);
            return s;
        }
        case 9: {
            const hsize_t dims[1] = {2};
            return H5Tarray_create2(H5T_IEEE_F64LE, 1, dims);
        }
        case 10: {
            hid_t e = H5Tenum_create(H5T_STD_I32LE);
            int v = 0;
            H5Tenum_insert(e, "zero", &v);
            return e;
        }
        case 11: {
            hid_t c = H5Tcreate(H5T_COMPOUND, 16);
            H5Tinsert(c, "datetime", 0, H5T_STD_I64LE);
            H5Tinsert(c, "close", 8, H5T_IEEE_F64LE);
            return c;
        }
        case 12:
            return H5Tcopy(H5T_STD_B64LE);
        default:
            return H5Tcopy(H5T_NATIVE_DOUBLE);
    }
}

// Writes the file the input describes; false when the library will not make it.
bool write_file(Input& in, const korvex::RecordLayout& layout, std::vector<hsize_t>& dims) {
    const std::uint8_t shape = in.byte();
    const bool named_data = (shape & 0x01) == 0;
    const bool compound = (shape & 0x02) == 0;
    const bool chunked = (shape & 0x04) != 0;
    const bool unwritten = (shape & 0x08) != 0;
    const bool huge = (shape & 0x10) != 0 && unwritten;
    const int rank = (shape >> 5) % 4;  // 0: a scalar

    Owned type{-1, H5Tclose};
    if (compound) {
        const std::size_t members = in.byte() % 20;
        std::vector<std::pair<std::string, hid_t>> chosen;
        std::size_t size = 0;
        for (std::size_t i = 0; i < members; ++i) {
            const std::uint8_t name_pick = in.byte();
            std::string name = name_pick < 200
                                   ? layout.fields()[name_pick % layout.fields().size()].name
                                   : "extra" + std::to_string(name_pick % 4);
            const bool taken = std::any_of(chosen.begin(), chosen.end(),
                                           [&](const auto& m) { return m.first == name; });
            const hid_t t = member_type(in.byte());
            if (taken || t < 0) {
                if (t >= 0) H5Tclose(t);
                continue;
            }
            size += H5Tget_size(t);
            chosen.emplace_back(std::move(name), t);
        }
        type.id = H5Tcreate(H5T_COMPOUND, std::max<std::size_t>(size, 1));
        std::size_t offset = 0;
        for (auto& [name, t] : chosen) {
            H5Tinsert(type.id, name.c_str(), offset, t);
            offset += H5Tget_size(t);
            H5Tclose(t);
        }
    } else {
        type.id = member_type(in.byte());
    }
    if (type.id < 0) return false;

    hsize_t rows = 1;
    for (int d = 0; d < rank; ++d) {
        const hsize_t extent = huge && d == 0 ? (hsize_t{1} << 40) : in.byte() % 64;
        dims.push_back(extent);
        rows *= extent;
    }
    Owned space{rank == 0 ? H5Screate(H5S_SCALAR) : H5Screate_simple(rank, dims.data(), nullptr),
                H5Sclose};
    Owned create{H5Pcreate(H5P_DATASET_CREATE), H5Pclose};
    if (space.id < 0 || create.id < 0) return false;
    if (chunked && rank > 0) {
        std::vector<hsize_t> chunk(dims.size());
        for (std::size_t d = 0; d < dims.size(); ++d)
            chunk[d] = std::clamp<hsize_t>(dims[d], 1, 16);
        if (H5Pset_chunk(create.id, rank, chunk.data()) < 0 || H5Pset_deflate(create.id, 1) < 0)
            return false;
    } else if (huge) {
        return false;  // a contiguous dataset of 2^40 rows cannot be made
    }

    const std::string name = file_path().string();
    Owned file{H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose};
    if (file.id < 0) return false;
    Owned dataset{H5Dcreate2(file.id, named_data ? "data" : "other", type.id, space.id, H5P_DEFAULT,
                             create.id, H5P_DEFAULT),
                  H5Dclose};
    if (dataset.id < 0) return false;
    if (!unwritten && rows > 0) {
        // The rest of the input, repeated, is every record's bytes.
        std::size_t n = 0;
        const std::uint8_t* rest = in.rest(n);
        std::vector<std::uint8_t> bytes(rows * H5Tget_size(type.id));
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = n ? rest[i % n] : 0;
        if (H5Dwrite(dataset.id, type.id, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()) < 0)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // the library's own error printing: off
    Input in(data, size);
    const std::uint8_t which = in.byte() % 3;
    const korvex::RecordLayout& layout = which == 0   ? minute_layout()
                                         : which == 1 ? korvex::tick_layout()
                                                      : narrow_layout();
    std::vector<hsize_t> dims;
    if (!write_file(in, layout, dims)) return 0;

    korvex::Bars bars;
    try {
        bars = korvex_mod_lumeq_data::read_h5_minute_bars(file_path(), layout);
    } catch (const korvex::Error&) {
        return 0;
    }
    // Accepted: a one-dimensional dataset, every declared row read, stamps strictly ascending.
    if (dims.size() != 1 || bars.size() != dims[0] || bars.layout() != &layout) std::abort();
    for (std::size_t i = 1; i < bars.size(); ++i)
        if (bars.datetime(i) <= bars.datetime(i - 1)) std::abort();
    return 0;
}
