#include "importer.hpp"

#include <algorithm>
#include <compare>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "cells.hpp"
#include "csv_reader.hpp"
#include "korvex_mod_lumeq_data/data_store.hpp"
#include "sqlite_db.hpp"
#include "table_layouts.hpp"
#include "tavlen/schema.hpp"

namespace korvex_import {

namespace {

namespace fs = std::filesystem;
using korvex_tools::Database;
using korvex_tools::Statement;

constexpr const char* DATABASE_FILE = "tavlen.sqlite";
constexpr const char* CALENDAR_FILE = "trading_dates.txt";

bool is_cash_flow(std::string_view table) {
    return table == "realized_cash_flow" || table == "implied_cash_flow";
}

std::string table_names() {
    std::string names;
    for (const TableLayout& l : table_layouts())
        names += (names.empty() ? "" : ", ") + std::string(l.table);
    return names;
}

const TableLayout& layout_of(const fs::path& file, const std::string& table) {
    const std::string name = table.empty() ? file.stem().string() : table;
    if (const TableLayout* layout = find_layout(name)) return *layout;
    throw ImportError(file.string(), 0, "",
                      table.empty() ? fmt::format("the file name does not name a table; name it "
                                                  "<table>.csv or give the table ({})",
                                                  table_names())
                                    : fmt::format("unknown table '{}' ({})", table, table_names()));
}

// Instruments first, so that the other tables of the same import may name them, then the
// calendars, so that the day rows of the same import are checked against them.
int rank(std::string_view table) {
    if (table == "instrument") return 0;
    if (table == "instrument_field") return 1;
    if (table == "trading_date" || table == EXCHANGE_CALENDAR) return 2;
    return 3;
}

void bind(Statement& s, int index, const CellValue& v) {
    switch (v.kind) {
        case CellValue::Kind::Null:
            s.bind_null(index);
            break;
        case CellValue::Kind::Integer:
            s.bind(index, v.integer);
            break;
        case CellValue::Kind::Real:
            s.bind(index, v.real);
            break;
        case CellValue::Kind::Text:
            s.bind(index, v.text);
            break;
    }
}

std::set<std::int32_t> read_calendar(const fs::path& path) {
    std::set<std::int32_t> dates;
    std::ifstream in(path);
    if (!in) return dates;
    std::string line;
    for (std::size_t n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        CellValue v;
        const std::string problem = check_cell(CellType::Date, line, "", v);
        if (!problem.empty()) throw ImportError(path.string(), n, "", problem);
        dates.insert(static_cast<std::int32_t>(v.integer));
    }
    return dates;
}

// Where a row was read: the file's place in the import and the line.
struct Origin {
    std::size_t file;
    std::size_t line;
    auto operator<=>(const Origin&) const = default;
};

// The rows of one instrument for a record-file table, as records of the table's layout in
// reading order until staged.
struct RecordSeries {
    std::vector<std::byte> records;
    std::vector<Origin> origins;
};

// Where the cells of a record-file table go: the member of each column (none for
// order_book_id) and the quoted levels as (price column, size column).
struct RecordColumns {
    std::vector<const korvex::FieldSpec*> fields;
    std::vector<std::pair<std::size_t, std::size_t>> levels;

    explicit RecordColumns(const TableLayout& layout) : fields(layout.columns.size()) {
        for (std::size_t c = 1; c < layout.columns.size(); ++c) {
            const std::string_view name = layout.columns[c].name;
            fields[c] = &layout.files->layout->at(name);
            if (layout.columns[c].type != CellType::Size) continue;
            const std::string_view price = name.substr(0, name.size() - 2);
            for (std::size_t p = 1; p < layout.columns.size(); ++p) {
                if (layout.columns[p].name == price) levels.emplace_back(p, c);
            }
        }
    }
};

std::int64_t stamp_at(const std::byte* record, const korvex::FieldSpec& datetime) {
    std::int64_t stamp = 0;
    std::memcpy(&stamp, record + datetime.offset, sizeof stamp);
    return stamp;
}

class Importer {
public:
    Importer(const fs::path& bundle, bool create)
        : bundle_(bundle),
          db_(bundle / DATABASE_FILE, create ? Database::Mode::Create : Database::Mode::ReadWrite) {
        // Write-ahead logging lets a backtest go on reading while an import commits.
        db_.exec("PRAGMA journal_mode = WAL");
        db_.exec("BEGIN IMMEDIATE");
        db_.exec(tavlen::schema_sql());
        check_schema_version(create);
        finish_interrupted_import();
        Statement ids = db_.prepare("SELECT order_book_id FROM instrument");
        while (ids.step()) known_ids_.insert(ids.column_text(0));
        Statement days = db_.prepare("SELECT date FROM trading_date");
        while (days.step()) inter_bank_days_.insert(static_cast<std::int32_t>(days.column_int(0)));
        exchange_days_ = read_calendar(bundle_ / CALENDAR_FILE);
    }

