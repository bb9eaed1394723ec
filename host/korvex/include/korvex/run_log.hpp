// A run's log: while it lives, every line of both loggers, all levels, goes to a file beside the
// results, and the user log's warnings (refused, rejected and expired orders) are counted by
// reason, for the summary and the report.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvex {

class RunLog {
public:
    // An empty path counts without writing a file.
    explicit RunLog(const std::filesystem::path& file);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // The user log's warnings by reason, the most frequent first (ties by reason).
    std::vector<std::pair<std::string, std::size_t>> warnings_by_reason() const;
    // Writes why the run ended early into the file only (the caller reports it to the user).
    void failed(std::string_view reason);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// What a warning says with its particulars masked, so that warnings of one kind count together:
// "Order rejected: 175001.SH has no market data at 2020-12-23 15:00:00" becomes
// "Order rejected: {id} has no market data at {date} {time}"; other numbers become {n}.
std::string reason_of(std::string_view message);

}  // namespace korvex
