#include "tavlen/sqlite_backend.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "date_argument.hpp"
#include "sqlite_queries.hpp"

namespace tavlen {

using namespace detail;

namespace {

using Arg = std::variant<std::string, std::int64_t>;

}  // namespace

namespace detail {

// The open database and its statement cache.
struct Connection {
    std::string path;
    sqlite3* db = nullptr;
    std::array<sqlite3_stmt*, QUERY_COUNT> statements{};
    std::optional<bool> has_curves;  // databases written before curves lack the table

    ~Connection() {
        for (auto* s : statements) sqlite3_finalize(s);
        sqlite3_close_v2(db);
    }

    [[noreturn]] void fail(const char* table, int rc) const {
        const char* msg = sqlite3_errmsg(db);
        constexpr std::string_view no_table = "no such table: ";
        if (rc == SQLITE_ERROR && std::strncmp(msg, no_table.data(), no_table.size()) == 0)
            throw DataError(
                fmt::format("tavlen database '{}' has no table '{}'", path, msg + no_table.size()));
        throw DataError(
            fmt::format("tavlen database '{}': cannot read table '{}': {}", path, table, msg));
    }

    // Prepared once, reused for the life of the connection.
    sqlite3_stmt* statement(Query q) {
        if (statements[q] == nullptr) {
            const auto& text = queries()[q];
            int rc = sqlite3_prepare_v3(db, text.sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                                        &statements[q], nullptr);
            if (rc != SQLITE_OK) fail(text.table, rc);
        }
        return statements[q];
    }
};

}  // namespace detail

struct SqliteBackend::Impl : detail::Connection {};

namespace {

// One execution of a cached statement; leaves it reset for the next caller.
class Run {
public:
    // The run keeps the arguments: SQLite reads the bound text in place while stepping.
    Run(detail::Connection& impl, Query q, std::vector<Arg> args)
        : impl_(impl), q_(q), s_(impl.statement(q)), args_(std::move(args)) {
        // A key-only statement takes the leading arguments only.
        int n = std::min(sqlite3_bind_parameter_count(s_), static_cast<int>(args_.size()));
        for (int i = 0; i < n; ++i) {
            const Arg& a = args_[static_cast<std::size_t>(i)];
            if (auto* text = std::get_if<std::string>(&a))
                sqlite3_bind_text(s_, i + 1, text->data(), static_cast<int>(text->size()),
                                  SQLITE_STATIC);
            else
                sqlite3_bind_int64(s_, i + 1, std::get<std::int64_t>(a));
        }
    }
    ~Run() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    bool next() {
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        impl_.fail(queries()[q_].table, rc);
    }
    sqlite3_stmt* operator*() const { return s_; }

private:
    detail::Connection& impl_;
    Query q_;
    sqlite3_stmt* s_;
    std::vector<Arg> args_;
};

std::string describe_cell(sqlite3_stmt* s, int col) {
    switch (sqlite3_column_type(s, col)) {
        case SQLITE_NULL:
            return "NULL";
        case SQLITE_INTEGER:
            return fmt::format("{}", sqlite3_column_int64(s, col));
        case SQLITE_FLOAT:
            return fmt::format("{}", sqlite3_column_double(s, col));
        case SQLITE_TEXT:
            return fmt::format("'{}'", reinterpret_cast<const char*>(sqlite3_column_text(s, col)));
        default:
            return "a blob";
    }
}

korvex::Date read_date(const std::string& path, const char* table, const std::string& id,
                       sqlite3_stmt* s) {
    if (sqlite3_column_type(s, 0) == SQLITE_INTEGER) {
        try {
            return korvex::date_from_int(sqlite3_column_int64(s, 0));
        } catch (const korvex::ValueError&) {
        }
    }
    throw DataError(
        fmt::format("tavlen database '{}': table '{}' holds the date {} for '{}' "
                    "(expected an integer YYYYMMDD)",
                    path, table, describe_cell(s, 0), id));
}

// [[noreturn]] helper for a numeric cell that holds text or a blob.
[[noreturn]] void bad_number(const std::string& path, const TableSpec& spec, const std::string& id,
                             sqlite3_stmt* s, int col) {
    throw DataError(
        fmt::format("tavlen database '{}': table '{}' column '{}' holds {} for '{}' "
                    "(expected a number)",
                    path, spec.table, spec.columns[static_cast<std::size_t>(col - 1)],
                    describe_cell(s, col), id));
}

korvex::Value read_field(const std::string& path, const std::string& id, sqlite3_stmt* s) {
    const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    const char* kind_text = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
    const std::string_view kind = kind_text ? kind_text : "";
    const int type = sqlite3_column_type(s, 2);
    try {
        if (kind == "none") return korvex::Value();
        if (kind == "bool" && type == SQLITE_INTEGER) return sqlite3_column_int64(s, 2) != 0;
        if (kind == "int" && type == SQLITE_INTEGER)
            return static_cast<long long>(sqlite3_column_int64(s, 2));
        if (kind == "float" && (type == SQLITE_FLOAT || type == SQLITE_INTEGER))
            return sqlite3_column_double(s, 2);
        if (kind == "text" && type == SQLITE_TEXT)
            return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)));
        if (kind == "datetime" && type == SQLITE_TEXT)
            return korvex::parse_datetime(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)));
    } catch (const korvex::ValueError&) {
    }
    throw DataError(
        fmt::format("tavlen database '{}': instrument_field '{}' of '{}' has kind '{}' "
                    "and value {}",
                    path, name, id, kind, describe_cell(s, 2)));
}

