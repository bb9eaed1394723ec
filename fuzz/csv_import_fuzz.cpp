// The CSV importer on arbitrary files of every table layout: the first byte picks the table,
// the rest is the file. Bad input must end in an ImportError naming the file, line and column,
// and leave the bundle as it was; a crash or any other exception is a finding.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "import_error.hpp"
#include "importer.hpp"
#include "table_layouts.hpp"

namespace {

const std::filesystem::path& workdir() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("korvex-fuzz-csv-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto& layouts = korvex_import::table_layouts();
    const auto& layout = layouts[data[0] % layouts.size()];
    const auto bundle = workdir() / "bundle";
    std::filesystem::remove_all(bundle);
    std::filesystem::create_directories(bundle);
    const auto file = workdir() / (std::string(layout.table) + ".csv");
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        korvex_import::import_csv_files(bundle, {file});
    } catch (const korvex_import::ImportError&) {
    }
    return 0;
}
