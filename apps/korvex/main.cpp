// korvex: the command line of the backtesting engine.
//   korvex run -c config.toml [overrides]     run a backtest
//   korvex strategies [-l library]             list the strategies known
//   korvex sweep -c config.toml --grid k=v1,v2 many runs on a Dask cluster (korvex._sweep)
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include "korvex/errors.hpp"
#include "korvex/logger.hpp"
#include "korvex/mod_loader.hpp"
#include "korvex/progress.hpp"
#include "korvex/runner.hpp"
#include "tavlen/bond.hpp"

namespace {

struct RunOptions {
    std::string config_file;
    std::string start, end, frequency, strategy, output_dir, bundle, valuation_source, database;
    std::vector<std::string> accounts;   // TYPE=CASH
    std::vector<std::string> mods;       // names to enable
    std::vector<std::string> overrides;  // key.path=value
    bool verbose = false;                // the user log's warnings on the terminal too
};

korvex::Config build_config(const RunOptions& o) {
    korvex::Config config;
    if (!o.config_file.empty()) config.merge_file(o.config_file);
    auto set_text = [&](const char* key, const std::string& v) {
        if (!v.empty()) config.set(key, korvex::Value(v));
    };
    set_text("base.start_date", o.start);
    set_text("base.end_date", o.end);
    set_text("base.frequency", o.frequency);
    set_text("base.strategy", o.strategy);
    set_text("base.output_dir", o.output_dir);
    set_text("base.data_bundle_path", o.bundle);
    set_text("tavlen.database", o.database);
    if (!o.accounts.empty()) {
        std::map<std::string, korvex::Value> accounts;
        for (auto& a : o.accounts) {
            auto eq = a.find('=');
            if (eq == std::string::npos)
                throw korvex::ValueError(
                    fmt::format("--account '{}' must look like TYPE=CASH, e.g. BOND=1000000", a));
            double cash = 0;
            try {
                std::size_t used = 0;
                cash = std::stod(a.substr(eq + 1), &used);
                if (used != a.size() - eq - 1) throw std::invalid_argument(a);
            } catch (const std::exception&) {
                throw korvex::ValueError(
                    fmt::format("--account '{}': '{}' is not a cash amount", a, a.substr(eq + 1)));
            }
            accounts[a.substr(0, eq)] = korvex::Value(cash);
        }
        config.set_table("base.accounts", accounts);
    }
    for (auto& m : o.mods) config.set("mod." + m + ".enabled", korvex::Value(true));
    if (!o.valuation_source.empty())
        config.set("mod.bond.valuation_source", korvex::Value(o.valuation_source));
    for (auto& ov : o.overrides) config.set_override(ov);
    return config;
}

int run(const RunOptions& o) {
    korvex::Config config = build_config(o);
    std::string db = tavlen::init(korvex::market_database_path(config));
    korvex::system_log().debug(fmt::format("market data from {}", db));
    korvex::Runner runner(config);
    korvex::ProgressBar progress;
    if (config.at("log.progress").as_bool()) runner.add_observer(&progress);
    korvex::set_user_log_on_console(o.verbose);
    korvex::RunResult result = runner.run();
    auto& last = result.daily.back();
    std::cout << fmt::format("{} trading days, final equity {:.2f}", result.daily.size(),
                             last.equity);
    if (!result.output_dir.empty())
        std::cout << fmt::format(", results in {}\nreport: {}", result.output_dir.string(),
                                 (result.output_dir / "report.html").string());
    std::cout << "\n";
    // The orders' warnings by reason; each one is in run.log (or, with --verbose, above).
    std::size_t warnings = 0;
    for (auto& [reason, count] : result.order_warnings) warnings += count;
    if (warnings > 0) {
        std::cout << fmt::format("{} order warnings{}:\n", warnings,
                                 result.output_dir.empty() || o.verbose
                                     ? std::string()
                                     : ", each in " + (result.output_dir / "run.log").string());
        constexpr std::size_t kShown = 5;
        for (std::size_t i = 0; i < std::min(kShown, result.order_warnings.size()); ++i)
            std::cout << fmt::format("  {:>6}  {}\n", result.order_warnings[i].second,
                                     result.order_warnings[i].first);
        if (result.order_warnings.size() > kShown)
            std::cout << fmt::format("  and {} more reasons\n",
                                     result.order_warnings.size() - kShown);
    }
    return 0;
}

// Sweeps are driven from Python (Dask): hand the arguments over to the package built beside
// this program, which runs each combination with this program.
int sweep(int argc, char** argv) {
    const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe");
    const std::filesystem::path package = self.parent_path().parent_path() / "python";
    if (!std::filesystem::exists(package / "korvex" / "_sweep.py")) {
        std::cerr << "error: korvex sweep needs the Python module, and " << package.string()
                  << " has none: build it with scripts/build.sh (KORVEX_BUILD_PYTHON=ON)\n";
        return 2;
    }
    const char* old = std::getenv("PYTHONPATH");
    const std::string path = package.string() + (old && *old ? ":" + std::string(old) : "");
    setenv("PYTHONPATH", path.c_str(), 1);
    setenv("KORVEX_BIN", self.c_str(), 1);
    std::vector<const char*> args{KORVEX_PYTHON, "-c",
                                  "import sys, korvex._sweep as s; sys.exit(s.main(sys.argv[1:]))"};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(KORVEX_PYTHON, const_cast<char* const*>(args.data()));
    std::cerr << "error: cannot start " << KORVEX_PYTHON << " for the sweep\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // A sweep's worker asks its runs to end with it: a lost worker's run is re-run elsewhere.
    if (const char* die = std::getenv("KORVEX_DIE_WITH_PARENT"); die && *die == '1') {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) return 2;  // the parent was gone already
    }
    if (argc >= 2 && std::string_view(argv[1]) == "sweep") return sweep(argc, argv);
    CLI::App app{"korvex: backtests of Chinese bond and repo strategies"};
    app.require_subcommand(1);
    RunOptions o;
    auto* run_cmd = app.add_subcommand("run", "run a backtest");
    run_cmd->add_option("-c,--config", o.config_file, "configuration file (TOML)")
        ->check(CLI::ExistingFile);
    run_cmd->add_option("-s,--start", o.start, "first day, YYYY-MM-DD");
    run_cmd->add_option("-e,--end", o.end, "last day, YYYY-MM-DD");
    run_cmd->add_option("-a,--account", o.accounts, "account and its cash, e.g. BOND=1000000")
        ->take_all();
    run_cmd->add_option("-f,--frequency", o.frequency, "bar frequency")
        ->check(CLI::IsMember({"1d", "1m", "tick"}));
    run_cmd
        ->add_option("--valuation-source", o.valuation_source,
                     "bond bars: chinabond, exchange, auto")
        ->check(CLI::IsMember({"chinabond", "exchange", "auto"}));
    run_cmd->add_option("--strategy", o.strategy, "built-in strategy name or library path");
    run_cmd->add_option("-o,--output", o.output_dir, "folder for the results");
    run_cmd->add_option("-b,--bundle", o.bundle, "data bundle folder");
    run_cmd->add_option("--database", o.database, "market-data database (SQLite)");
    run_cmd->add_option("-m,--mod", o.mods, "enable a mod by name (repeatable)");
    run_cmd->add_option("--set", o.overrides, "override any entry: key.path=value (repeatable)");
    run_cmd->add_flag("-v,--verbose", o.verbose,
                      "print every refused, rejected and expired order, not only their count");
    // Listed for --help; its arguments are read by the Python side (korvex sweep --help).
    app.add_subcommand("sweep", "run a grid of backtests side by side on a Dask cluster")
        ->allow_extras();
    auto* list_cmd = app.add_subcommand(
        "strategies", "list the built-in strategies and those of the libraries named");
    std::vector<std::string> libraries;
    list_cmd->add_option("-l,--library", libraries,
                         "a strategy library, e.g. korvex_examples (repeatable)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    try {
        if (*list_cmd) {
            for (auto& lib : libraries) korvex::load_module(lib);
            for (auto& [name, desc] : korvex::list_strategies())
                std::cout << fmt::format("{:<24} {}\n", name, desc);
            return 0;
        }
        return run(o);
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return 2;
    }
}