    std::size_t import_file(const fs::path& path, const TableLayout& layout) {
        CsvReader reader(path);
        const std::vector<int> columns = map_header(reader, layout);
        files_.push_back(reader.file());
        std::optional<RecordColumns> record_columns;
        if (layout.files) record_columns.emplace(layout);
        Statement insert = db_.prepare(insert_sql(layout));
        std::optional<Statement> clear;
        if (is_cash_flow(layout.table)) {
            clear =
                db_.prepare(fmt::format("DELETE FROM {} WHERE order_book_id = ?", layout.table));
        }
        auto& seen = keys_[std::string(layout.table)];
        std::vector<CellValue> values(layout.columns.size());
        CsvRecord record;
        std::size_t rows = 0;
        while (reader.next(record)) {
            std::string key;
            for (std::size_t c = 0; c < layout.columns.size(); ++c) {
                const ColumnSpec& spec = layout.columns[c];
                const std::string& cell = record.cells[static_cast<std::size_t>(columns[c])];
                // The value column of a field is read after its kind (earlier in the layout).
                // Both branches are views: a string and a literal would make a temporary string.
                const std::string_view kind = spec.type == CellType::FieldValue
                                                  ? std::string_view(values[2].text)
                                                  : std::string_view();
                const std::string problem = check_cell(spec.type, cell, kind, values[c]);
                if (!problem.empty())
                    throw ImportError(reader.file(), record.line, std::string(spec.name), problem);
                if (std::find(layout.key.begin(), layout.key.end(), spec.name) !=
                    layout.key.end()) {
                    key += cell_key(values[c]);
                }
            }
            check_row(reader.file(), record.line, layout, values, key, seen);
            if (record_columns) {
                add_record(reader.file(), record.line, layout, *record_columns, values);
            } else {
                store_row(layout, values, insert, clear);
            }
            ++rows;
        }
        return rows;
    }

    // Writes the merged exchange calendar beside the old one; commit() moves it into place.
    void stage_calendar() {
        if (calendar_.empty()) return;
        const fs::path path = bundle_ / CALENDAR_FILE;
        std::set<std::int32_t> dates = read_calendar(path);
        dates.insert(calendar_.begin(), calendar_.end());
        staged_calendar_ = bundle_ / (std::string(CALENDAR_FILE) + PARTIAL);
        std::ofstream out(*staged_calendar_, std::ios::binary | std::ios::trunc);
        for (std::int32_t d : dates) out << d << '\n';
        out.close();
        if (!out) throw ImportError(staged_calendar_->string(), 0, "", "cannot write the file");
    }

