#include "sample_bundle.hpp"

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>

#include <unistd.h>

#include "generator.hpp"
#include "sqlite_db.hpp"

namespace tools_test {

namespace fs = std::filesystem;
using korvex_tools::Database;

TempDir::TempDir(const std::string& name) {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() / ("korvex_tools_" + name + "_" + std::to_string(::getpid()) +
                                         "_" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

namespace {

SampleBundle load(const fs::path& dir) {
    SampleBundle b;
    b.dir = dir;
    std::ifstream calendar(dir / "trading_dates.txt");
    for (std::int32_t d; calendar >> d;) b.exchange_days.push_back(d);

    Database db(dir / "tavlen.sqlite", Database::Mode::ReadWrite);
    auto q = db.prepare("SELECT date FROM trading_date ORDER BY date");
    while (q.step()) b.inter_bank_days.push_back(static_cast<std::int32_t>(q.column_int(0)));
    q = db.prepare("SELECT order_book_id, type FROM instrument ORDER BY seq");
    while (q.step()) b.types[q.column_text(0)] = q.column_text(1);
    q = db.prepare(
        "SELECT order_book_id, name, kind, value FROM instrument_field ORDER BY order_book_id, "
        "seq");
    while (q.step()) {
        Field f{q.column_text(2), q.column_text(3), q.column_double(3)};
        b.fields[q.column_text(0)][q.column_text(1)] = f;
    }
    q = db.prepare(
        "SELECT order_book_id, date, dirty_price_eod, clean_price, ytm, modified_duration, "
        "convexity, dv01, time_to_maturity, residual_principal FROM valuation "
        "WHERE source = 'chinabond' AND valuation_type = 'recommended' ORDER BY 1, 2");
    while (q.step()) {
        b.valuations[q.column_text(0)].push_back(
            {static_cast<std::int32_t>(q.column_int(1)), q.column_double(2), q.column_double(3),
             q.column_double(4), q.column_double(5), q.column_double(6), q.column_double(7),
             q.column_double(8), q.column_double(9)});
    }
    q = db.prepare(
        "SELECT order_book_id, date, dirty_price_open, dirty_price_high, dirty_price_low, "
        "dirty_price_eod, ytm_close, clean_price_eod, volume FROM price "
        "WHERE source = 'cfets' ORDER BY 1, 2");
    while (q.step()) {
        b.prices[q.column_text(0)].push_back(
            {static_cast<std::int32_t>(q.column_int(1)), q.column_double(2), q.column_double(3),
             q.column_double(4), q.column_double(5), q.column_double(6), q.column_double(7),
             q.column_double(8)});
    }
    q = db.prepare(
        "SELECT order_book_id, date, open, close, high, low, volume, total_turnover, "
        "weighted FROM repo_quotation ORDER BY 1, 2");
    while (q.step()) {
        b.repos[q.column_text(0)].push_back(
            {static_cast<std::int32_t>(q.column_int(1)), q.column_double(2), q.column_double(3),
             q.column_double(4), q.column_double(5), q.column_double(6), q.column_double(7),
             q.column_double(8)});
    }
    q = db.prepare(
        "SELECT order_book_id, payment_date, cash_flow, principal_payment "
        "FROM realized_cash_flow ORDER BY order_book_id, seq");
    while (q.step()) {
        b.realized[q.column_text(0)].push_back({static_cast<std::int32_t>(q.column_int(1)),
                                                q.column_double(2), 0.0, q.column_double(3)});
    }
    q = db.prepare(
        "SELECT order_book_id, date, total_payment, payment_receivable, principal_payment "
        "FROM implied_cash_flow ORDER BY order_book_id, seq");
    while (q.step()) {
        b.implied[q.column_text(0)].push_back({static_cast<std::int32_t>(q.column_int(1)),
                                               q.column_double(2), q.column_double(3),
                                               q.column_double(4)});
    }
    return b;
}

}  // namespace

const SampleBundle& SampleBundle::get() {
    static const std::unique_ptr<TempDir> dir = std::make_unique<TempDir>("sample");
    static const SampleBundle bundle = [] {
        korvex_generate::GeneratorOptions options;
        options.out = dir->path() / "bundle";
        options.seed = 7;
        options.start = korvex::make_date(2019, 1, 2);
        options.end = korvex::make_date(2020, 12, 31);
        options.bonds = 40;
        options.minute_bonds = 2;
        korvex_generate::generate_bundle(options);
        return load(options.out);
    }();
    return bundle;
}

std::optional<double> SampleBundle::number(const std::string& id, const std::string& name) const {
    const auto& record = fields.at(id);
    auto it = record.find(name);
    if (it == record.end() || it->second.kind == "none") return std::nullopt;
    return it->second.number;
}

std::string SampleBundle::text(const std::string& id, const std::string& name) const {
    return fields.at(id).at(name).text;
}

std::vector<std::string> SampleBundle::bonds_with_data() const {
    std::vector<std::string> ids;
    for (const auto& [id, type] : types) {
        if (type == "bond" && (id.ends_with(".IB") || id.ends_with(".SH") || id.ends_with(".SZ"))) {
            ids.push_back(id);
        }
    }
    return ids;
}

namespace {

std::chrono::sys_days to_days(std::int32_t d) {
    return std::chrono::year_month_day{std::chrono::year(d / 10000),
                                       std::chrono::month(static_cast<unsigned>(d / 100 % 100)),
                                       std::chrono::day(static_cast<unsigned>(d % 100))};
}

std::int32_t from_ymd(std::chrono::year_month_day ymd) {
    return static_cast<int>(ymd.year()) * 10000 +
           static_cast<int>(static_cast<unsigned>(ymd.month())) * 100 +
           static_cast<int>(static_cast<unsigned>(ymd.day()));
}

}  // namespace

std::int32_t add_days(std::int32_t date, int days) {
    return from_ymd(std::chrono::year_month_day(to_days(date) + std::chrono::days(days)));
}

int days_between(std::int32_t from, std::int32_t to) {
    return static_cast<int>((to_days(to) - to_days(from)).count());
}

std::int32_t minus_months(std::int32_t date, int months) {
    using namespace std::chrono;
    year_month_day ymd{year(date / 10000), month(static_cast<unsigned>(date / 100 % 100)),
                       day(static_cast<unsigned>(date % 100))};
    const year_month ym = year_month(ymd.year(), ymd.month()) - std::chrono::months(months);
    const auto last = year_month_day_last(ym.year(), month_day_last(ym.month())).day();
    return from_ymd(year_month_day(ym.year(), ym.month(), std::min(ymd.day(), last)));
}

std::int32_t date_of(const std::string& datetime) {
    return std::stoi(datetime.substr(0, 4)) * 10000 + std::stoi(datetime.substr(5, 2)) * 100 +
           std::stoi(datetime.substr(8, 2));
}

}  // namespace tools_test
