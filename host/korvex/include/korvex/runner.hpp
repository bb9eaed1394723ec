// Running a backtest: mods loaded and started, the daily loop, results written, mods torn down
// (also when the run fails).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "korvex/config.hpp"
#include "korvex/report_section.hpp"
#include "korvex/strategy.hpp"

namespace korvex {

struct DailyRecord {
    Date date;
    struct AccountRow {
        DEFAULT_ACCOUNT_TYPE type;
        double cash, market_value, equity;
    };
    std::vector<AccountRow> accounts;
    double cash = 0, market_value = 0, equity = 0;
    // Values of the run's daily metrics (RunResult::metric_names), in that order.
    std::vector<double> metrics;
};

struct RunResult {
    std::vector<DailyRecord> daily;
    std::vector<TradePtr> trades;
    std::filesystem::path output_dir;
    std::vector<std::string> metric_names;
    // Figures for the summary that mods add (income by source and the like).
    std::vector<std::pair<std::string, double>> summary_extras;
    // What the mods add to the report.
    std::vector<ReportSection> report_sections;
    // The user log's warnings (refused, rejected, expired orders) by reason, most first.
    std::vector<std::pair<std::string, std::size_t>> order_warnings;
    // A run resumed from saved state: the saved day, and the equity at its close, from which
    // the run's returns count.
    std::optional<Date> resumed_from;
    double opening_equity = 0;
};

// Hooks for observers of the loop (result writers, progress, tests).
struct RunObserver {
    virtual ~RunObserver() = default;
    virtual void on_start(Environment&, const std::vector<Date>& /*days*/) {}
    virtual void on_day_end(Environment&, const DailyRecord&) {}
    virtual void on_finish(Environment&, RunResult&) {}
};

// The host's checks of a configuration's base and sys_simulation settings, as a run makes them
// before anything starts: a ValueError or TypeError naming the key, else nothing.
void check_settings(const Config& config);

class Runner {
public:
    explicit Runner(Config config);

    // When set, used instead of loading the strategy named by base.strategy.
    void set_strategy(std::unique_ptr<Strategy> strategy) { strategy_ = std::move(strategy); }
    // Mods constructed in-process (tests), started before the library-loaded ones.
    void add_mod(std::string name, std::unique_ptr<AbstractMod> mod);
    void add_observer(RunObserver* observer) { observers_.push_back(observer); }
    // Called after the environment exists and before mods start (tests install fakes here).
    void on_environment(std::function<void(Environment&)> hook) { env_hook_ = std::move(hook); }

    // The daily check that every account's journal adds up to its cash; on unless a benchmark
    // measures what it costs.
    void set_books_check(bool on) { books_check_ = on; }

    // Runs the whole backtest. Errors are rethrown after every started mod's tear_down.
    RunResult run();

private:
    Config config_;
    std::unique_ptr<Strategy> strategy_;
    std::vector<std::pair<std::string, std::unique_ptr<AbstractMod>>> in_process_mods_;
    std::vector<RunObserver*> observers_;
    std::function<void(Environment&)> env_hook_;
    bool books_check_ = true;
};

// Writes daily.csv, trades.csv, positions.csv, cash_flows.csv, summary.json and report.html
// into the result's folder, each whole or not at all, and then marks them complete in the
// folder's record, korvex_run.json.
void write_results(Environment& env, const RunResult& result);
// Makes the folder the run's before it starts: a folder holding result files (or run.log) that
// no run recorded writing there is refused (ValueError naming them) unless `replace`; the record
// is marked incomplete and the earlier results removed, so an interrupted run never leaves
// results that pass for its own.
void prepare_output_dir(const std::filesystem::path& dir, bool replace);
// Removes the result files from `output_dir`, so that a failed run leaves nothing there that
// passes for its results.
void remove_results(const std::filesystem::path& output_dir);

}  // namespace korvex