    // Sorts every instrument's records by datetime, refuses a datetime given twice, then writes
    // each instrument's file beside its old one; commit() moves them into place.
    void stage_record_files() {
        std::optional<std::pair<Origin, Origin>> duplicate;  // (later, earlier), first read
        for (auto& [layout, series] : records_) {
            for (auto& [id, s] : series) {
                auto found = sort_records(*layout->files->layout, s);
                if (found && (!duplicate || found->first < duplicate->first)) duplicate = found;
            }
        }
        if (duplicate) {
            const auto [later, earlier] = *duplicate;
            throw ImportError(
                files_[later.file], later.line, "datetime",
                fmt::format("duplicate row: the same (order_book_id, datetime) as {}:{}",
                            files_[earlier.file], earlier.line));
        }
        for (const auto& [layout, series] : records_) {
            const fs::path folder = bundle_ / layout->files->folder;
            for (const auto& [id, s] : series) {
                const fs::path target = folder / (id + ".h5");
                const fs::path& staged =
                    staged_files_.emplace_back(folder / (id + ".h5" + PARTIAL), target).first;
                try {
                    korvex_mod_lumeq_data::write_h5_minute_bars(staged, *layout->files->layout,
                                                                s.records);
                } catch (const std::exception& e) {
                    throw ImportError(target.string(), 0, "", e.what());
                }
            }
        }
    }

    // Saves the database with the list of staged files to move, then moves them into place and
    // clears the list. Killed between the two, the next import (or korvex-import with no files)
    // finishes the moves, and readers refuse the bundle until then. A file that cannot be moved
    // is not the import's undoing: the others are still moved, its new content stays in the
    // staged file, and the error says so.
    void commit() {
        std::vector<std::pair<fs::path, fs::path>> moves = std::move(staged_files_);
        staged_files_.clear();
        if (staged_calendar_) moves.emplace_back(*staged_calendar_, bundle_ / CALENDAR_FILE);
        staged_calendar_.reset();
        if (!moves.empty()) save_pending_moves(moves);
        db_.exec("COMMIT");
        committed_ = true;
        const auto failed = move_into_place(moves);
        if (failed.empty()) return;
        const auto& [staged, target, message] = failed.front();
        throw ImportError(target.string(), 0, "",
                          fmt::format("the database and the other files were saved, but this "
                                      "file could not be replaced ({}); its new content is in {}",
                                      message, staged.string()))
            .set_saved();
    }

    ~Importer() {
        if (!committed_) {
            try {
                db_.exec("ROLLBACK");
            } catch (const std::exception&) {
                // closing the connection rolls back as well
            }
        }
        std::error_code ignored;
        if (staged_calendar_) fs::remove(*staged_calendar_, ignored);
        for (const auto& staged : staged_files_) fs::remove(staged.first, ignored);
    }

private:
    static constexpr const char* PARTIAL = ".partial";

    std::string relative(const fs::path& p) const { return p.lexically_relative(bundle_).string(); }

    void save_pending_moves(const std::vector<std::pair<fs::path, fs::path>>& moves) {
        std::string list;
        for (const auto& [staged, target] : moves)
            list += relative(staged) + '\t' + relative(target) + '\n';
        db_.prepare("INSERT OR REPLACE INTO meta (key, value) VALUES ('pending_moves', ?)")
            .bind(1, list)
            .run();
    }

    struct FailedMove {
        fs::path staged, target;
        std::string message;
    };

    // Moves each staged file over its target; the list in the database keeps what failed.
    std::vector<FailedMove> move_into_place(
        const std::vector<std::pair<fs::path, fs::path>>& moves) {
        std::vector<FailedMove> failed;
        std::vector<std::pair<fs::path, fs::path>> left;
        for (const auto& [staged, target] : moves) {
            std::error_code ec;
            fs::rename(staged, target, ec);
            if (!ec || (!fs::exists(staged) && fs::exists(target))) continue;
            failed.push_back({staged, target, ec.message()});
            left.emplace_back(staged, target);
        }
        if (left.empty()) {
            db_.exec("DELETE FROM meta WHERE key = 'pending_moves'");
        } else {
            save_pending_moves(left);
        }
        return failed;
    }

