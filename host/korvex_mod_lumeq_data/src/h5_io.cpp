// Reading and writing the record files (minute bars, ticks) with the HDF5 C API.
#include "h5_io.hpp"

#include <fmt/format.h>
#include <hdf5.h>

#include <string_view>
#include <system_error>

#include "korvex/errors.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"

namespace korvex_mod_lumeq_data {

namespace {

constexpr const char* DATASET = "data";

// Owns one HDF5 identifier.
class Handle {
public:
    Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~Handle() {
        if (id_ >= 0) close_(id_);
    }
    Handle(Handle&& other) noexcept : id_(other.id_), close_(other.close_) { other.id_ = -1; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// Runs an HDF5 call with the library's own error printing off; the caller raises instead.
// The macros restore the printer on the way out, so nothing may throw between them.
template <class F>
auto quietly(F&& f) {
    decltype(f()) result{};
    H5E_BEGIN_TRY {
        result = f();
    }
    H5E_END_TRY;
    return result;
}

// "<" little-endian, "=" the machine's order; kind and size as in "i8".
hid_t h5_type(const korvex::FieldSpec& field) {
    const std::string& t = field.type;
    if (t.size() == 3 && (t[0] == '<' || t[0] == '=')) {
        const bool native = t[0] == '=';
        const std::string_view code = std::string_view(t).substr(1);
        if (code == "i8") return native ? H5T_NATIVE_INT64 : H5T_STD_I64LE;
        if (code == "u8") return native ? H5T_NATIVE_UINT64 : H5T_STD_U64LE;
        if (code == "i4") return native ? H5T_NATIVE_INT32 : H5T_STD_I32LE;
        if (code == "u4") return native ? H5T_NATIVE_UINT32 : H5T_STD_U32LE;
        if (code == "f8") return native ? H5T_NATIVE_DOUBLE : H5T_IEEE_F64LE;
        if (code == "f4") return native ? H5T_NATIVE_FLOAT : H5T_IEEE_F32LE;
    }
    throw korvex::ValueError(
        fmt::format("record field '{}' has the unsupported type '{}'", field.name, t));
}

// The compound type of `layout`, members at the layout's own offsets.
Handle compound_type(const korvex::RecordLayout& layout) {
    if (layout.itemsize() == 0) throw korvex::ValueError("record layout has no fields");
    Handle type(H5Tcreate(H5T_COMPOUND, layout.itemsize()), H5Tclose);
    for (const auto& field : layout.fields())
        if (H5Tinsert(type.get(), field.name.c_str(), field.offset, h5_type(field)) < 0)
            throw korvex::RuntimeError(
                fmt::format("cannot describe record field '{}'", field.name));
    return type;
}

// Bars::find and friends binary-search the stamps, read as Bars::datetime reads them.
void check_ascending(const std::filesystem::path& path, const korvex::Bars& bars,
                     std::string_view kind) {
    for (std::size_t i = 1; i < bars.size(); ++i)
        if (bars.datetime(i) <= bars.datetime(i - 1))
            throw korvex::ValueError(fmt::format(
                "{} file '{}': {} does not ascend at row {} ({} after {})", kind, path.string(),
                bars.layout()->fields().front().name, i, bars.datetime(i), bars.datetime(i - 1)));
}

}  // namespace

korvex::Bars read_h5_records(const std::filesystem::path& path, const korvex::RecordLayout& layout,
                             std::string_view kind) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return korvex::Bars::of_bytes(std::make_shared<const std::vector<std::byte>>(), layout);
    const std::string name = path.string();

    Handle file(quietly([&] { return H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT); }),
                H5Fclose);
    if (!file.ok())
        throw korvex::ValueError(
            fmt::format("{} file '{}' is not a readable HDF5 file", kind, name));
    Handle dataset(quietly([&] { return H5Dopen2(file.get(), DATASET, H5P_DEFAULT); }), H5Dclose);
    if (!dataset.ok())
        throw korvex::ValueError(
            fmt::format("{} file '{}' has no dataset '{}'", kind, name, DATASET));
    Handle file_type(quietly([&] { return H5Dget_type(dataset.get()); }), H5Tclose);
    if (!file_type.ok() || H5Tget_class(file_type.get()) != H5T_COMPOUND)
        throw korvex::ValueError(
            fmt::format("{} file '{}': dataset '{}' is not a compound type", kind, name, DATASET));
    for (const auto& field : layout.fields())
        if (quietly([&] { return H5Tget_member_index(file_type.get(), field.name.c_str()); }) < 0)
            throw korvex::ValueError(fmt::format("{} file '{}': dataset '{}' has no member '{}'",
                                                 kind, name, DATASET, field.name));

