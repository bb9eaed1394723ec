// The korvex program: listing strategies, a tick run from an example configuration with
// command-line overrides, and refusals reported as one error line with exit code 2.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "generated_bundle.hpp"
#include "korvex_test_support.hpp"

namespace {

struct Outcome {
    int code;
    std::string output;  // stdout and stderr
};

Outcome korvex_cli(const std::string& args) {
    const std::string command = std::string(KORVEX_CLI) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {-1, "cannot start " + command};
    std::string out;
    std::array<char, 4096> buffer{};
    while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
        out.append(buffer.data(), n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Two exchange bonds with quote snapshots over the span's last five exchange days.
const std::filesystem::path& tick_bundle() {
    return korvex::testing::generated_bundle(5, korvex::make_date(2020, 1, 2),
                                             korvex::make_date(2020, 6, 30), 30, 2);
}

}  // namespace

TEST(Cli, ListsTheStrategiesOfTheLibrariesNamed) {
    Outcome plain = korvex_cli("strategies");
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.output.find("offer_taker"), std::string::npos);
    Outcome examples = korvex_cli("strategies -l korvex_examples");
    EXPECT_EQ(examples.code, 0);
    EXPECT_NE(examples.output.find("offer_taker              tick runs: takes counterparty offers "
                                   "that stray from the running mid\n"),
              std::string::npos)
        << examples.output;
    Outcome missing = korvex_cli("strategies -l nosuch");
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(
        missing.output.rfind("error: no module named 'nosuch': libnosuch.so not found in ", 0), 0u)
        << missing.output;
}

TEST(Cli, RunsTheTickExampleOnAnotherBundleAndPeriod) {
    korvex::testing::TempDir out;
    Outcome run = korvex_cli(fmt::format(
        "run -c {}/examples/tick_offers.toml --bundle {} --start 2020-06-22 --end 2020-06-30 "
        "--output {} --set strategy.edge=0.005",
        KORVEX_SOURCE_DIR, tick_bundle().string(), out.path().string()));
    ASSERT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find("5 trading days, final equity "), std::string::npos) << run.output;
    std::ifstream trades(out.path() / "trades.csv");
    std::string header, line;
    std::getline(trades, header);
    int fills = 0, in_session = 0;
    while (std::getline(trades, line)) {
        ++fills;
        // Filled on the snapshots through the session, not only on the day's last one.
        in_session += line.find(" 15:00:00,") == std::string::npos;
    }
    EXPECT_GT(fills, 0);
    EXPECT_GT(in_session, 0);
    EXPECT_TRUE(std::filesystem::exists(out.path() / "report.html"));
    // Order warnings stay off the terminal unless asked for; every line is in run.log.
    EXPECT_EQ(run.output.find("warning user_system_log"), std::string::npos) << run.output;
    EXPECT_TRUE(std::filesystem::exists(out.path() / "run.log"));
    // The summary's income adds up to the change of equity.
    std::ifstream in(out.path() / "summary.json");
    const auto s = nlohmann::json::parse(in);
    EXPECT_NEAR(s["final_equity"].get<double>() - s["starting_cash"].get<double>(),
                s["coupon_income"].get<double>() + s["payment_receivable"].get<double>() +
                    s["price_pnl"].get<double>() - s["transaction_costs"].get<double>(),
                0.01);
}

TEST(Cli, ATickRunWithoutATickStoreIsOneErrorLine) {
    Outcome run = korvex_cli(fmt::format(
        "run -c {}/examples/tick_offers.toml --bundle {} --start 2020-06-22 --end 2020-06-30 "
        "--output '' --set mod.lumeq_data.enabled=false",
        KORVEX_SOURCE_DIR, tick_bundle().string()));
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.output,
              "error: frequency 'tick' needs a tick data store, and no mod registered one (enable "
              "mod.lumeq_data for the bundle's HDF5 ticks)\n");
}
