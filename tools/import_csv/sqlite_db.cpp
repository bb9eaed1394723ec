#include "sqlite_db.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include <sqlite3.h>

namespace korvex_tools {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& context) {
    throw std::runtime_error(context + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

Statement::Statement(sqlite3* db, std::string_view sql, std::string context)
    : db_(db), context_(std::move(context)) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
        fail(db, context_);
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      stmt_(std::exchange(other.stmt_, nullptr)),
      context_(std::move(other.context_)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        db_ = std::exchange(other.db_, nullptr);
        stmt_ = std::exchange(other.stmt_, nullptr);
        context_ = std::move(other.context_);
    }
    return *this;
}

void Statement::check(int rc) const {
    if (rc != SQLITE_OK) fail(db_, context_);
}

Statement& Statement::bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
}

Statement& Statement::bind(int index, double value) {
    check(std::isnan(value) ? sqlite3_bind_null(stmt_, index)
                            : sqlite3_bind_double(stmt_, index, value));
    return *this;
}

Statement& Statement::bind(int index, std::string_view value) {
    check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
}

Statement& Statement::bind_null(int index) {
    check(sqlite3_bind_null(stmt_, index));
    return *this;
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(db_, context_);
}

void Statement::run() {
    while (step()) {
    }
    reset();
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::column_int(int index) const {
    return sqlite3_column_int64(stmt_, index);
}
double Statement::column_double(int index) const {
    return sqlite3_column_double(stmt_, index);
}
std::string Statement::column_text(int index) const {
    const auto* text = sqlite3_column_text(stmt_, index);
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}
int Statement::column_count() const {
    return sqlite3_column_count(stmt_);
}

bool Statement::column_is_null(int index) const {
    return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

Database::Database(const std::filesystem::path& path, Mode mode) : path_(path) {
    const int flags = SQLITE_OPEN_READWRITE | (mode == Mode::Create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error(path.string() + ": cannot open database: " + message);
    }
    // Another importer, or a reader folding the write-ahead log back, holds the lock briefly.
    sqlite3_busy_timeout(db_, 60000);
}

Database::~Database() {
    sqlite3_close_v2(db_);
}

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}

void Database::exec(std::string_view sql) {
    char* error = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(path_.string() + ": " + message);
    }
}

Statement Database::prepare(std::string_view sql) {
    return Statement(db_, sql, path_.string());
}

}  // namespace korvex_tools
