// One small data set, written both into a SQLite file with the documented schema and into a
// MemoryBackend, so the same expectations run against both backends.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvex/value.hpp"
#include "tavlen/memory_backend.hpp"
#include "tavlen/schema.hpp"
#include "tavlen/table.hpp"

namespace tavlen_test {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        static std::atomic<int> n{0};
        path_ = fs::temp_directory_path() /
                ("tavlen_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A writable connection for building test databases.
class Db {
public:
    explicit Db(const fs::path& path, bool with_schema = true) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open");
        if (with_schema) exec(tavlen::schema_sql());
    }
    ~Db() { sqlite3_close(db_); }
    void exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string msg = err ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error(msg + " in: " + sql);
        }
    }
    sqlite3* get() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

struct SampleInstrument {
    std::string id;
    std::string type;  // "bond" / "repo"
    korvex::Record record;
};

struct SampleTable {
    std::string sql_table;
    std::string id;
    std::vector<std::pair<std::string, std::string>> keys;  // extra key columns (source, ...)
    std::string date_level;                                 // "date" / "payment_date"
    bool has_seq = false;
    std::vector<std::string> columns;
    std::vector<std::pair<std::int32_t, std::vector<double>>> rows;

    tavlen::TablePtr table() const {
        auto t = std::make_shared<tavlen::Table>(columns, date_level);
        for (const auto& [date, values] : rows) t->append(id, korvex::date_from_int(date), values);
        return t;
    }
};

inline korvex::DateTime dt(int y, unsigned m, unsigned d) {
    return korvex::make_datetime(y, m, d);
}

inline std::vector<SampleInstrument> sample_instruments() {
    return {
        {"B.SH", "bond",
         korvex::Record{{"order_book_id", "B.SH"},
                        {"symbol", "B bond"},
                        {"listed_date", dt(2019, 3, 1)},
                        {"de_listed_date", dt(2029, 3, 1)},
                        {"exchange", "XSHG"},
                        {"initial_issue_size", 1.5e9},
                        {"issue_price", 100.0},
                        {"is_callable", true}}},
        {"A.IB", "bond",
         korvex::Record{{"order_book_id", "A.IB"},
                        {"listed_date", dt(2020, 1, 2)},
                        {"de_listed_date", korvex::Value()},
                        {"exchange", "CIBM"},
                        {"initial_issue_size", 2e10},
                        {"round_lot", 10}}},
        {"R007.IB", "repo",
         korvex::Record{{"order_book_id", "R007.IB"}, {"symbol", "R007"}, {"repo_period", 7}}},
        {"Z.IB", "repo", korvex::Record{{"order_book_id", "Z.IB"}}},
    };
}

inline const std::vector<std::int32_t> SAMPLE_TRADING_DATES{20200102, 20200103, 20200106, 20200107,
                                                            20200108};

inline std::vector<SampleTable> sample_tables() {
    return {
        {"repo_quotation",
         "R007.IB",
         {},
         "date",
         false,
         {"open", "close", "high", "low", "volume", "total_turnover", "weighted"},
         {{20200102, {0.021, 0.022, 0.025, 0.02, 1e6, 2e8, 0.0215}},
          {20200103, {0.022, 0.023, 0.026, 0.021, 2e6, 3e8, 0.0225}},
          {20200106, {0.023, 0.024, 0.027, 0.022, 3e6, 4e8, 0.0235}}}},
        {"valuation",
         "A.IB",
         {{"source", "chinabond"}, {"valuation_type", "recommended"}},
         "date",
         false,
         {"dirty_price_eod", "dv01", "ytm", "clean_price", "modified_duration", "convexity",
          "time_to_maturity", "residual_principal"},
         {{20200102, {101.5, 0.05, 0.031, 100.2, 4.5, 25.0, 5.0, 100.0}},
          {20200106, {101.7, 0.05, 0.030, 100.3, 4.5, 25.0, 4.99, 100.0}}}},
        {"price",
         "A.IB",
         {{"source", "cfets"}},
         "date",
         false,
         {"dirty_price_open", "dirty_price_high", "dirty_price_low", "dirty_price_eod", "ytm_close",
          "clean_price_eod", "volume"},
         {{20200103, {101.0, 101.9, 100.9, 101.6, 0.0305, 100.25, 5e7}}}},
        // Delivery order is seq, not date.
        {"realized_cash_flow",
         "A.IB",
         {},
         "payment_date",
         true,
         {"cash_flow", "principal_payment"},
         {{20210102, {3.0, 0.0}}, {20200102, {103.0, 100.0}}}},
        {"implied_cash_flow",
         "A.IB",
         {},
         "date",
         true,
         {"total_payment", "payment_receivable", "principal_payment"},
         {{20200102, {0.0, 3.0, 0.0}},
          {20200106, {3.0, 0.0, 0.0}},
          {20210102, {103.0, 0.0, 100.0}}}},
    };
}