// A write-ahead-log database in a folder this process may not write to can only be read as
// immutable: SQLite cannot create its shared-memory file there. Nothing can import into such a
// folder, so nothing changes under the reader.
void reopen_immutable_if_needed(Connection& impl) {
    const int rc = sqlite3_exec(impl.db, "PRAGMA schema_version", nullptr, nullptr, nullptr);
    if (rc != SQLITE_CANTOPEN && rc != SQLITE_READONLY) return;
    std::string uri = "file:";
    for (const char c : impl.path) {
        if (c == '?' || c == '#' || c == '%')
            uri += fmt::format("%{:02X}", c);
        else
            uri += c;
    }
    uri += "?immutable=1";
    sqlite3_close_v2(impl.db);
    impl.db = nullptr;
    if (sqlite3_open_v2(uri.c_str(), &impl.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK)
        throw DataError(fmt::format("cannot open tavlen database '{}': {}", impl.path,
                                    sqlite3_errmsg(impl.db)));
}

// An import killed after saving its rows but before moving its record files into place leaves
// a list of the moves; its rows would be read against the old files.
void check_no_unfinished_import(Connection& impl) {
    reopen_immutable_if_needed(impl);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(impl.db, "SELECT 1 FROM meta WHERE key = 'pending_moves'", -1, &s,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return;  // a database without the meta table has nothing pending
    }
    const bool pending = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
    if (pending) {
        const std::string bundle = std::filesystem::path(impl.path).parent_path().string();
        throw DataError(
            fmt::format("the last import into '{}' stopped before its files were in place: run "
                        "korvex-import --bundle {} to finish it",
                        bundle, bundle));
    }
}

}  // namespace

SqliteBackend::SqliteBackend(std::filesystem::path path) : path_(std::move(path)) {}

SqliteBackend::~SqliteBackend() = default;

