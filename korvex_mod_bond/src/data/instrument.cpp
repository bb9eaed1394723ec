#include "korvex_mod_bond/data/instrument.hpp"

#include <fmt/format.h>

#include "korvex/errors.hpp"

namespace korvex_mod_bond {

using korvex::DEFAULT_ACCOUNT_TYPE;

double BondInstrument::round_lot() const {
    if (const korvex::Value* v = record_.find("round_lot")) {
        if (v->is_none())
            throw korvex::ValueError(
                fmt::format("bond {} has an empty round_lot", order_book_id()));
        return v->as_double();
    }
    return ends_with(order_book_id(), ".IB") ? 100.0 : 10.0;
}

std::optional<double> BondInstrument::issue_price() const {
    const korvex::Value* v = record_.find("issue_price");
    if (!v) return 100.0;
    if (v->is_none()) return std::nullopt;
    return v->as_double();
}

const korvex::Value& BondInstrument::initial_issue_size() const {
    return record_.get("initial_issue_size");
}

std::string BondInstrument::exchange() const {
    const korvex::Value& v = record_.get("exchange");
    return v.is_none() ? std::string() : v.as_string();
}

DEFAULT_ACCOUNT_TYPE BondInstrument::account_type() const {
    const std::string& id = order_book_id();
    return ends_with(id, ".SZ") || ends_with(id, ".SH") ? DEFAULT_ACCOUNT_TYPE::STOCK
                                                        : DEFAULT_ACCOUNT_TYPE::BOND;
}

double BondInstrument::calc_cash_occupation(double price, double quantity,
                                            korvex::POSITION_DIRECTION) const {
    return price * quantity;
}

bool BondInstrument::de_listed_at(korvex::DateTime dt) const {
    return dt >= de_listed_date();
}

std::string RepoInstrument::symbol() const {
    return order_book_id();
}

std::optional<std::int64_t> RepoInstrument::repo_period() const {
    const korvex::Value* v = record_.find("repo_period");
    if (!v || v->is_none()) return std::nullopt;
    return v->as_int();
}

std::string RepoInstrument::exchange() const {
    const korvex::Value* v = record_.find("exchange");
    return !v || v->is_none() ? std::string() : v->as_string();
}

DEFAULT_ACCOUNT_TYPE RepoInstrument::account_type() const {
    const korvex::Value* v = record_.find("account_type");
    if (v && !v->is_none()) return korvex::parse_enum<DEFAULT_ACCOUNT_TYPE>(v->as_string());
    // None stored: the account the id's market trades in, as the repo store sets it, so that an
    // exchange repo is never taken for an inter-bank one.
    const std::string& id = order_book_id();
    return ends_with(id, ".SH") || ends_with(id, ".SZ") ? DEFAULT_ACCOUNT_TYPE::STOCK
                                                         : DEFAULT_ACCOUNT_TYPE::BOND;
}

double RepoInstrument::round_lot() const {
    const std::string& id = order_book_id();
    if (ends_with(id, ".SZ")) return 100000.0;
    if (ends_with(id, ".SH")) return 1000.0;
    return 10.0;
}

double RepoInstrument::calc_cash_occupation(double price, double quantity,
                                            korvex::POSITION_DIRECTION) const {
    return price * quantity;
}

bool RepoInstrument::de_listed_at(korvex::DateTime dt) const {
    return dt >= de_listed_date();
}

const std::array<std::string_view, 91>& TERM_REPO_MAP() {
    static const std::array<std::string_view, 91> map = [] {
        std::array<std::string_view, 91> m{};
        for (const auto& row : REPO_TERM_MAP)
            for (int d = row.first_day; d <= row.last_day; ++d)
                if (auto& slot = m[static_cast<std::size_t>(d)]; slot.empty())
                    slot = row.order_book_id;
        return m;
    }();
    return map;
}

std::optional<std::string> get_repo_order_book_id(std::int64_t n) {
    if (n < 1 || n > 90) return std::nullopt;
    return std::string(TERM_REPO_MAP()[static_cast<std::size_t>(n)]);
}

}  // namespace korvex_mod_bond
