// A one-line progress bar for runs on a terminal: days done of the total, speed and time left.
// It shows only when its stream is a terminal and the run has lasted over a second, redraws at
// most ten times a second, and clears its line at the end; it never writes through the loggers.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "korvex/runner.hpp"

namespace korvex {

class ProgressBar : public RunObserver {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // On stderr, shown when stderr is a terminal.
    ProgressBar();
    ProgressBar(std::ostream& out, bool terminal, Clock clock);
    // Clears a line still showing (the run ended by an error).
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void on_start(Environment&, const std::vector<Date>& days) override;
    void on_day_end(Environment&, const DailyRecord&) override;
    void on_finish(Environment&, RunResult&) override;

    // The text of the line: "412/1250 days [#######-------------]  33%  812 days/s  1s left".
    static std::string format_line(std::size_t done, std::size_t total,
                                   std::chrono::duration<double> elapsed);
    // "0s", "42s", "3m 05s", "2h 07m" (seconds rounded up).
    static std::string format_duration(std::chrono::duration<double> d);

    // The time after which the bar appears, and the least time between two redraws.
    static constexpr std::chrono::milliseconds DELAY{1000};
    static constexpr std::chrono::milliseconds INTERVAL{100};

private:
    void clear();

    std::ostream& out_;
    bool terminal_;
    Clock clock_;
    std::size_t total_ = 0, done_ = 0;
    std::chrono::steady_clock::time_point start_{}, last_draw_{};
    bool shown_ = false;
};

}  // namespace korvex
