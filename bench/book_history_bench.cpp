// What the book history (attribution and every holding at every close) costs a wide book: a
// market of many bonds over years, every priced bond bought on the first day it is priced and
// held to maturity. Runs with and without mod.bond.book_history alternate; reported are the
// best of each in CPU time (the machine's other work does not count), "history_share" (time
// added, as a share of a run without it), "ns_per_position_day" (time added per bond held a
// day), and the memory live at the end of each run ("live_MiB_*", "memory_ratio").
// KORVEX_BENCH_BUNDLE names another bundle (the full market of docs/data-bundle.md), run whole.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <unordered_set>

#include <unistd.h>

#include "bench_bundle.hpp"
#include "korvex/logger.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/api/order.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace {

// CPU seconds of the process so far.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::filesystem::path bundle() {
    if (const char* given = std::getenv("KORVEX_BENCH_BUNDLE")) return given;
    return korvex::bench::generated_bundle("korvex-bench-wide-bundle",
                                           korvex::make_date(2018, 1, 2),
                                           korvex::make_date(2020, 12, 31), 1500);
}

// Resident memory now, in MiB.
double live_mib() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

struct BuyEverything : korvex::Strategy {
    std::unordered_set<std::string> bought;
    void handle_bar(korvex::StrategyContext& ctx) override {
        const std::int64_t today = korvex::convert_date_to_int(korvex::to_date(ctx.now()));
        for (auto& ins : ctx.data_proxy().all_instruments(korvex::INSTRUMENT_TYPE::BOND)) {
            const std::string& id = ins->order_book_id();
            if (bought.contains(id) || !ins->listed_at(ctx.now())) continue;
            const korvex::Bars bars = ctx.day_bars(id);
            if (bars.empty() || bars.datetime(bars.size() - 1) != today) continue;
            bought.insert(id);
            korvex_mod_bond::api::order_bond(ctx, id, 1000);
        }
    }
};

struct LiveMemory : korvex::RunObserver {
    double mib = 0, position_days = 0;
    void on_day_end(korvex::Environment& env, const korvex::DailyRecord&) override {
        for (auto& [type, account] : env.portfolio().accounts())
            position_days += static_cast<double>(account->positions().size());
    }
    void on_finish(korvex::Environment&, korvex::RunResult&) override { mib = live_mib(); }
};

void BM_BookHistoryOfAWideBook(benchmark::State& state) {
    korvex::set_log_level("off");
    const auto data = bundle();
    const bool whole = std::getenv("KORVEX_BENCH_BUNDLE") != nullptr;
    double best[2] = {1e9, 1e9}, mib[2] = {0, 0}, position_days = 0;
    std::size_t run = 0;
    for (auto _ : state) {
        const bool history = run++ % 2 == 1;
        tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(data / "tavlen.sqlite"));
        korvex::Config config = korvex::Config::from_string(
            "[base]\nstart_date = \"" + std::string(whole ? "2000-01-01" : "2018-01-02") +
            "\"\nend_date = \"" + (whole ? "2099-12-31" : "2020-12-31") +
            "\"\n"
            "data_bundle_path = \"" +
            data.string() + "\"\noutput_dir = \"\"\n[base.accounts]\nBOND = 10000000000\n" +
            "[mod.sys_simulation]\nvolume_limit = false\n[log]\nlevel = \"off\"\n"
            "[mod.bond]\nenabled = true\nbook_history = " +
            (history ? "true" : "false") + "\n");
        const double t0 = cpu_seconds();
        korvex::Runner runner(config);
        runner.add_mod("bond", std::make_unique<korvex_mod_bond::BondMod>());
        runner.set_strategy(std::make_unique<BuyEverything>());
        LiveMemory memory;
        runner.add_observer(&memory);
        runner.run();
        best[history] = std::min(best[history], cpu_seconds() - t0);
        // The first run of each kind: later ones find memory the allocator kept from earlier.
        if (mib[history] == 0) mib[history] = memory.mib;
        position_days = memory.position_days;
        tavlen::set_backend(nullptr);
    }
    state.counters["position_days"] = position_days;
    state.counters["seconds_without"] = best[0];
    state.counters["seconds_with"] = best[1];
    state.counters["history_share"] = best[1] / best[0] - 1;
    state.counters["ns_per_position_day"] = (best[1] - best[0]) / position_days * 1e9;
    state.counters["live_MiB_without"] = mib[0];
    state.counters["live_MiB_with"] = mib[1];
    state.counters["memory_ratio"] = mib[1] / mib[0];
}
BENCHMARK(BM_BookHistoryOfAWideBook)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

}  // namespace

BENCHMARK_MAIN();
