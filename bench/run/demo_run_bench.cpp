// The demo backtest on the sample bundle, from start to written report, as a user runs it:
// the mod and the example strategies loaded from their libraries. Reports wall time, peak
// memory, the daily loop's cost per position-day, and "books_check_share": what the daily check
// of the cash journals adds to a run, from runs with and without it alternating, best of each.
// "funding_share" is what the daily funding checks take of a run (each account's morning scan
// of what its repos settle that day, and what its open sells and financings bring in), and
// "history_ns" the cost of one call for the last 20 day bars of a held instrument, both timed
// inside the same runs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "generator.hpp"
#include "korvex/logger.hpp"
#include "korvex/runner.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace {

std::filesystem::path sample_bundle() {
    std::filesystem::path path = std::filesystem::temp_directory_path() / "korvex-bench-bundle";
    if (!std::filesystem::exists(path / "tavlen.sqlite")) {
        korvex_generate::GeneratorOptions o;
        o.out = path;
        o.force = true;
        korvex_generate::generate_bundle(o);
    }
    return path;
}

using Clock = std::chrono::steady_clock;

// Counts the positions held each day (the loop's work is proportional to it), and times the
// funding checks and history calls on each day's book.
struct PositionDays : korvex::RunObserver {
    double count = 0, funding_seconds = 0, history_seconds = 0, history_calls = 0;
    double sink = 0;  // keeps the timed work from being optimised away
    void on_day_end(korvex::Environment& env, const korvex::DailyRecord& day) override {
        auto t0 = Clock::now();
        for (auto& [type, account] : env.portfolio().accounts()) {
            for (auto& p : account->positions()) sink += p->cash_due_at_settlement(day.date);
            sink += env.broker()->pending_proceeds(*account);
        }
        auto t1 = Clock::now();
        for (auto& [type, account] : env.portfolio().accounts())
            for (auto& p : account->positions()) {
                sink += static_cast<double>(
                    env.data_proxy().history_bars(p->order_book_id(), 20).size());
                ++history_calls;
            }
        auto t2 = Clock::now();
        funding_seconds += std::chrono::duration<double>(t1 - t0).count();
        history_seconds += std::chrono::duration<double>(t2 - t1).count();
        for (auto& [type, account] : env.portfolio().accounts())
            count += static_cast<double>(account->positions().size());
    }
};

void BM_DemoRun(benchmark::State& state) {
    korvex::set_log_level("off");
    const auto bundle = sample_bundle();
    const auto out = std::filesystem::temp_directory_path() / "korvex-bench-demo";
    double position_days = 0, days = 0, funding_share = 1e9, history_ns = 1e9;
    double best[2] = {1e9, 1e9};  // seconds of a run without and with the books check
    std::size_t run = 0;
    for (auto _ : state) {
        const bool check = run++ % 2 == 1;
        const auto t0 = std::chrono::steady_clock::now();
        tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(bundle / "tavlen.sqlite"));
        korvex::Config config;
        config.merge_file(KORVEX_SOURCE_DIR "/examples/demo.toml");
        config.set("base.data_bundle_path", korvex::Value(bundle.string()));
        config.set("base.output_dir", korvex::Value(out.string()));
        config.set("log.level", korvex::Value("off"));
        korvex::Runner runner(config);
        runner.set_books_check(check);
        PositionDays counter;
        runner.add_observer(&counter);
        korvex::RunResult result = runner.run();
        position_days = counter.count;
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        funding_share = std::min(funding_share, counter.funding_seconds / seconds);
        history_ns = std::min(history_ns, counter.history_seconds / counter.history_calls * 1e9);
        benchmark::DoNotOptimize(counter.sink);
        days = static_cast<double>(result.daily.size());
        tavlen::set_backend(nullptr);
        best[check] =
            std::min(best[check],
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["trading_days"] = days;
    state.counters["position_days"] = position_days;
    state.counters["ns_per_position_day"] = benchmark::Counter(
        position_days, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["books_check_share"] = best[1] / best[0] - 1;
    state.counters["funding_share"] = funding_share;
    state.counters["history_ns"] = history_ns;
}
BENCHMARK(BM_DemoRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
