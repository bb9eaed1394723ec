#include "korvex_mod_bond/data/day_bar_store.hpp"

#include <bit>
#include <limits>

#include "korvex_mod_bond/data/instrument.hpp"
#include "table_conversion.hpp"
#include "tavlen/bond.hpp"

namespace korvex_mod_bond {

// The layout's type codes say little-endian; the records are written in native order.
static_assert(std::endian::native == std::endian::little);

const korvex::RecordLayout BondDayBarStore::DTYPE{{"datetime", "<u8"},
                                                  {"open", "<f8"},
                                                  {"close", "<f8"},
                                                  {"high", "<f8"},
                                                  {"low", "<f8"},
                                                  {"volume", "<f8"},
                                                  {"total_turnover", "<f8"},
                                                  {"dv01", "<f8"},
                                                  {"ytm", "<f8"},
                                                  {"clean_price", "<f8"},
                                                  {"modified_duration", "<f8"},
                                                  {"convexity", "<f8"},
                                                  {"t", "<f8"},
                                                  {"principal", "<f8"}};

korvex::Bars BondDayBarStore::get_bars(const std::string& order_book_id) {
    return _cache.get_or_compute(order_book_id,
                                 [&] { return korvex::Bars::of(_convert(order_book_id), DTYPE); });
}

std::shared_ptr<const std::vector<BondBar>> BondDayBarStore::_convert(
    const std::string& order_book_id) const {
    auto bars = std::make_shared<std::vector<BondBar>>();
    const tavlen::TablePtr table = _get_data(order_book_id);
    if (!table || table->empty()) return bars;
    detail::check_one_row_per_date(*table, order_book_id);

    const BondFieldMap map = _get_field_map(order_book_id);
    // Every column is looked up once, before any record is written.
    std::vector<double BondBar::*> fields;
    std::vector<const std::vector<double>*> columns;
    for (const auto& entry : map) {
        fields.push_back(entry.member);
        columns.push_back(&detail::require_column(*table, entry.column, order_book_id));
    }
    // Fields the map does not fill (volume among them when it has no entry) stay NaN.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const BondBar blank{0, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan};
    *bars = detail::to_records<BondBar>(*table, blank, fields, columns);
    return bars;
}

BondFieldMap ChinabondBondDayBarStore::_get_field_map(const std::string&) const {
    return FIELD_MAP;
}

tavlen::TablePtr ChinabondBondDayBarStore::_get_data(const std::string& order_book_id) const {
    return tavlen::bond::get_valuation(order_book_id,
                                       {.start_date = std::string(DATA_START_DATE_TEXT),
                                        .end_date = std::string(DATA_END_DATE_TEXT),
                                        .source = "chinabond",
                                        .valuation_type = "recommended"});
}

BondFieldMap ExchangeBondDayBarStore::_get_field_map(const std::string& order_book_id) const {
    if (ends_with(order_book_id, ".IB")) return IB_FIELD_MAP;
    return EXCHANGE_FIELD_MAP;
}

tavlen::TablePtr ExchangeBondDayBarStore::_get_data(const std::string& order_book_id) const {
    return tavlen::bond::get_price(order_book_id, {.start_date = std::string(DATA_START_DATE_TEXT),
                                                   .end_date = std::string(DATA_END_DATE_TEXT),
                                                   .source = "cfets",
                                                   .details = true});
}

const std::type_info& AutoBondDayBarStore::_get_super_cls(const std::string& order_book_id) const {
    if (ends_with(order_book_id, ".IB")) return typeid(ChinabondBondDayBarStore);
    return typeid(ExchangeBondDayBarStore);
}

BondFieldMap AutoBondDayBarStore::_get_field_map(const std::string& order_book_id) const {
    if (_get_super_cls(order_book_id) == typeid(ChinabondBondDayBarStore))
        return ChinabondBondDayBarStore::_get_field_map(order_book_id);
    return ExchangeBondDayBarStore::_get_field_map(order_book_id);
}

tavlen::TablePtr AutoBondDayBarStore::_get_data(const std::string& order_book_id) const {
    if (_get_super_cls(order_book_id) == typeid(ChinabondBondDayBarStore))
        return ChinabondBondDayBarStore::_get_data(order_book_id);
    return ExchangeBondDayBarStore::_get_data(order_book_id);
}

}  // namespace korvex_mod_bond