    // What an import killed part-way left: after its commit, files still to move into place;
    // before it, staged files nothing will use.
    void finish_interrupted_import() {
        std::vector<std::pair<fs::path, fs::path>> moves;
        Statement pending = db_.prepare("SELECT value FROM meta WHERE key = 'pending_moves'");
        const bool listed = pending.step();
        if (listed) {
            std::istringstream list(pending.column_text(0));
            for (std::string line; std::getline(list, line);) {
                const auto tab = line.find('\t');
                if (tab == std::string::npos) continue;
                moves.emplace_back(bundle_ / line.substr(0, tab), bundle_ / line.substr(tab + 1));
            }
        }
        if (!moves.empty()) {
            const auto failed = move_into_place(moves);
            if (!failed.empty())
                throw ImportError(
                    failed.front().target.string(), 0, "",
                    fmt::format("an earlier import saved this file's new content "
                                "in {} but it cannot be moved into place ({})",
                                failed.front().staged.string(), failed.front().message));
        } else if (listed) {
            db_.exec("DELETE FROM meta WHERE key = 'pending_moves'");
        }
        std::error_code ignored;
        fs::remove(bundle_ / (std::string(CALENDAR_FILE) + PARTIAL), ignored);
        for (const TableLayout& layout : table_layouts()) {
            if (!layout.files) continue;
            const fs::path folder = bundle_ / layout.files->folder;
            if (!fs::is_directory(folder, ignored)) continue;
            for (const auto& entry : fs::directory_iterator(folder, ignored)) {
                if (entry.path().extension() == PARTIAL) fs::remove(entry.path(), ignored);
            }
        }
    }

    void check_schema_version(bool create) {
        if (create) {
            db_.exec(
                fmt::format("INSERT OR REPLACE INTO meta (key, value) VALUES "
                            "('schema_version', '{}'), ('generator', 'korvex-import')",
                            tavlen::SCHEMA_VERSION));
            return;
        }
        Statement version = db_.prepare("SELECT value FROM meta WHERE key = 'schema_version'");
        if (version.step() && version.column_text(0) != std::to_string(tavlen::SCHEMA_VERSION)) {
            throw ImportError(db_.path().string(), 0, "",
                              fmt::format("schema version {} is not supported (expected {})",
                                          version.column_text(0), tavlen::SCHEMA_VERSION));
        }
    }

    // Position in the file of each layout column.
    static std::vector<int> map_header(const CsvReader& reader, const TableLayout& layout) {
        const auto& header = reader.header();
        std::vector<int> columns(layout.columns.size(), -1);
        for (std::size_t h = 0; h < header.cells.size(); ++h) {
            const std::string& name = header.cells[h];
            auto it = std::find_if(layout.columns.begin(), layout.columns.end(),
                                   [&](const ColumnSpec& c) { return c.name == name; });
            if (it == layout.columns.end()) {
                std::string expected;
                for (const auto& c : layout.columns)
                    expected += (expected.empty() ? "" : ", ") + std::string(c.name);
                throw ImportError(
                    reader.file(), header.line, name,
                    fmt::format("not a column of {} (expected {})", layout.table, expected));
            }
            int& slot = columns[static_cast<std::size_t>(it - layout.columns.begin())];
            if (slot >= 0)
                throw ImportError(reader.file(), header.line, name, "the column appears twice");
            slot = static_cast<int>(h);
        }
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (columns[c] < 0) {
                throw ImportError(reader.file(), header.line, std::string(layout.columns[c].name),
                                  "required column is missing from the header");
            }
        }
        return columns;
    }

    static std::string cell_key(const CellValue& v) {
        if (v.kind == CellValue::Kind::Real) return fmt::format("{}\x1f", v.real);  // 1 == 1.0
        return (v.kind == CellValue::Kind::Integer ? std::to_string(v.integer) : v.text) + '\x1f';
    }

    void check_row(const std::string& file, std::size_t line, const TableLayout& layout,
                   const std::vector<CellValue>& values, const std::string& key,
                   std::unordered_map<std::string, std::string>& seen) {
        const std::string where = fmt::format("{}:{}", file, line);
        if (!key.empty()) {
            auto [it, fresh] = seen.emplace(key, where);
            if (!fresh) {
                std::string names;
                for (auto k : layout.key) names += (names.empty() ? "" : ", ") + std::string(k);
                throw ImportError(
                    file, line, "",
                    fmt::format("duplicate row: the same ({}) as {}", names, it->second));
            }
        }
        check_prices(file, line, layout, values);
        check_curve_point(file, line, layout, values);
        check_trading_day(file, line, layout, values);
        if (layout.columns.front().name != "order_book_id") return;
        const std::string& id = values.front().text;
        if (layout.table == "instrument") {
            known_ids_.insert(id);
        } else if (!known_ids_.contains(id)) {
            throw ImportError(
                file, line, "order_book_id",
                fmt::format("unknown instrument '{}': import it in instrument.csv first", id));
        }
    }

