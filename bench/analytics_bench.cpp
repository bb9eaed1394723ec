// Bond analytics as a strategy reads them: every bond of a 400-bond bundle asked each day of a
// quarter, in a whole run. Counters, in nanoseconds a bond: "valuation_ns" the first call of a
// day for a bond whose bars carry valuation figures, "quantlib_ns" the first call of a day for
// one computed with QuantLib (the pricer built once a run), "cached_ns" a second call the same
// day. Budget: valuation well under 1000 ns, QuantLib tens of microseconds at most, so 5,000
// bonds a day cost well under a tenth of a second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>

#include "bench_bundle.hpp"
#include "korvex/logger.hpp"
#include "korvex/runner.hpp"
#include "korvex_mod_bond/api/analytics.hpp"
#include "korvex_mod_bond/mod.hpp"
#include "tavlen/sqlite_backend.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::filesystem::path bundle() {
    return korvex::bench::generated_bundle("korvex-bench-analytics-bundle",
                                           korvex::make_date(2019, 1, 2),
                                           korvex::make_date(2019, 3, 29), 400);
}

struct AskEveryBond : korvex::Strategy {
    double seconds[4] = {0, 0, 0, 0};  // valuation, quantlib, cached, the first day's
    double calls[4] = {0, 0, 0, 0};
    double sink = 0;
    bool first_day = true;
    void handle_bar(korvex::StrategyContext& ctx) override {
        for (auto& ins : ctx.data_proxy().all_instruments(korvex::INSTRUMENT_TYPE::BOND)) {
            const std::string& id = ins->order_book_id();
            auto t0 = Clock::now();
            const auto& a = korvex_mod_bond::api::bond_analytics(ctx, id);
            auto t1 = Clock::now();
            sink += korvex_mod_bond::api::bond_analytics(ctx, id).ytm;
            auto t2 = Clock::now();
            if (first_day) {
                seconds[3] += std::chrono::duration<double>(t1 - t0).count();
                ++calls[3];
                continue;
            }
            if (a.source == "none") continue;
            const int k = a.source == "valuation" ? 0 : 1;
            seconds[k] += std::chrono::duration<double>(t1 - t0).count();
            ++calls[k];
            seconds[2] += std::chrono::duration<double>(t2 - t1).count();
            ++calls[2];
        }
        first_day = false;
    }
};

void BM_AnalyticsOfEveryBond(benchmark::State& state) {
    korvex::set_log_level("off");
    const auto path = bundle();
    AskEveryBond* strategy = nullptr;
    double best[4] = {1e9, 1e9, 1e9, 1e9};
    for (auto _ : state) {
        tavlen::set_backend(std::make_shared<tavlen::SqliteBackend>(path / "tavlen.sqlite"));
        korvex::Config config = korvex::Config::from_string(
            "[base]\nstart_date = \"2019-01-02\"\nend_date = \"2019-03-29\"\ndata_bundle_path = "
            "\"" +
            path.string() +
            "\"\noutput_dir = \"\"\n[base.accounts]\nSTOCK = 1000000\n"
            "[log]\nlevel = \"off\"\n");
        korvex::Runner runner(std::move(config));
        runner.add_mod("bond", std::make_unique<korvex_mod_bond::BondMod>());
        auto owned = std::make_unique<AskEveryBond>();
        strategy = owned.get();
        runner.set_strategy(std::move(owned));
        korvex::RunResult r = runner.run();
        for (int k = 0; k < 4; ++k)
            if (strategy->calls[k] > 0)
                best[k] = std::min(best[k], 1e9 * strategy->seconds[k] / strategy->calls[k]);
        benchmark::DoNotOptimize(strategy->sink);
        tavlen::set_backend(nullptr);
    }
    state.counters["valuation_ns"] = best[0];
    state.counters["quantlib_ns"] = best[1];
    state.counters["cached_ns"] = best[2];
    state.counters["load_us"] = best[3] / 1000;
}
BENCHMARK(BM_AnalyticsOfEveryBond)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
