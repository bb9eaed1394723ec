#include "korvex/logger.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <mutex>

namespace korvex {

namespace {

std::shared_ptr<spdlog::sinks::sink> make_console_sink() {
    auto s = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    s->set_pattern("%Y-%m-%d %H:%M:%S %^%l%$ %n: %v");
    s->set_level(spdlog::level::info);
    return s;
}

// One console sink per logger, so that the user log's lines can stay off the terminal.
std::shared_ptr<spdlog::sinks::sink>& console_sink(bool user) {
    static std::shared_ptr<spdlog::sinks::sink> system = make_console_sink();
    static std::shared_ptr<spdlog::sinks::sink> user_log = make_console_sink();
    return user ? user_log : system;
}

spdlog::level::level_enum g_console_level = spdlog::level::info;
bool g_user_console = true;

std::shared_ptr<spdlog::logger> make_logger(const std::string& name) {
    auto logger = std::make_shared<spdlog::logger>(name, console_sink(name == "user_system_log"));
    logger->set_level(spdlog::level::trace);  // sinks filter
    return logger;
}

std::string level_text(spdlog::level::level_enum l) {
    switch (l) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            return "debug";
        case spdlog::level::info:
            return "info";
        case spdlog::level::warn:
            return "warning";
        default:
            return "error";
    }
}

}  // namespace

void Logger::debug(std::string_view msg) {
    impl_->debug(msg);
}
void Logger::info(std::string_view msg) {
    impl_->info(msg);
}
void Logger::warning(std::string_view msg) {
    impl_->warn(msg);
}
void Logger::error(std::string_view msg) {
    impl_->error(msg);
}

Logger& system_log() {
    static Logger logger(make_logger("system_log"));
    return logger;
}

Logger& user_system_log() {
    static Logger logger(make_logger("user_system_log"));
    return logger;
}

namespace {
void apply_console_levels() {
    console_sink(false)->set_level(g_console_level);
    console_sink(true)->set_level(g_user_console ? g_console_level
                                                 : std::max(g_console_level, spdlog::level::err));
}
}  // namespace

void set_log_level(std::string_view level) {
    g_console_level = spdlog::level::from_str(std::string(level == "warning" ? "warn" : level));
    apply_console_levels();
}

void set_user_log_on_console(bool on) {
    g_user_console = on;
    apply_console_levels();
}

struct LogCapture::Impl : spdlog::sinks::base_sink<std::mutex> {
    std::vector<LogLine> lines;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines.push_back({std::string(msg.logger_name.begin(), msg.logger_name.end()),
                         level_text(msg.level),
                         std::string(msg.payload.begin(), msg.payload.end())});
    }
    void flush_() override {}
};

void attach_to_both_logs(const std::shared_ptr<spdlog::sinks::sink>& sink) {
    sink->set_level(spdlog::level::trace);
    system_log().impl().sinks().push_back(sink);
    user_system_log().impl().sinks().push_back(sink);
}

void detach_from_both_logs(const std::shared_ptr<spdlog::sinks::sink>& sink) {
    for (Logger* l : {&system_log(), &user_system_log()}) {
        auto& sinks = l->impl().sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
    }
}

LogCapture::LogCapture() : impl_(std::make_shared<Impl>()) {
    attach_to_both_logs(impl_);
}

LogCapture::~LogCapture() {
    detach_from_both_logs(impl_);
}

std::vector<LogLine> LogCapture::lines() const {
    return impl_->lines;
}

std::vector<std::string> LogCapture::messages(std::string_view logger) const {
    std::vector<std::string> out;
    for (auto& l : impl_->lines)
        if (logger.empty() || l.logger == logger) out.push_back(l.message);
    return out;
}

void LogCapture::clear() {
    impl_->lines.clear();
}

}  // namespace korvex