    // Prices that cannot be: zero or negative, a high below the low. A run would otherwise mark
    // a holding at nothing, or fill at an impossible price.
    static void check_prices(const std::string& file, std::size_t line, const TableLayout& layout,
                             const std::vector<CellValue>& values) {
        struct Rules {
            std::vector<std::string_view> positive;
            std::string_view high, low;
        };
        static const std::map<std::string_view, Rules> rules{
            {"price",
             {{"dirty_price_open", "dirty_price_high", "dirty_price_low", "dirty_price_eod",
               "clean_price_eod"},
              "dirty_price_high",
              "dirty_price_low"}},
            {"valuation", {{"dirty_price_eod", "clean_price"}, "", ""}},
            {"repo_quotation", {{}, "high", "low"}},
            {"minute_bar", {{"open", "high", "low", "close"}, "high", "low"}},
            {"tick", {{"last"}, "", ""}},
        };
        auto it = rules.find(layout.table);
        if (it == rules.end()) return;
        auto value = [&](std::string_view name) -> const CellValue* {
            for (std::size_t c = 0; c < layout.columns.size(); ++c)
                if (layout.columns[c].name == name && values[c].kind == CellValue::Kind::Real)
                    return &values[c];
            return nullptr;
        };
        for (std::string_view name : it->second.positive)
            if (const CellValue* v = value(name); v && !(v->real > 0))
                throw ImportError(file, line, std::string(name),
                                  fmt::format("a price must be above 0, got {}", v->real));
        if (it->second.high.empty()) return;
        const CellValue *high = value(it->second.high), *low = value(it->second.low);
        if (high && low && high->real < low->real)
            throw ImportError(file, line, std::string(it->second.high),
                              fmt::format("{} {} is below {} {}", it->second.high, high->real,
                                          it->second.low, low->real));
    }

    // A curve point needs both numbers; a tenor is a time to maturity, never negative. Yields
    // may be (some markets' are).
    static void check_curve_point(const std::string& file, std::size_t line,
                                  const TableLayout& layout, const std::vector<CellValue>& values) {
        if (layout.table != "yield_curve") return;
        for (std::size_t c = 2; c < 4; ++c) {
            if (values[c].kind == CellValue::Kind::Null)
                throw ImportError(file, line, std::string(layout.columns[c].name),
                                  "a curve point needs a value here");
        }
        if (values[2].real < 0)
            throw ImportError(file, line, "tenor",
                              fmt::format("a tenor must not be negative, got {}", values[2].real));
    }

    // A day row on a day its market does not trade would be read as a session that never was.
    // Valuations follow the inter-bank calendar, market rows their instrument's market. A
    // calendar the bundle does not have yet cannot be checked against.
    void check_trading_day(const std::string& file, std::size_t line, const TableLayout& layout,
                           const std::vector<CellValue>& values) {
        const std::string_view table = layout.table;
        if (table == "trading_date") {
            inter_bank_days_.insert(static_cast<std::int32_t>(values[0].integer));
            return;
        }
        if (table == EXCHANGE_CALENDAR) {
            exchange_days_.insert(static_cast<std::int32_t>(values[0].integer));
            return;
        }
        const bool stamped = table == "minute_bar" || table == "tick";
        if (!stamped && table != "valuation" && table != "price" && table != "repo_quotation")
            return;
        const std::string_view name = stamped ? "datetime" : "date";
        std::size_t column = 0;
        while (layout.columns[column].name != name) ++column;
        const std::int64_t value = values[column].integer;
        const auto day = static_cast<std::int32_t>(stamped ? value / 1000000 : value);
        const bool inter_bank = table == "valuation" || values[0].text.ends_with(".IB");
        const std::set<std::int32_t>& days = inter_bank ? inter_bank_days_ : exchange_days_;
        if (days.empty() || days.contains(day)) return;
        throw ImportError(
            file, line, std::string(layout.columns[column].name),
            fmt::format("{:04}-{:02}-{:02} is not a trading day of the {} calendar ({})",
                        day / 10000, day / 100 % 100, day % 100,
                        inter_bank ? "inter-bank" : "exchange",
                        inter_bank ? "trading_date" : CALENDAR_FILE));
    }