inline std::string field_kind(const korvex::Value& v) {
    return v.kind() == "str" ? "text" : v.kind();
}

inline void bind_value(sqlite3_stmt* s, int i, const korvex::Value& v) {
    if (v.is_none())
        sqlite3_bind_null(s, i);
    else if (v.is_bool())
        sqlite3_bind_int64(s, i, v.as_bool() ? 1 : 0);
    else if (v.is_int())
        sqlite3_bind_int64(s, i, v.as_int());
    else if (v.is_float())
        sqlite3_bind_double(s, i, v.as_double());
    else
        sqlite3_bind_text(s, i, v.to_string().c_str(), -1, SQLITE_TRANSIENT);
}

inline void run(sqlite3* db, const std::string& sql, const std::vector<korvex::Value>& args) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string(sqlite3_errmsg(db)) + " in: " + sql);
    for (std::size_t i = 0; i < args.size(); ++i) bind_value(s, static_cast<int>(i + 1), args[i]);
    int rc = sqlite3_step(s);
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        throw std::runtime_error(std::string(sqlite3_errmsg(db)) + " in: " + sql);
}

inline void write_sample(Db& db) {
    db.exec("BEGIN");
    int seq = 0;
    for (const auto& inst : sample_instruments()) {
        run(db.get(), "INSERT INTO instrument VALUES (?, ?, ?)", {inst.id, inst.type, seq++});
        int field_seq = 0;
        for (const auto& [name, value] : inst.record)
            run(db.get(), "INSERT INTO instrument_field VALUES (?, ?, ?, ?, ?)",
                {inst.id, name, field_seq++, field_kind(value), value});
    }
    for (auto d : SAMPLE_TRADING_DATES) run(db.get(), "INSERT INTO trading_date VALUES (?)", {d});
    for (const auto& t : sample_tables()) {
        std::string cols = "order_book_id", marks = "?";
        for (const auto& k : t.keys) cols += ", " + k.first, marks += ", ?";
        if (t.has_seq) cols += ", seq", marks += ", ?";
        cols += ", " + t.date_level, marks += ", ?";
        for (const auto& c : t.columns) cols += ", " + c, marks += ", ?";
        int row_seq = 0;
        for (const auto& [date, values] : t.rows) {
            std::vector<korvex::Value> args{t.id};
            for (const auto& k : t.keys) args.emplace_back(k.second);
            if (t.has_seq) args.emplace_back(row_seq++);
            args.emplace_back(date);
            for (double v : values) args.emplace_back(v);
            run(db.get(), "INSERT INTO " + t.sql_table + " (" + cols + ") VALUES (" + marks + ")",
                args);
        }
    }
    db.exec("COMMIT");
}

inline void fill_sample(tavlen::MemoryBackend& m) {
    std::map<std::string, std::vector<std::string>> lists;
    for (const auto& inst : sample_instruments()) {
        lists[inst.type].push_back(inst.id);
        m.add_instrument(inst.record);
    }
    for (auto& [type, ids] : lists) m.set_bond_list(type, ids);
    std::vector<korvex::Date> dates;
    for (auto d : SAMPLE_TRADING_DATES) dates.push_back(korvex::date_from_int(d));
    m.set_trading_dates(dates);
    for (const auto& t : sample_tables()) {
        if (t.sql_table == "repo_quotation") m.set_quotation(t.id, t.table());
        if (t.sql_table == "valuation") m.set_valuation(t.id, t.table());
        if (t.sql_table == "price") m.set_price(t.id, t.table());
        if (t.sql_table == "realized_cash_flow") m.set_realized_cash_flow(t.id, t.table());
        if (t.sql_table == "implied_cash_flow") m.set_implied_cash_flow(t.id, t.table());
    }
}

}  // namespace tavlen_test
