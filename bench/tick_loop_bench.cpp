// The tick loop of a whole run against the floor of a bare merge of the same snapshots.
//
// Run: build-dir/bin/tick_loop_bench
// BM_TickRunVsBareMerge: counter "ratio" = (a tick run's cost per snapshot: time set, latest tick
// kept, broker asked, strategy called) / (a bare loop merging the same arrays in time order and
// reading each snapshot), both in the same process, each the best of 5 interleaved rounds.
// "snapshots_per_s" is the run's rate including its start-up.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "korvex/runner.hpp"
#include "korvex_test_support.hpp"

namespace {

constexpr int BONDS = 4;
constexpr int DAYS = 5;
constexpr int PER_DAY = 4800;  // one snapshot every 3 s of a four-hour session

struct World {
    korvex::testing::TempDir dir;
    std::vector<korvex::Date> days;
    std::vector<std::string> ids;
    std::shared_ptr<korvex::testing::FakeTickStore> ticks =
        std::make_shared<korvex::testing::FakeTickStore>();
    std::vector<std::vector<korvex::TickRecord>> records;  // per bond, all days

    World() {
        days = korvex::testing::weekdays(korvex::make_date(2023, 12, 18),
                                         korvex::make_date(2023, 12, 22));
        korvex::testing::write_trading_dates(dir.path(), days);
        for (int b = 0; b < BONDS; ++b) {
            ids.push_back(fmt::format("{:06d}.SH", 110000 + b));
            std::vector<korvex::TickRecord> rows;
            for (korvex::Date d : days)
                for (int k = 0; k < PER_DAY; ++k) {
                    // Bonds quote one second apart so that the merge interleaves them.
                    const int s = 9 * 3600 + 30 * 60 + 3 * k + b % 3;
                    const std::int64_t stamp = korvex::convert_date_to_int(d) + s / 3600 * 10000 +
                                               s / 60 % 60 * 100 + s % 60;
                    rows.push_back(korvex::testing::make_tick(stamp, 100 + 0.001 * (k % 50), 99.99,
                                                              1000, 100.01, 1000));
                }
            records.push_back(rows);
            ticks->set(ids.back(), std::move(rows));
        }
    }
};

World& world() {
    static World w;
    return w;
}

class Follow : public korvex::Strategy {
public:
    void init(korvex::StrategyContext& ctx) override {
        for (auto& id : world().ids) ctx.subscribe(id);
    }
    void handle_tick(korvex::StrategyContext&, const korvex::TickObject& tick) override {
        sum += tick.last();
        ++seen;
    }
    double sum = 0;
    std::size_t seen = 0;
};

std::size_t g_seen = 0;

double run_once() {
    World& w = world();
    korvex::Config config;
    config.set("base.start_date", korvex::Value(korvex::format_date(w.days.front())));
    config.set("base.end_date", korvex::Value(korvex::format_date(w.days.back())));
    config.set("base.frequency", korvex::Value("tick"));
    config.set("base.data_bundle_path", korvex::Value(w.dir.path().string()));
    config.set("base.output_dir", korvex::Value(""));
    config.set_table("base.accounts", {{"STOCK", korvex::Value(1e6)}});
    korvex::Runner runner(config);
    runner.on_environment([&w](korvex::Environment& env) {
        auto source = std::make_shared<korvex::BaseDataSource>(
            w.dir.path(), std::map<std::string, korvex::Value>{});
        std::vector<korvex::InstrumentPtr> instruments;
        for (auto& id : w.ids) instruments.push_back(korvex::testing::make_instrument(id));
        source->register_instruments_store(std::make_shared<korvex::testing::FakeInstrumentStore>(
            korvex::INSTRUMENT_TYPE::CS, instruments));
        source->register_tick_store(w.ticks);
        env.set_data_source(source);
    });
    auto strategy = std::make_unique<Follow>();
    Follow* s = strategy.get();
    runner.set_strategy(std::move(strategy));
    runner.run();
    g_seen = s->seen;
    return s->sum;
}

// The same snapshots, merged in time order day by day, each kept as its bond's latest and read,
// with nothing else. Keeping whole records matters: touching one field of each 192-byte record
// defeats the prefetcher and makes the floor slower than the run.
double bare_merge() {
    World& w = world();
    double sum = 0;
    for (korvex::Date d : w.days) {
        const std::int64_t midnight = korvex::convert_date_to_int(d);
        std::array<const korvex::TickRecord*, BONDS> cur{}, end{};
        std::array<korvex::TickRecord, BONDS> latest{};
        for (std::size_t b = 0; b < BONDS; ++b) {
            auto& rows = w.records[b];
            cur[b] = &*std::lower_bound(
                rows.begin(), rows.end(), midnight,
                [](const korvex::TickRecord& r, std::int64_t s) { return r.datetime < s; });
            end[b] = cur[b] + PER_DAY;
        }
        for (;;) {
            std::size_t first = BONDS;
            for (std::size_t b = 0; b < BONDS; ++b)
                if (cur[b] != end[b] && (first == BONDS || cur[b]->datetime < cur[first]->datetime))
                    first = b;
            if (first == BONDS) break;
            latest[first] = *cur[first]++;
            sum += latest[first].last;
        }
        benchmark::DoNotOptimize(latest);
    }
    return sum;
}

// Thread CPU time, so that other processes on a shared machine do not count.
double seconds_of(double (*f)(), double& sink) {
    auto now = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    };
    const double t0 = now();
    sink += f();
    return now() - t0;
}

void BM_TickRunVsBareMerge(benchmark::State& state) {
    constexpr double SNAPSHOTS = double(BONDS) * DAYS * PER_DAY;
    double sink = 0, best_run = 1e9, best_bare = 1e9;
    run_once();  // warm: files, allocator, page faults
    for (int round = 0; round < 5; ++round) {
        best_run = std::min(best_run, seconds_of(run_once, sink));
        best_bare = std::min(best_bare, seconds_of(bare_merge, sink));
    }
    if (g_seen != static_cast<std::size_t>(SNAPSHOTS)) {
        state.SkipWithError(
            fmt::format("the run saw {} snapshots, not {}", g_seen, SNAPSHOTS).c_str());
        return;
    }
    for (auto _ : state) sink += run_once();
    benchmark::DoNotOptimize(sink);
    state.counters["run_ns_per_snapshot"] = best_run * 1e9 / SNAPSHOTS;
    state.counters["bare_ns_per_snapshot"] = best_bare * 1e9 / SNAPSHOTS;
    state.counters["ratio"] = best_run / best_bare;
    state.counters["snapshots_per_s"] = SNAPSHOTS / best_run;
}
BENCHMARK(BM_TickRunVsBareMerge)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
