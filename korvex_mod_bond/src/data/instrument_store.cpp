#include "korvex_mod_bond/data/instrument_store.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "korvex/errors.hpp"
#include "korvex_mod_bond/data/instrument.hpp"
#include "tavlen/bond.hpp"

namespace korvex_mod_bond {

namespace {

using MakeInstrument = std::function<korvex::InstrumentPtr(korvex::Record)>;

std::vector<korvex::Record> as_records(tavlen::InstrumentsResult answer) {
    if (auto* many = std::get_if<std::vector<korvex::Record>>(&answer)) return std::move(*many);
    if (auto* one = std::get_if<korvex::Record>(&answer)) return {std::move(*one)};
    return {};
}

// Nothing happens, not even the client call, until the first element is asked for.
korvex::InstrumentSequence lazy_instruments(std::vector<std::string> ids, MakeInstrument make) {
    return korvex::InstrumentSequence(
        [ids = std::move(ids), make = std::move(make)]() -> korvex::InstrumentSequence::Next {
            auto records = std::make_shared<std::vector<korvex::Record>>(
                as_records(tavlen::bond::instruments(ids)));
            return [records, make,
                    i = std::size_t{0}]() mutable -> std::optional<korvex::InstrumentPtr> {
                if (i == records->size()) return std::nullopt;
                // The answer is this sequence's own value: moving a record out of it is the copy
                // that keeps the client's data apart from the instrument's.
                return make(std::move((*records)[i++]));
            };
        });
}

std::string id_of(const korvex::Record& record) {
    const korvex::Value* id = record.find("order_book_id");
    return id ? id->to_string() : std::string("<no order_book_id>");
}

void default_when_empty(korvex::Record& record, std::string_view field, korvex::DateTime fallback) {
    const korvex::Value* value = record.find(field);
    if (!value)
        throw korvex::KeyError(
            fmt::format("bond record of {} has no field '{}'", id_of(record), field));
    if (!value->truthy()) record.set(field, fallback);
}

korvex::InstrumentPtr make_bond(korvex::Record record) {
    default_when_empty(record, "listed_date", DEFAULT_LISTED_DATE);
    default_when_empty(record, "de_listed_date", DEFAULT_DE_LISTED_DATE);
    return std::make_shared<const BondInstrument>(std::move(record));
}

template <class Table>
auto lookup_suffix(const Table& table, std::string_view suffix, const std::string& id) {
    for (const auto& [key, value] : table)
        if (key == suffix) return value;
    throw korvex::KeyError(fmt::format(
        "repo {} has the market suffix '{}'; known suffixes are IB, SZ and SH", id, suffix));
}

korvex::InstrumentPtr make_repo(korvex::Record record) {
    const korvex::Value* id_value = record.find("order_book_id");
    if (!id_value) throw korvex::KeyError("repo record has no field 'order_book_id'");
    const std::string id = id_value->as_string();
    // The second piece of the id split at ".", as the ids are written: "R007.IB" -> "IB".
    const std::size_t point = id.find('.');
    if (point == std::string::npos)
        throw korvex::KeyError(fmt::format("repo {} has no market suffix", id));
    const std::size_t next = id.find('.', point + 1);
    const std::string_view suffix =
        std::string_view(id).substr(point + 1, next == std::string::npos ? next : next - point - 1);
    record.set(
        "account_type",
        std::string(korvex::name(lookup_suffix(RepoInstrumentStore::ACCOUNT_TYPE, suffix, id))));
    record.set("exchange", lookup_suffix(RepoInstrumentStore::EXCHANGE_MAP, suffix, id));
    record.set("listed_date", DEFAULT_LISTED_DATE);
    record.set("de_listed_date", DEFAULT_DE_LISTED_DATE);
    return std::make_shared<const RepoInstrument>(std::move(record));
}

bool is_served_repo(const std::string& id) {
    if (ends_with(id, ".SH") || ends_with(id, ".SZ")) return true;
    return std::any_of(REPO_TERM_MAP.begin(), REPO_TERM_MAP.end(),
                       [&](const RepoTermRange& row) { return row.order_book_id == id; });
}

}  // namespace

BondInstrumentStore::BondInstrumentStore() {
    for (auto& id : tavlen::bond::get_bond_list({.type = "bond"}))
        if (ends_with(id, ".IB") || ends_with(id, ".SH") || ends_with(id, ".SZ"))
            _obids.push_back(std::move(id));
}

korvex::INSTRUMENT_TYPE BondInstrumentStore::instrument_type() const {
    return korvex::INSTRUMENT_TYPE::BOND;
}

korvex::InstrumentSequence BondInstrumentStore::get_instruments(
    std::optional<std::vector<std::string>> id_or_syms) const {
    return lazy_instruments(id_or_syms ? std::move(*id_or_syms) : _obids, &make_bond);
}

RepoInstrumentStore::RepoInstrumentStore() {
    for (auto& id : tavlen::bond::get_bond_list({.type = "repo"}))
        if (is_served_repo(id)) _obids.push_back(std::move(id));
}

korvex::INSTRUMENT_TYPE RepoInstrumentStore::instrument_type() const {
    return korvex::INSTRUMENT_TYPE::REPO;
}

korvex::InstrumentSequence RepoInstrumentStore::get_instruments(
    std::optional<std::vector<std::string>> id_or_syms) const {
    return lazy_instruments(id_or_syms ? std::move(*id_or_syms) : _obids, &make_repo);
}

}  // namespace korvex_mod_bond
