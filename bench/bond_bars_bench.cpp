// Cold and warm bond day bars from a SQLite client database, against the floor of SQLite merely
// stepping through the same rows. The database (a few hundred bonds, three years of prices and
// valuations) is generated on first use in a temporary folder.
//
// Run: <build dir>/bin/bond_bars_bench
// The counter "ratio" of BM_ColdGetBarsVsSqlite is cold get_bars time / SQLite step time over
// the same bonds in the same iterations, both in thread CPU time. BM_ClientCallOnly and
// BM_ConversionOnly split the cold time into the client's call and the store's conversion.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvex/datetime_func.hpp"
#include "korvex_mod_bond/data/day_bar_store.hpp"
#include "tavlen/bond.hpp"
#include "tavlen/schema.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace {

namespace fs = std::filesystem;

// CPU time of this thread: other processes on a shared machine do not count against either side.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

constexpr int BONDS = 400;  // half inter-bank, half Shanghai

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

// The generated database, installed as the client's backend for the whole run.
struct Database {
    fs::path dir;
    fs::path path;
    std::vector<std::string> ids;
    std::int64_t price_rows = 0;

    Database() {
        dir = fs::temp_directory_path() / ("bond_bars_bench_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = dir / "tavlen.sqlite";
        generate();
        tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(path));
    }
    ~Database() {
        tavlen::set_backend(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void generate() {
        sqlite3* db = nullptr;
        check(sqlite3_open(path.c_str(), &db), db, "open");
        check(sqlite3_exec(db, tavlen::schema_sql().c_str(), nullptr, nullptr, nullptr), db,
              "schema");
        check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
        sqlite3_stmt* price = nullptr;
        sqlite3_stmt* valuation = nullptr;
        check(sqlite3_prepare_v2(db,
                                 "INSERT INTO price VALUES (?1, 'cfets', ?2, ?3, ?4, ?5, ?6, ?7, "
                                 "?8, ?9)",
                                 -1, &price, nullptr),
              db, "prepare price");
        check(sqlite3_prepare_v2(db,
                                 "INSERT INTO valuation VALUES (?1, 'chinabond', 'recommended', "
                                 "?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                                 -1, &valuation, nullptr),
              db, "prepare valuation");

        std::vector<std::int64_t> days;
        for (auto d = korvex::make_date(2019, 1, 1); d <= korvex::make_date(2021, 12, 31);
             d += std::chrono::days(1))
            if (std::chrono::weekday(d).iso_encoding() <= 5)
                days.push_back(korvex::convert_date_to_date_int(d));

        for (int b = 0; b < BONDS; ++b) {
            const std::string id =
                (b % 2 ? std::to_string(190000 + b) + ".IB" : std::to_string(19000 + b) + ".SH");
            ids.push_back(id);
            for (std::size_t i = 0; i < days.size(); ++i) {
                const double p = 100.0 + 0.01 * static_cast<double>(i % 300) + 0.001 * b;
                sqlite3_bind_text(price, 1, id.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int64(price, 2, days[i]);
                const double row[] = {p - 0.1, p + 0.2, p - 0.3, p, 2.5, p - 1.2, 1000.0 + b};
                for (int c = 0; c < 7; ++c) sqlite3_bind_double(price, 3 + c, row[c]);
                check(sqlite3_step(price), db, "insert price");
                sqlite3_reset(price);

                sqlite3_bind_text(valuation, 1, id.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int64(valuation, 2, days[i]);
                const double val[] = {p, p - 1.2, 2.4, 4.1, 21.0, 0.04, 5.0, 100.0};
                for (int c = 0; c < 8; ++c) sqlite3_bind_double(valuation, 3 + c, val[c]);
                check(sqlite3_step(valuation), db, "insert valuation");
                sqlite3_reset(valuation);
                ++price_rows;
            }
        }
        sqlite3_finalize(price);
        sqlite3_finalize(valuation);
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
        sqlite3_close(db);
    }
};

Database& database() {
    static Database db;
    return db;
}

// SQLite alone: the same statements the client runs, each row's date and numbers read and
// thrown away. Opened like the client opens its database.
class SqliteFloor {
public:
    explicit SqliteFloor(const fs::path& path) {
        check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_, "open");
        prepare(price_,
                "SELECT date, dirty_price_open, dirty_price_high, dirty_price_low, "
                "dirty_price_eod, ytm_close, clean_price_eod, volume FROM price WHERE "
                "order_book_id = ?1 AND source = 'cfets' AND date BETWEEN 20050104 AND 29991231 "
                "ORDER BY date");
        prepare(valuation_,
                "SELECT date, dirty_price_eod, dv01, ytm, clean_price, modified_duration, "
                "convexity, time_to_maturity, residual_principal FROM valuation WHERE "
                "order_book_id = ?1 AND source = 'chinabond' AND valuation_type = 'recommended' "
                "AND date BETWEEN 20050104 AND 29991231 ORDER BY date");
    }
    ~SqliteFloor() {
        sqlite3_finalize(price_);
        sqlite3_finalize(valuation_);
        sqlite3_close(db_);
    }

    // Rows stepped; `sink` keeps the reads from being optimised away.
    std::int64_t step(const std::string& id, bool valuation, double& sink) {
        sqlite3_stmt* s = valuation ? valuation_ : price_;
        sqlite3_bind_text(s, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
        const int columns = sqlite3_column_count(s);
        std::int64_t rows = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            sink += static_cast<double>(sqlite3_column_int64(s, 0));
            for (int c = 1; c < columns; ++c) sink += sqlite3_column_double(s, c);
            ++rows;
        }
        sqlite3_reset(s);
        return rows;
    }

private:
    void prepare(sqlite3_stmt*& s, const char* sql) {
        check(sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr), db_,
              "prepare");
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* price_ = nullptr;
    sqlite3_stmt* valuation_ = nullptr;
};

enum Kind { EXCHANGE, CHINABOND, AUTO };

std::unique_ptr<korvex_mod_bond::BondDayBarStore> make_store(int kind) {
    switch (kind) {
        case CHINABOND:
            return std::make_unique<korvex_mod_bond::ChinabondBondDayBarStore>();
        case AUTO:
            return std::make_unique<korvex_mod_bond::AutoBondDayBarStore>();
        default:
            return std::make_unique<korvex_mod_bond::ExchangeBondDayBarStore>();
    }
}

// Which table the store reads for a bond.
bool reads_valuation(int kind, const std::string& id) {
    return kind == CHINABOND || (kind == AUTO && id.ends_with(".IB"));
}

double peak_rss_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// glibc gives freed memory at the top of the heap back to the system, so every iteration after
// the first would map fresh pages for its bars, as a new process does. On a virtual machine a
// page fault can cost more than converting the rows it holds; the second variant keeps freed
// memory in the allocator to show the cost without them.
class PagePolicy {
public:
    explicit PagePolicy(bool reuse) : reuse_(reuse) {
        if (reuse_) mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    }
    ~PagePolicy() {
        if (reuse_) mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    }

private:
    bool reuse_;
};

long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// Each iteration: SQLite steps through every bond's rows, then a new store converts every bond
// cold. The reported time is the get_bars part (thread CPU time); the floor is a counter beside
// it, measured the same way. Args: store kind, reuse pages.
void BM_ColdGetBarsVsSqlite(benchmark::State& state) {
    Database& db = database();
    const int kind = static_cast<int>(state.range(0));
    const PagePolicy pages(state.range(1) != 0);
    SqliteFloor floor(db.path);
    double sink = 0;
    std::int64_t rows = 0;
    double floor_seconds = 0, bars_seconds = 0;
    long faults = 0;
    for (auto _ : state) {
        const double t0 = thread_seconds();
        for (const auto& id : db.ids) rows += floor.step(id, reads_valuation(kind, id), sink);
        const double t1 = thread_seconds();
        const long f0 = minor_faults();
        auto store = make_store(kind);
        std::size_t records = 0;
        for (const auto& id : db.ids) records += store->get_bars(id).size();
        const double t2 = thread_seconds();
        faults += minor_faults() - f0;
        benchmark::DoNotOptimize(records);
        floor_seconds += t1 - t0;
        bars_seconds += t2 - t1;
        state.SetIterationTime(t2 - t1);
    }
    benchmark::DoNotOptimize(sink);
    const auto n = static_cast<double>(state.iterations());
    state.SetItemsProcessed(rows);
    state.counters["sqlite_ms"] = 1e3 * floor_seconds / n;
    state.counters["get_bars_ms"] = 1e3 * bars_seconds / n;
    state.counters["ratio"] = bars_seconds / floor_seconds;
    state.counters["page_faults"] = static_cast<double>(faults) / n;
    state.counters["peak_rss_mb"] = peak_rss_mb();
    state.SetLabel(std::string(kind == EXCHANGE    ? "exchange"
                               : kind == CHINABOND ? "chinabond"
                                                   : "auto") +
                   (state.range(1) ? ", reused pages" : ", fresh pages"));
}
BENCHMARK(BM_ColdGetBarsVsSqlite)
    ->ArgsProduct({{EXCHANGE, CHINABOND, AUTO}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Where the cold time goes: the client's call alone, and the conversion alone of tables fetched
// beforehand (both with reused pages).
void BM_ClientCallOnly(benchmark::State& state) {
    Database& db = database();
    const PagePolicy pages(true);
    for (auto _ : state) {
        const double t0 = thread_seconds();
        for (const auto& id : db.ids)
            benchmark::DoNotOptimize(tavlen::bond::get_price(id, {.start_date = "20050104",
                                                                  .end_date = "29991231",
                                                                  .source = "cfets",
                                                                  .details = true}));
        state.SetIterationTime(thread_seconds() - t0);
    }
    state.SetItemsProcessed(state.iterations() * db.price_rows);
}
BENCHMARK(BM_ClientCallOnly)->UseManualTime()->Unit(benchmark::kMillisecond);

class PrefetchedStore : public korvex_mod_bond::ExchangeBondDayBarStore {
public:
    explicit PrefetchedStore(const std::map<std::string, tavlen::TablePtr>& tables)
        : tables_(tables) {}
    tavlen::TablePtr _get_data(const std::string& order_book_id) const override {
        return tables_.at(order_book_id);
    }

private:
    const std::map<std::string, tavlen::TablePtr>& tables_;
};

void BM_ConversionOnly(benchmark::State& state) {
    Database& db = database();
    const PagePolicy pages(true);
    std::map<std::string, tavlen::TablePtr> tables;
    const korvex_mod_bond::ExchangeBondDayBarStore fetch;
    for (const auto& id : db.ids) tables[id] = fetch._get_data(id);
    for (auto _ : state) {
        const double t0 = thread_seconds();
        PrefetchedStore store(tables);
        for (const auto& id : db.ids) benchmark::DoNotOptimize(store.get_bars(id).size());
        state.SetIterationTime(thread_seconds() - t0);
    }
    state.SetItemsProcessed(state.iterations() * db.price_rows);
}
BENCHMARK(BM_ConversionOnly)->UseManualTime()->Unit(benchmark::kMillisecond);

// Every bond already cached: one lookup per call.
void BM_WarmGetBars(benchmark::State& state) {
    Database& db = database();
    korvex_mod_bond::AutoBondDayBarStore store;
    for (const auto& id : db.ids) store.get_bars(id);
    for (auto _ : state)
        for (const auto& id : db.ids) benchmark::DoNotOptimize(store.get_bars(id).size());
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(db.ids.size()));
}
BENCHMARK(BM_WarmGetBars);

}  // namespace

BENCHMARK_MAIN();
