#include "korvex/model/instrument.hpp"

#include <fmt/format.h>

#include "korvex/errors.hpp"

namespace korvex {

Instrument::Instrument(Record record) : record_(std::move(record)) {
    if (const Value* id = record_.find("order_book_id"); id && id->is_string())
        order_book_id_ = id->as_string();
}

const Value& Instrument::attr(std::string_view name) const {
    if (const Value* v = record_.find(name)) return *v;
    throw AttributeError(fmt::format("instrument {} has no attribute '{}'", order_book_id_, name));
}

const std::string& Instrument::order_book_id() const {
    return order_book_id_;
}

std::string Instrument::symbol() const {
    const Value* v = record_.find("symbol");
    return v && v->is_string() ? v->as_string() : order_book_id_;
}

INSTRUMENT_TYPE Instrument::type() const {
    return parse_enum<INSTRUMENT_TYPE>(attr("type").as_string());
}

double Instrument::round_lot() const {
    const Value* v = record_.find("round_lot");
    return v && v->is_number() ? v->as_double() : 1.0;
}

std::string Instrument::exchange() const {
    const Value* v = record_.find("exchange");
    return v && v->is_string() ? v->as_string() : std::string();
}

DEFAULT_ACCOUNT_TYPE Instrument::account_type() const {
    const Value* v = record_.find("account_type");
    return v && v->is_string() ? parse_enum<DEFAULT_ACCOUNT_TYPE>(v->as_string())
                               : DEFAULT_ACCOUNT_TYPE::STOCK;
}

DateTime Instrument::listed_date() const {
    return attr("listed_date").as_datetime();
}
DateTime Instrument::de_listed_date() const {
    return attr("de_listed_date").as_datetime();
}

double Instrument::calc_cash_occupation(double price, double quantity, POSITION_DIRECTION) const {
    return price * quantity;
}

bool Instrument::de_listed_at(DateTime dt) const {
    return dt >= de_listed_date();
}

bool Instrument::listed_at(DateTime dt) const {
    // Instruments without listing dates are always listed.
    const Value* listed = record_.find("listed_date");
    const Value* de_listed = record_.find("de_listed_date");
    if (listed && listed->is_datetime() && to_date(dt) < to_date(listed->as_datetime()))
        return false;
    return !(de_listed && de_listed->is_datetime()) || !de_listed_at(dt);
}

}  // namespace korvex
