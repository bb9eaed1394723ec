// A thin owner of an SQLite connection and its prepared statements, shared by the sample
// generator and the CSV importer. Failures raise std::runtime_error naming the database file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace korvex_tools {

class Statement {
public:
    Statement() = default;
    Statement(sqlite3* db, std::string_view sql, std::string context);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters count from 1, as in SQLite.
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
    Statement& bind(int index, double value);  // NaN is stored as NULL
    Statement& bind(int index, std::string_view value);
    Statement& bind_null(int index);

    // True while a row is available.
    bool step();
    // Runs a statement that returns no rows and resets it for the next use.
    void run();
    void reset();

    std::int64_t column_int(int index) const;
    double column_double(int index) const;
    std::string column_text(int index) const;
    bool column_is_null(int index) const;
    int column_count() const;

private:
    void check(int rc) const;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    std::string context_;
};

class Database {
public:
    enum class Mode { ReadWrite, Create };
    Database(const std::filesystem::path& path, Mode mode);
    ~Database();
    Database(Database&& other) noexcept;
    Database& operator=(Database&&) = delete;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(std::string_view sql);
    Statement prepare(std::string_view sql);
    const std::filesystem::path& path() const { return path_; }

private:
    sqlite3* db_ = nullptr;
    std::filesystem::path path_;
};

}  // namespace korvex_tools
