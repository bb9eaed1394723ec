// Shared set-up of the bond data tests: a recording in-memory client installed for the test's
// lifetime, day tables built from rows, a temporary folder, and bar field reads by name.
#pragma once

#include "korvex_test_support.hpp"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "korvex/bars.hpp"
#include "korvex/datetime_func.hpp"
#include "tavlen/memory_backend.hpp"
#include "tavlen/table.hpp"

namespace bond_test {

// Installs a fresh MemoryBackend and removes it again at the end of the test.
class MemoryClient {
public:
    MemoryClient() : backend_(std::make_shared<tavlen::MemoryBackend>()) {
        tavlen::set_backend(backend_);
    }
    ~MemoryClient() { tavlen::set_backend(nullptr); }
    MemoryClient(const MemoryClient&) = delete;
    MemoryClient& operator=(const MemoryClient&) = delete;

    tavlen::MemoryBackend& operator*() const { return *backend_; }
    tavlen::MemoryBackend* operator->() const { return backend_.get(); }

private:
    std::shared_ptr<tavlen::MemoryBackend> backend_;
};

struct Row {
    std::int32_t date;  // YYYYMMDD
    std::vector<double> values;
};

inline tavlen::TablePtr make_table(const std::string& id, std::vector<std::string> columns,
                                   const std::vector<Row>& rows) {
    auto table = std::make_shared<tavlen::Table>(std::move(columns));
    for (const auto& row : rows) table->append(id, korvex::date_from_int(row.date), row.values);
    return table;
}

// Value of a bar field of record i, through the layout the bars carry.
inline double field(const korvex::Bars& bars, std::size_t i, std::string_view name) {
    return bars.get(i, name);
}

class TempDir {
public:
    TempDir() {
        static std::atomic<int> n{0};
        path_ = std::filesystem::temp_directory_path() /
                ("bond_data_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

using korvex::testing::error_of;

inline void write_trading_dates(const std::filesystem::path& dir,
                                const std::vector<std::int32_t>& days) {
    std::ofstream out(dir / "trading_dates.txt");
    for (auto d : days) out << d << "\n";
}

}  // namespace bond_test