    Handle space(quietly([&] { return H5Dget_space(dataset.get()); }), H5Sclose);
    if (!space.ok() || quietly([&] { return H5Sget_simple_extent_ndims(space.get()); }) != 1)
        throw korvex::ValueError(
            fmt::format("{} file '{}': dataset '{}' is not one-dimensional", kind, name, DATASET));
    const hssize_t rows = quietly([&] { return H5Sget_simple_extent_npoints(space.get()); });
    if (rows < 0)
        throw korvex::ValueError(
            fmt::format("{} file '{}': dataset '{}' has no readable extent", kind, name, DATASET));
    const auto n = static_cast<std::size_t>(rows);
    // Rows never written read as fill values; a damaged or unfinished file may also declare far
    // more rows than it holds, and the buffer for them would be allocated before the read.
    H5D_space_status_t status = H5D_SPACE_STATUS_ERROR;
    if (n > 0 && (quietly([&] { return H5Dget_space_status(dataset.get(), &status); }) < 0 ||
                  status != H5D_SPACE_STATUS_ALLOCATED))
        throw korvex::ValueError(
            fmt::format("{} file '{}': dataset '{}' declares {} rows but does not store them all",
                        kind, name, DATASET, n));

    Handle memory_type = compound_type(layout);
    auto bytes = std::make_shared<std::vector<std::byte>>(n * layout.itemsize());
    if (n > 0 && quietly([&] {
                     return H5Dread(dataset.get(), memory_type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT,
                                    bytes->data());
                 }) < 0)
        throw korvex::ValueError(fmt::format("{} file '{}': dataset '{}' cannot be read as {}",
                                             kind, name, DATASET, layout.to_string()));
    korvex::Bars bars = korvex::Bars::of_bytes(std::move(bytes), layout);
    check_ascending(path, bars, kind);
    return bars;
}

korvex::Bars read_h5_minute_bars(const std::filesystem::path& path,
                                 const korvex::RecordLayout& layout) {
    return read_h5_records(path, layout, "minute-bar");
}

void write_h5_minute_bars(const std::filesystem::path& path, const korvex::RecordLayout& layout,
                          std::span<const std::byte> bytes) {
    Handle type = compound_type(layout);
    if (bytes.size() % layout.itemsize() != 0)
        throw korvex::ValueError(fmt::format("{} bytes are not whole records of {} bytes for '{}'",
                                             bytes.size(), layout.itemsize(), path.string()));
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());

    const std::string name = path.string();
    Handle file(
        quietly([&] { return H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT); }),
        H5Fclose);
    if (!file.ok()) throw korvex::RuntimeError(fmt::format("cannot create HDF5 file '{}'", name));
    const hsize_t dims[1] = {bytes.size() / layout.itemsize()};
    Handle space(H5Screate_simple(1, dims, nullptr), H5Sclose);
    // No object times: equal records give equal bytes (the sample bundle is reproducible).
    Handle properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!properties.ok() || H5Pset_obj_track_times(properties.get(), false) < 0)
        throw korvex::RuntimeError(
            fmt::format("cannot set up dataset '{}' of '{}'", DATASET, name));
    Handle dataset(H5Dcreate2(file.get(), DATASET, type.get(), space.get(), H5P_DEFAULT,
                              properties.get(), H5P_DEFAULT),
                   H5Dclose);
    if (!dataset.ok() || (dims[0] > 0 && H5Dwrite(dataset.get(), type.get(), H5S_ALL, H5S_ALL,
                                                  H5P_DEFAULT, bytes.data()) < 0))
        throw korvex::RuntimeError(fmt::format("cannot write dataset '{}' of '{}'", DATASET, name));
}

}  // namespace korvex_mod_lumeq_data
