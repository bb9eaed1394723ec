#include "korvex/run_log.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "korvex/logger.hpp"

namespace korvex {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A word's particular, or the word itself when it has no digit.
std::string mask(std::string_view word) {
    if (std::none_of(word.begin(), word.end(), is_digit)) return std::string(word);
    // Punctuation around the particular stays.
    std::size_t b = 0, e = word.size();
    while (b < e && (word[b] == '(' || word[b] == '[' || word[b] == '\'')) ++b;
    while (e > b && std::string_view(",;:)]'").find(word[e - 1]) != std::string_view::npos) --e;
    const std::string_view core = word.substr(b, e - b);
    auto shaped = [&](std::string_view shape) {  // '9' stands for a digit
        if (core.size() != shape.size()) return false;
        for (std::size_t i = 0; i < core.size(); ++i)
            if (shape[i] == '9' ? !is_digit(core[i]) : core[i] != shape[i]) return false;
        return true;
    };
    std::string_view token = "{n}";
    if (shaped("9999-99-99"))
        token = "{date}";
    else if (shaped("99:99:99"))
        token = "{time}";
    else if (auto dot = core.rfind('.');
             dot != std::string_view::npos && dot + 2 < core.size() &&
             std::all_of(core.begin() + static_cast<long>(dot) + 1, core.end(),
                         [](char c) { return c >= 'A' && c <= 'Z'; }))
        token = "{id}";
    return std::string(word.substr(0, b)) + std::string(token) + std::string(word.substr(e));
}

}  // namespace

std::string reason_of(std::string_view message) {
    std::string out;
    std::size_t i = 0;
    while (i < message.size()) {
        // Words are runs of printable ASCII; spaces and other text are copied as they are.
        auto in_word = [](char c) {
            return static_cast<unsigned char>(c) < 0x80 && c != ' ' && std::isprint(c);
        };
        std::size_t j = i;
        while (j < message.size() && in_word(message[j])) ++j;
        if (j > i) {
            out += mask(message.substr(i, j - i));
            i = j;
        } else {
            out += message[i++];
        }
    }
    return out;
}

struct RunLog::Impl : spdlog::sinks::base_sink<std::mutex> {
    std::shared_ptr<spdlog::sinks::basic_file_sink_mt> file;
    std::map<std::string, std::size_t> counts;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (file) file->log(msg);
        if (msg.level == spdlog::level::warn && msg.logger_name == "user_system_log")
            ++counts[reason_of(std::string_view(msg.payload.data(), msg.payload.size()))];
    }
    void flush_() override {
        if (file) file->flush();
    }
};

RunLog::RunLog(const std::filesystem::path& file) : impl_(std::make_shared<Impl>()) {
    if (!file.empty()) {
        impl_->file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.string(), true);
        impl_->file->set_pattern("%Y-%m-%d %H:%M:%S %l %n: %v");
    }
    attach_to_both_logs(impl_);
}

RunLog::~RunLog() {
    detach_from_both_logs(impl_);
    if (impl_->file) impl_->file->flush();
}

void RunLog::failed(std::string_view reason) {
    if (!impl_->file) return;
    const std::string text = fmt::format("the run failed: {}", reason);
    spdlog::details::log_msg msg("system_log", spdlog::level::err, text);
    impl_->file->log(msg);
    impl_->file->flush();
}

std::vector<std::pair<std::string, std::size_t>> RunLog::warnings_by_reason() const {
    std::vector<std::pair<std::string, std::size_t>> out(impl_->counts.begin(),
                                                         impl_->counts.end());
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return out;
}

}  // namespace korvex
