// A small bundle generated once per test process, read back into plain maps so that the
// checks look at what a user of the database would see.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tools_test {

struct Field {
    std::string kind;
    std::string text;  // text and datetime values
    double number = 0.0;
};

struct ValuationRow {
    std::int32_t date;
    double dirty, clean, ytm, modified_duration, convexity, dv01, time_to_maturity, residual;
};
struct PriceRow {
    std::int32_t date;
    double open, high, low, eod, ytm, clean, volume;
};
struct RepoRow {
    std::int32_t date;
    double open, close, high, low, volume, turnover, weighted;
};
struct CashFlowRow {
    std::int32_t date;
    double total, receivable, principal;  // realized rows: receivable unused
};

struct SampleBundle {
    std::filesystem::path dir;
    std::vector<std::int32_t> exchange_days;    // trading_dates.txt
    std::vector<std::int32_t> inter_bank_days;  // trading_date table
    std::map<std::string, std::string> types;   // instrument -> bond / repo
    std::map<std::string, std::map<std::string, Field>> fields;
    std::map<std::string, std::vector<ValuationRow>> valuations;
    std::map<std::string, std::vector<PriceRow>> prices;
    std::map<std::string, std::vector<RepoRow>> repos;
    std::map<std::string, std::vector<CashFlowRow>> realized;
    std::map<std::string, std::vector<CashFlowRow>> implied;

    static constexpr std::int32_t START = 20190102;
    static constexpr std::int32_t END = 20201231;

    // Generated on first use (seed 7, 40 bonds, 2019-2020), removed at exit.
    static const SampleBundle& get();

    std::optional<double> number(const std::string& id, const std::string& name) const;
    std::string text(const std::string& id, const std::string& name) const;
    // The bond's coupon and market-data ids (suffix .IB, .SH or .SZ).
    std::vector<std::string> bonds_with_data() const;
};

// A fresh empty directory under the system temp directory, removed by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string& name);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// YYYYMMDD arithmetic through the calendar.
std::int32_t add_days(std::int32_t date, int days);
int days_between(std::int32_t from, std::int32_t to);
// `date` moved back by `months`, the day clamped to the month's end.
std::int32_t minus_months(std::int32_t date, int months);
// "2019-05-06 00:00:00" -> 20190506
std::int32_t date_of(const std::string& datetime);

}  // namespace tools_test