    void add_record(const std::string& file, std::size_t line, const TableLayout& layout,
                    const RecordColumns& columns, const std::vector<CellValue>& values) {
        for (const auto& [price, size] : columns.levels) {
            if (values[price].kind == CellValue::Kind::Null && values[size].real > 0.0) {
                throw ImportError(file, line, std::string(layout.columns[price].name),
                                  fmt::format("a price is required where {} is above 0",
                                              layout.columns[size].name));
            }
        }
        RecordSeries& series = records_[&layout][values.front().text];
        const std::size_t at = series.records.size();
        series.records.resize(at + layout.files->layout->itemsize());
        std::byte* record = series.records.data() + at;
        for (std::size_t c = 1; c < values.size(); ++c) {
            const korvex::FieldSpec& field = *columns.fields[c];
            const CellValue& v = values[c];
            if (v.kind == CellValue::Kind::Integer) {  // the stamp, <i8
                std::memcpy(record + field.offset, &v.integer, sizeof v.integer);
            } else {
                const double x = v.kind == CellValue::Kind::Real
                                     ? v.real
                                     : std::numeric_limits<double>::quiet_NaN();
                std::memcpy(record + field.offset, &x, sizeof x);
            }
        }
        series.origins.push_back({files_.size() - 1, line});
    }

