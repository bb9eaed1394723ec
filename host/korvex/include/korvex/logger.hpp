// The host's two loggers: system_log for the engine's own lines, user_system_log for lines a
// strategy's author should read (refused orders and the like). LogCapture records every line
// for tests.
#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace spdlog {
class logger;
namespace sinks {
class sink;
}
}  // namespace spdlog

namespace korvex {

class Logger {
public:
    explicit Logger(std::shared_ptr<spdlog::logger> impl) : impl_(std::move(impl)) {}

    void debug(std::string_view msg);
    void info(std::string_view msg);
    void warning(std::string_view msg);
    void warn(std::string_view msg) { warning(msg); }
    void error(std::string_view msg);

    template <class... Args>
    void debug(fmt::format_string<Args...> f, Args&&... args) {
        debug(std::string_view(fmt::format(f, std::forward<Args>(args)...)));
    }
    template <class... Args>
    void info(fmt::format_string<Args...> f, Args&&... args) {
        info(std::string_view(fmt::format(f, std::forward<Args>(args)...)));
    }
    template <class... Args>
    void warning(fmt::format_string<Args...> f, Args&&... args) {
        warning(std::string_view(fmt::format(f, std::forward<Args>(args)...)));
    }

    spdlog::logger& impl() { return *impl_; }

private:
    std::shared_ptr<spdlog::logger> impl_;
};

Logger& system_log();
Logger& user_system_log();

// Console level for both loggers: "debug", "info", "warning", "error", "off".
void set_log_level(std::string_view level);
// Whether user_system_log's lines below errors reach the terminal (on by default); they reach
// every other sink (a run's log file, a capture) either way.
void set_user_log_on_console(bool on);

// Adds a sink to both loggers (every level), and takes it off again.
void attach_to_both_logs(const std::shared_ptr<spdlog::sinks::sink>& sink);
void detach_from_both_logs(const std::shared_ptr<spdlog::sinks::sink>& sink);

struct LogLine {
    std::string logger;  // "system_log" or "user_system_log"
    std::string level;   // "debug", "info", "warning", "error"
    std::string message;
    bool operator==(const LogLine&) const = default;
};

// While alive, records every line of both loggers (all levels) in order.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    std::vector<std::string> messages(std::string_view logger = {}) const;
    void clear();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace korvex
