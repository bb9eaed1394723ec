// The progress bar with an injected clock and terminal flag: when it shows, how often it redraws,
// what its line says, and that it leaves nothing behind.
#include <gtest/gtest.h>

#include <sstream>

#include "korvex/environment.hpp"
#include "korvex/progress.hpp"

using namespace korvex;
using namespace std::chrono_literals;

namespace {

struct ProgressTest : ::testing::Test {
    Environment env{Config()};
    std::ostringstream out;
    std::chrono::steady_clock::time_point now{};
    ProgressBar::Clock clock() {
        return [this] { return now; };
    }
    std::vector<Date> days(std::size_t n) {
        return std::vector<Date>(n, Date(std::chrono::days(18000)));
    }
    // Runs `n` days of `step` each and returns the number of redraws.
    std::size_t run(ProgressBar& bar, std::size_t n, std::chrono::milliseconds step) {
        bar.on_start(env, days(n));
        DailyRecord r;
        for (std::size_t i = 0; i < n; ++i) {
            now += step;
            bar.on_day_end(env, r);
        }
        std::string text = out.str();
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r'));
    }
};

}  // namespace

TEST_F(ProgressTest, NothingWhenNotATerminal) {
    ProgressBar bar(out, false, clock());
    run(bar, 100, 500ms);
    RunResult result;
    bar.on_finish(env, result);
    EXPECT_EQ(out.str(), "");
}

TEST_F(ProgressTest, NothingForARunUnderASecond) {
    ProgressBar bar(out, true, clock());
    run(bar, 99, 10ms);  // 0.99 s in all
    RunResult result;
    bar.on_finish(env, result);
    EXPECT_EQ(out.str(), "");
}

TEST_F(ProgressTest, AppearsAfterASecondAndRedrawsAtMostTenTimesASecond) {
    ProgressBar bar(out, true, clock());
    // 1000 days of 10 ms: hidden for the first 99 days, then a redraw every 100 ms, and the last.
    EXPECT_EQ(run(bar, 1000, 10ms), 91u);
    std::string text = out.str();
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(
        text.rfind("\r100/1000 days [##----------------------]  10%  100 days/s  9s left\x1b[K", 0),
        0u);
    std::string last = text.substr(text.rfind('\r'));
    EXPECT_EQ(last, "\r1000/1000 days [########################] 100%  100 days/s  0s left\x1b[K");
    RunResult result;
    bar.on_finish(env, result);
    EXPECT_EQ(out.str(), text + "\r\x1b[K");
}

TEST_F(ProgressTest, SlowDaysRedrawEveryDay) {
    ProgressBar bar(out, true, clock());
    EXPECT_EQ(run(bar, 10, 400ms), 8u);  // from the third day on (1.2 s)
}

TEST_F(ProgressTest, LineLeftOnScreenIsClearedWhenTheRunFails) {
    {
        ProgressBar bar(out, true, clock());
        run(bar, 20, 200ms);  // no on_finish: the run threw
    }
    std::string text = out.str();
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\x1b[K");
    // A bar that never showed leaves nothing to clear.
    std::ostringstream quiet;
    { ProgressBar bar(quiet, true, clock()); }
    EXPECT_EQ(quiet.str(), "");
}

TEST(ProgressLine, SaysDaysSpeedAndTimeLeft) {
    struct Case {
        std::size_t done, total;
        double seconds;
        const char* want;
    };
    const Case cases[] = {
        {412, 1250, 0.5, "412/1250 days [#######-----------------]  32%  824 days/s  2s left"},
        {5, 100, 2, "5/100 days [#-----------------------]   5%  2.5 days/s  38s left"},
        {1, 5000, 1.2, "1/5000 days [------------------------]   0%  0.8 days/s  1h 39m left"},
        {30, 60, 300, "30/60 days [############------------]  50%  0.1 days/s  5m 00s left"},
        {0, 10, 3, "0/10 days [------------------------]   0%  0.0 days/s  -- left"},
        {12, 10, 1, "10/10 days [########################] 100%  10 days/s  0s left"},
    };
    for (auto& c : cases)
        EXPECT_EQ(
            ProgressBar::format_line(c.done, c.total, std::chrono::duration<double>(c.seconds)),
            c.want);
}

TEST(ProgressLine, DurationsRoundUpToWholeSeconds) {
    struct Case {
        double seconds;
        const char* want;
    };
    const Case cases[] = {{0, "0s"},       {0.2, "1s"},        {42, "42s"},      {59.5, "1m 00s"},
                          {185, "3m 05s"}, {3599.2, "1h 00m"}, {7620, "2h 07m"}, {-3, "0s"}};
    for (auto& c : cases)
        EXPECT_EQ(ProgressBar::format_duration(std::chrono::duration<double>(c.seconds)), c.want)
            << c.seconds;
}
