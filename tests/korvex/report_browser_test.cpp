// The report opened in headless Chromium: the page loads, its script runs without errors and the
// charts are in the rendered document.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "report_sample.hpp"

using namespace korvex;
using korvex::testing::TempDir;

namespace {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::filesystem::path find_chromium() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        auto candidate = std::filesystem::path(dir) / "chromium";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

struct BrowserRun {
    int exit_code = -1;
    std::string out;
    std::vector<std::string> console;  // the page's console messages
    std::string log_tail;
};

// Runs Chromium headless on a page with a fresh profile and no network services; 60 s at most.
BrowserRun open_in_chromium(const std::filesystem::path& chromium, const std::filesystem::path& dir,
                            const std::filesystem::path& page, const std::string& action) {
    auto profile = dir / "profile", out = dir / "browser.out", err = dir / "browser.err";
    std::string command = fmt::format(
        "timeout -k 5 60 '{}' --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--disable-dev-shm-usage --user-data-dir='{}' --enable-logging=stderr --v=0 {} "
        "'file://{}' > '{}' 2> '{}'",
        chromium.string(), profile.string(), action, page.string(), out.string(), err.string());
    int status = std::system(command.c_str());
    BrowserRun run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = read_file(out);
    std::stringstream log(read_file(err));
    for (std::string line; std::getline(log, line);)
        if (line.find(":CONSOLE") != std::string::npos) run.console.push_back(line);
    std::string all = log.str();
    run.log_tail = all.substr(all.size() > 2000 ? all.size() - 2000 : 0);
    return run;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

struct ReportInBrowser : ::testing::Test {
    void SetUp() override {
        chromium = find_chromium();
        if (chromium.empty())
            GTEST_SKIP() << "chromium is not installed; scripts/install-deps.sh installs it when "
                            "KORVEX_WITH_BROWSER=1 (scripts/run-tests.sh sets it)";
        Environment env{Config()};
        auto run = korvex::testing::sample_run(250);
        run.result.trades = korvex::testing::sample_trades(env, 30);
        write_html_report(run.result, run.summary, dir.path() / "report.html");
    }
    TempDir dir;
    std::filesystem::path chromium;
};

}  // namespace

TEST_F(ReportInBrowser, LoadsWithoutErrorsAndShowsTheCharts) {
    BrowserRun run =
        open_in_chromium(chromium, dir.path(), dir.path() / "report.html", "--dump-dom");
    ASSERT_EQ(run.exit_code, 0) << run.log_tail;
    EXPECT_TRUE(run.console.empty()) << fmt::format("{}", fmt::join(run.console, "\n"));
    EXPECT_EQ(count(run.out, "<svg class=\"chart timechart\""), 3u);
    EXPECT_EQ(count(run.out, "<svg class=\"chart barchart\""), 1u);
    EXPECT_EQ(count(run.out, "<polyline "), 9u);
    // Set by the page's script as its last step.
    EXPECT_NE(run.out.find("data-charts-ready=\"3\""), std::string::npos);
}

TEST_F(ReportInBrowser, RendersAScreenshot) {
    auto png = dir.path() / "report.png";
    BrowserRun run =
        open_in_chromium(chromium, dir.path(), dir.path() / "report.html",
                         fmt::format("--window-size=1200,2400 --screenshot='{}'", png.string()));
    ASSERT_EQ(run.exit_code, 0) << run.log_tail;
    std::string image = read_file(png);
    ASSERT_GE(image.size(), 8u);
    EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_GT(image.size(), 40'000u);  // charts and tables, not a blank page
}

// The error check above is only worth something if a failing script is caught.
TEST_F(ReportInBrowser, ScriptErrorsOfAPageAreCaught) {
    auto page = dir.path() / "broken.html";
    std::ofstream(page) << "<!doctype html><p>x</p><script>no_such_function();</script>";
    BrowserRun run = open_in_chromium(chromium, dir.path(), page, "--dump-dom");
    ASSERT_EQ(run.exit_code, 0) << run.log_tail;
    ASSERT_EQ(run.console.size(), 1u);
    EXPECT_NE(run.console[0].find("Uncaught ReferenceError: no_such_function is not defined"),
              std::string::npos);
}