SqliteBackend::Impl& SqliteBackend::db() {
    if (impl_) return *impl_;
    const std::string p = path_.string();
    // Read the header ourselves first: the OS's refusal (permissions, a directory) is a
    // PermissionDenied, which SQLite would only report as "unable to open".
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    char header[16] = {};
    ssize_t n = -1;
    int err = errno;
    if (fd >= 0) {
        n = ::read(fd, header, sizeof header);
        err = errno;
        ::close(fd);
    }
    if (n < 0) {
        if (err == ENOENT || err == ENOTDIR)
            throw DataError(fmt::format("tavlen database '{}' not found", p));
        if (err == EACCES || err == EPERM || err == EISDIR)
            throw PermissionDenied(
                fmt::format("permission denied: cannot read tavlen database "
                            "'{}': {}",
                            p, std::strerror(err)));
        throw DataError(fmt::format("cannot read tavlen database '{}': {}", p, std::strerror(err)));
    }
    if (n != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, "SQLite format 3", sizeof header) != 0)
        throw DataError(fmt::format("tavlen database '{}' is not a SQLite database", p));

    auto impl = std::make_unique<Impl>();
    impl->path = p;
    int rc = sqlite3_open_v2(p.c_str(), &impl->db, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = impl->db ? sqlite3_errmsg(impl->db) : sqlite3_errstr(rc);
        if (rc == SQLITE_PERM || rc == SQLITE_AUTH)
            throw PermissionDenied(
                fmt::format("permission denied: cannot read tavlen database '{}': {}", p, msg));
        throw DataError(fmt::format("cannot open tavlen database '{}': {}", p, msg));
    }
    // An import in progress commits without stopping readers (the importer keeps the database
    // in write-ahead-log mode); the wait only covers the moment the log is set up or folded back.
    sqlite3_busy_timeout(impl->db, 60000);
    check_no_unfinished_import(*impl);
    impl_ = std::move(impl);
    return *impl_;
}

std::vector<std::string> SqliteBackend::get_bond_list(const bond::GetBondListOptions& options) {
    Run run(db(), BOND_LIST, {options.type});
    std::vector<std::string> ids;
    while (run.next())
        ids.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(*run, 0)));
    return ids;
}

InstrumentsResult SqliteBackend::instruments(const std::vector<std::string>& order_book_ids) {
    Impl& impl = db();
    std::vector<korvex::Record> found;
    found.reserve(order_book_ids.size());
    for (const auto& id : order_book_ids) {
        Run run(impl, INSTRUMENT_FIELDS, {id});
        std::optional<korvex::Record> record;
        while (run.next()) {
            if (!record) record.emplace(korvex::Record{{"order_book_id", id}});
            if (sqlite3_column_type(*run, 0) == SQLITE_NULL) continue;  // no fields stored
            const char* name = reinterpret_cast<const char*>(sqlite3_column_text(*run, 0));
            record->set(name, read_field(impl.path, id, *run));
        }
        if (record) found.push_back(std::move(*record));
    }
    if (found.empty()) return std::monostate{};
    if (order_book_ids.size() == 1) return std::move(found.front());
    return found;
}

std::vector<korvex::Date> SqliteBackend::get_trading_dates(std::int32_t start_date,
                                                           std::int32_t end_date) {
    Impl& impl = db();
    Run run(impl, TRADING_DATES, {std::int64_t{start_date}, std::int64_t{end_date}});
    std::vector<korvex::Date> dates;
    while (run.next()) dates.push_back(read_date(impl.path, "trading_date", "the calendar", *run));
    return dates;
}

namespace {

// Whole range of one instrument in one statement, straight into the table's columns.
TablePtr read_table(detail::Connection& impl, Query rows, std::optional<Query> any,
                    const TableSpec& spec, const std::string& id, const std::vector<Arg>& args) {
    auto table = std::make_shared<Table>(spec.columns, spec.date_column);
    {
        Run run(impl, rows, args);
        std::vector<double> values(spec.columns.size());
        const int ncol = static_cast<int>(values.size());
        while (run.next()) {
            sqlite3_stmt* s = *run;
            korvex::Date date = read_date(impl.path, spec.table, id, s);
            for (int c = 1; c <= ncol; ++c) {
                double& v = values[static_cast<std::size_t>(c - 1)];
                switch (sqlite3_column_type(s, c)) {
                    case SQLITE_NULL:
                        v = std::numeric_limits<double>::quiet_NaN();
                        break;
                    case SQLITE_INTEGER:
                    case SQLITE_FLOAT:
                        v = sqlite3_column_double(s, c);
                        break;
                    default:
                        bad_number(impl.path, spec, id, s, c);
                }
            }
            table->append(id, date, values);
        }
    }
    if (!table->empty()) return table;
    if (!any) return nullptr;
    Run run(impl, *any, args);
    return run.next() ? TablePtr(table) : nullptr;
}

}  // namespace