    // Orders the records by datetime, keeping reading order among equal stamps; returns the
    // first repeated stamp as (where read again, where read first).
    static std::optional<std::pair<Origin, Origin>> sort_records(
        const korvex::RecordLayout& records, RecordSeries& s) {
        const korvex::FieldSpec& datetime = records.at("datetime");
        const std::size_t size = records.itemsize();
        auto stamp = [&](std::size_t i) { return stamp_at(s.records.data() + i * size, datetime); };
        std::vector<std::size_t> order(s.origins.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        auto earlier = [&](std::size_t a, std::size_t b) { return stamp(a) < stamp(b); };
        const bool sorted = std::is_sorted(order.begin(), order.end(), earlier);
        if (!sorted) std::stable_sort(order.begin(), order.end(), earlier);

        std::optional<std::pair<Origin, Origin>> duplicate;
        for (std::size_t k = 1; k < order.size(); ++k) {
            if (stamp(order[k]) != stamp(order[k - 1])) continue;
            const Origin later = s.origins[order[k]];
            if (!duplicate || later < duplicate->first)
                duplicate.emplace(later, s.origins[order[k - 1]]);
        }
        if (sorted || duplicate) return duplicate;

        std::vector<std::byte> records_sorted(s.records.size());
        std::vector<Origin> origins_sorted(s.origins.size());
        for (std::size_t k = 0; k < order.size(); ++k) {
            std::memcpy(records_sorted.data() + k * size, s.records.data() + order[k] * size, size);
            origins_sorted[k] = s.origins[order[k]];
        }
        s.records = std::move(records_sorted);
        s.origins = std::move(origins_sorted);
        return std::nullopt;
    }

    void store_row(const TableLayout& layout, const std::vector<CellValue>& values,
                   Statement& insert, std::optional<Statement>& clear) {
        if (layout.table == EXCHANGE_CALENDAR) {
            calendar_.insert(static_cast<std::int32_t>(values[0].integer));
            return;
        }
        int first = 1;
        if (clear) {
            // A file holds a bond's whole cash-flow table: replace what was there before.
            const std::string& id = values[0].text;
            auto& seq = cash_flow_seq_[std::string(layout.table)];
            auto [it, fresh] = seq.emplace(id, 0);
            if (fresh) clear->bind(1, id).run();
            insert.bind(1, id).bind(2, ++it->second);
            first = 3;
            for (std::size_t c = 1; c < values.size(); ++c)
                bind(insert, first + static_cast<int>(c) - 1, values[c]);
        } else {
            for (std::size_t c = 0; c < values.size(); ++c)
                bind(insert, first + static_cast<int>(c), values[c]);
        }
        insert.run();
    }

    static std::string insert_sql(const TableLayout& layout) {
        const std::string table(layout.table);
        if (table == "instrument") {
            // A known instrument keeps its place in the lists.
            return "INSERT INTO instrument (order_book_id, type, seq) VALUES (?1, ?2, "
                   "(SELECT COALESCE(MAX(seq), 0) + 1 FROM instrument)) "
                   "ON CONFLICT (order_book_id) DO UPDATE SET type = excluded.type";
        }
        if (table == "instrument_field") {
            return "INSERT INTO instrument_field (order_book_id, name, kind, value, seq) VALUES "
                   "(?1, ?2, ?3, ?4, (SELECT COALESCE(MAX(seq), 0) + 1 FROM instrument_field "
                   "WHERE order_book_id = ?1)) ON CONFLICT (order_book_id, name) DO UPDATE SET "
                   "kind = excluded.kind, value = excluded.value";
        }
        if (std::string_view(table) == EXCHANGE_CALENDAR || layout.files) return "SELECT 1";
        std::vector<std::string> names;
        if (is_cash_flow(table)) names = {"order_book_id", "seq"};
        for (const ColumnSpec& c : layout.columns) {
            if (!(is_cash_flow(table) && c.name == "order_book_id")) names.emplace_back(c.name);
        }
        std::string params = "?";
        for (std::size_t i = 1; i < names.size(); ++i) params += ", ?";
        return fmt::format("INSERT OR {} INTO {} ({}) VALUES ({})",
                           table == "trading_date" ? "IGNORE" : "REPLACE", table,
                           fmt::join(names, ", "), params);
    }

    fs::path bundle_;
    Database db_;
    std::unordered_set<std::string> known_ids_;
    std::map<std::string, std::unordered_map<std::string, std::string>> keys_;
    std::map<std::string, std::unordered_map<std::string, std::int64_t>> cash_flow_seq_;
    std::set<std::int32_t> calendar_;
    std::set<std::int32_t> exchange_days_, inter_bank_days_;  // to check day rows against
    std::optional<fs::path> staged_calendar_;
    std::vector<std::string> files_;  // in reading order, for Origin
    std::map<const TableLayout*, std::map<std::string, RecordSeries>> records_;
    std::vector<std::pair<fs::path, fs::path>> staged_files_;  // (temporary, target)
    bool committed_ = false;
};

}  // namespace

std::vector<ImportedFile> import_csv_files(const fs::path& bundle,
                                           const std::vector<fs::path>& files,
                                           const std::string& table) {
    std::vector<std::pair<const TableLayout*, fs::path>> work;
    for (const fs::path& f : files) work.emplace_back(&layout_of(f, table), f);
    std::stable_sort(work.begin(), work.end(), [](const auto& a, const auto& b) {
        return rank(a.first->table) < rank(b.first->table);
    });

    std::error_code ec;
    if (!fs::is_directory(bundle, ec)) {
        throw ImportError(bundle.string(), 0, "", "not a directory: give the bundle directory");
    }
    const fs::path db_path = bundle / DATABASE_FILE;
    const bool create = !fs::exists(db_path, ec);
    std::vector<ImportedFile> imported;
    try {
        Importer importer(bundle, create);
        for (const auto& [layout, path] : work) {
            imported.push_back(
                {path, std::string(layout->table), importer.import_file(path, *layout)});
        }
        importer.stage_calendar();
        importer.stage_record_files();
        importer.commit();
    } catch (const std::exception& e) {
        const auto* error = dynamic_cast<const ImportError*>(&e);
        if (error && error->saved()) throw *error;
        // The open transaction was rolled back when the connection closed.
        if (create) fs::remove(db_path, ec);
        if (error) throw *error;
        throw ImportError(db_path.string(), 0, "", e.what());
    }
    return imported;
}

}  // namespace korvex_import
