// korvex-generate: writes the sample data bundle (calendars, the client's database, minute bars,
// quote snapshots).
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "generator.hpp"
#include "korvex/datetime_func.hpp"

int main(int argc, char** argv) {
    korvex_generate::GeneratorOptions options;
    std::string start = "2018-01-02", end = "2023-12-29";
    bool quiet = false;

    CLI::App app{"Generate the sample data bundle of Chinese bonds and repos"};
    app.add_option("--out", options.out, "bundle directory to create, e.g. data/bundle")
        ->required();
    app.add_option("--seed", options.seed, "random seed; the same seed gives the same bytes")
        ->capture_default_str();
    app.add_option("--start", start, "first day of market data (YYYY-MM-DD)")
        ->capture_default_str();
    app.add_option("--end", end, "last day of market data (YYYY-MM-DD)")->capture_default_str();
    app.add_option("--bonds", options.bonds, "number of bonds with market data")
        ->capture_default_str();
    app.add_option("--minute-bonds", options.minute_bonds,
                   "exchange bonds that get minute bars for the last weeks of the span "
                   "(and quote snapshots for the last days)")
        ->capture_default_str();
    app.add_option("--curve", options.curve,
                   "value treasuries on this observed curve (CSV date,tenor_years,yield_pct, e.g. "
                   "market_history/chinabond-treasury-curve-2002-2015.csv) instead of the "
                   "modelled one; --start and --end must lie within it")
        ->check(CLI::ExistingFile);
    app.add_flag("--force", options.force, "replace an existing bundle at --out");
    app.add_flag("--quiet", quiet, "print nothing but errors");
    CLI11_PARSE(app, argc, argv);

    const auto began = std::chrono::steady_clock::now();
    try {
        options.start = korvex::parse_date(start);
        options.end = korvex::parse_date(end);
        korvex_generate::Progress progress;
        if (!quiet) {
            progress = [&](const std::string& line) {
                const std::chrono::duration<double> t = std::chrono::steady_clock::now() - began;
                fmt::print("[{:6.1f}s] {}\n", t.count(), line);
                std::fflush(stdout);
            };
        }
        korvex_generate::generate_bundle(options, progress);
    } catch (const std::exception& e) {
        fmt::print(stderr, "korvex-generate: error: {}\n", e.what());
        return 1;
    }
    return 0;
}
