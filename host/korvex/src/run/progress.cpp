#include "korvex/progress.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <ostream>

namespace korvex {

namespace {

constexpr std::size_t BAR_WIDTH = 24;

}  // namespace

ProgressBar::ProgressBar()
    : ProgressBar(std::cerr, ::isatty(STDERR_FILENO) == 1,
                  [] { return std::chrono::steady_clock::now(); }) {}

ProgressBar::ProgressBar(std::ostream& out, bool terminal, Clock clock)
    : out_(out), terminal_(terminal), clock_(std::move(clock)) {}

ProgressBar::~ProgressBar() {
    if (shown_) clear();
}

void ProgressBar::on_start(Environment&, const std::vector<Date>& days) {
    total_ = days.size();
    done_ = 0;
    if (terminal_) start_ = clock_();
}

void ProgressBar::on_day_end(Environment&, const DailyRecord&) {
    ++done_;
    if (!terminal_ || total_ == 0) return;
    auto now = clock_();
    if (now - start_ < DELAY) return;
    // The last day is always drawn so the bar stands full while the results are written.
    if (shown_ && now - last_draw_ < INTERVAL && done_ < total_) return;
    out_ << '\r' << format_line(done_, total_, now - start_) << "\x1b[K" << std::flush;
    shown_ = true;
    last_draw_ = now;
}

void ProgressBar::on_finish(Environment&, RunResult&) {
    if (shown_) clear();
}

void ProgressBar::clear() {
    out_ << "\r\x1b[K" << std::flush;
    shown_ = false;
}

std::string ProgressBar::format_line(std::size_t done, std::size_t total,
                                     std::chrono::duration<double> elapsed) {
    done = std::min(done, total);
    double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    auto filled = static_cast<std::size_t>(fraction * BAR_WIDTH);
    double seconds = elapsed.count();
    double speed = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string left = speed > 0 ? format_duration(std::chrono::duration<double>(
                                       static_cast<double>(total - done) / speed))
                                 : std::string("--");
    return fmt::format(
        "{}/{} days [{}{}] {:3.0f}%  {} days/s  {} left", done, total, std::string(filled, '#'),
        std::string(BAR_WIDTH - filled, '-'), std::floor(fraction * 100),
        speed < 10 ? fmt::format("{:.1f}", speed) : fmt::format("{:.0f}", speed), left);
}

std::string ProgressBar::format_duration(std::chrono::duration<double> d) {
    auto s = static_cast<long long>(std::ceil(std::max(0.0, d.count())));
    if (s < 60) return fmt::format("{}s", s);
    if (s < 3600) return fmt::format("{}m {:02}s", s / 60, s % 60);
    return fmt::format("{}h {:02}m", s / 3600, s % 3600 / 60);
}

}  // namespace korvex
