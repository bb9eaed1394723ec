// Writes the client's database of a generated bundle: the schema from tavlen, page settings
// fixed so that the same rows give the same file, and one prepared insert per table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bond_series.hpp"
#include "repo_series.hpp"
#include "sqlite_db.hpp"
#include "tavlen/bond.hpp"

namespace korvex_generate {

// One field of an instrument record; `kind` as stored ("none", "int", "float", "text",
// "datetime"); the value in the member that the kind uses.
struct FieldValue {
    std::string name;
    std::string kind;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;

    static FieldValue none(std::string name) { return {std::move(name), "none", 0, 0.0, {}}; }
    static FieldValue of_int(std::string name, std::int64_t v) {
        return {std::move(name), "int", v, 0.0, {}};
    }
    static FieldValue of_float(std::string name, double v) {
        return {std::move(name), "float", 0, v, {}};
    }
    static FieldValue of_text(std::string name, std::string v) {
        return {std::move(name), "text", 0, 0.0, std::move(v)};
    }
    // `v` as "YYYY-MM-DD HH:MM:SS".
    static FieldValue of_datetime(std::string name, std::string v) {
        return {std::move(name), "datetime", 0, 0.0, std::move(v)};
    }
};

class BundleDatabase {
public:
    // Creates a new database at `path` (which must not exist) and opens one transaction.
    explicit BundleDatabase(const std::filesystem::path& path);

    void add_instrument(const std::string& order_book_id, const std::string& type,
                        const std::vector<FieldValue>& fields);
    void add_trading_dates(const std::vector<std::int32_t>& dates);
    void add_bond_data(const std::string& order_book_id, const BondData& data);
    void add_repo_rows(const std::string& order_book_id, const std::vector<RepoRow>& rows);
    void add_curve(const std::string& curve, const tavlen::YieldCurve& points);
    void set_meta(const std::string& key, const std::string& value);

    // Commits and closes the statements; the object is spent afterwards.
    void finish();

private:
    korvex_tools::Database db_;
    korvex_tools::Statement instrument_, field_, trading_date_, valuation_, price_, repo_,
        realized_, implied_, curve_, meta_;
    std::int64_t instrument_seq_ = 0;
};

}  // namespace korvex_generate