TablePtr SqliteBackend::currency_market_quotation(const std::string& order_book_id,
                                                  const bond::DateRangeOptions& options) {
    std::vector<Arg> args{order_book_id, detail::date_argument("start_date", options.start_date),
                          detail::date_argument("end_date", options.end_date)};
    return read_table(db(), QUOTATION, QUOTATION_ANY, QUOTATION_SPEC, order_book_id, args);
}

TablePtr SqliteBackend::get_valuation(const std::string& order_book_id,
                                      const bond::GetValuationOptions& options) {
    std::vector<Arg> args{order_book_id, options.source, options.valuation_type,
                          detail::date_argument("start_date", options.start_date),
                          detail::date_argument("end_date", options.end_date)};
    return read_table(db(), VALUATION, VALUATION_ANY, VALUATION_SPEC, order_book_id, args);
}

TablePtr SqliteBackend::get_price(const std::string& order_book_id,
                                  const bond::GetPriceOptions& options) {
    std::vector<Arg> args{order_book_id, options.source,
                          detail::date_argument("start_date", options.start_date),
                          detail::date_argument("end_date", options.end_date)};
    if (options.details) return read_table(db(), PRICE, PRICE_ANY, PRICE_SPEC, order_book_id, args);
    return read_table(db(), PRICE_EOD, PRICE_ANY, PRICE_EOD_SPEC, order_book_id, args);
}

TablePtr SqliteBackend::realized_cash_flow(const std::string& order_book_id) {
    return read_table(db(), REALIZED, std::nullopt, REALIZED_SPEC, order_book_id, {order_book_id});
}

TablePtr SqliteBackend::get_implied_cash_flow(const std::string& order_book_id,
                                              std::int32_t start_date, std::int32_t end_date) {
    std::vector<Arg> args{order_book_id, std::int64_t{start_date}, std::int64_t{end_date}};
    return read_table(db(), IMPLIED, IMPLIED_ANY, IMPLIED_SPEC, order_book_id, args);
}

namespace {

bool has_curve_table(detail::Connection& impl) {
    if (!impl.has_curves) {
        sqlite3_stmt* s = nullptr;
        const int rc = sqlite3_prepare_v2(
            impl.db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'yield_curve'",
            -1, &s, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(s);
            impl.fail("yield_curve", rc);
        }
        impl.has_curves = sqlite3_step(s) == SQLITE_ROW;
        sqlite3_finalize(s);
    }
    return *impl.has_curves;
}

[[noreturn]] void bad_curve_cell(const std::string& path, const std::string& curve,
                                 const char* column, sqlite3_stmt* s, int col) {
    throw DataError(
        fmt::format("tavlen database '{}': table 'yield_curve' column '{}' holds {} for curve "
                    "'{}' (expected a number)",
                    path, column, describe_cell(s, col), curve));
}

}  // namespace

std::vector<std::string> SqliteBackend::get_yield_curve_list() {
    Impl& impl = db();
    std::vector<std::string> names;
    if (!has_curve_table(impl)) return names;
    Run run(impl, CURVE_LIST, {});
    while (run.next())
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(*run, 0)));
    return names;
}

YieldCurvePtr SqliteBackend::get_yield_curve(const std::string& curve,
                                             const bond::DateRangeOptions& options) {
    std::vector<Arg> args{curve, detail::date_argument("start_date", options.start_date),
                          detail::date_argument("end_date", options.end_date)};
    Impl& impl = db();
    if (!has_curve_table(impl)) return nullptr;
    auto points = std::make_shared<YieldCurve>();
    {
        Run run(impl, CURVE, args);
        while (run.next()) {
            sqlite3_stmt* s = *run;
            const korvex::Date date = read_date(impl.path, "yield_curve", curve, s);
            double values[2];
            for (int c = 1; c <= 2; ++c) {
                const int type = sqlite3_column_type(s, c);
                if (type != SQLITE_INTEGER && type != SQLITE_FLOAT)
                    bad_curve_cell(impl.path, curve, c == 1 ? "tenor" : "yield", s, c);
                values[c - 1] = sqlite3_column_double(s, c);
            }
            points->append(date, values[0], values[1]);
        }
    }
    if (points->size() > 0) return points;
    Run run(impl, CURVE_ANY, {curve});
    return run.next() ? YieldCurvePtr(points) : nullptr;
}

}  // namespace tavlen
