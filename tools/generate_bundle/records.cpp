#include "records.hpp"

#include <fmt/format.h>

namespace korvex_generate {

namespace {

std::string datetime_text(const QuantLib::Date& d) {
    return fmt::format("{:04}-{:02}-{:02} 00:00:00", d.year(), static_cast<int>(d.month()),
                       d.dayOfMonth());
}

const char* exchange_code(const BondSpec& b) {
    switch (b.market) {
        case Market::InterBank:
            return "CFETS";
        case Market::Shanghai:
            return "XSHG";
        case Market::Shenzhen:
            return "XSHE";
        case Market::Other:
            break;
    }
    return b.order_book_id.ends_with(".BJ") ? "BJSE" : "OTC";
}

}  // namespace

std::vector<FieldValue> bond_record(const BondSpec& b) {
    std::vector<FieldValue> f;
    f.push_back(FieldValue::of_text("order_book_id", b.order_book_id));
    f.push_back(FieldValue::of_text("symbol", b.symbol));
    f.push_back(b.listed_date_empty
                    ? FieldValue::none("listed_date")
                    : FieldValue::of_datetime("listed_date", datetime_text(b.listed_date)));
    // The last payment retires the bond; it is not traded from that day on.
    f.push_back(b.de_listed_date_empty
                    ? FieldValue::none("de_listed_date")
                    : FieldValue::of_datetime("de_listed_date", datetime_text(b.maturity_date)));
    f.push_back(FieldValue::of_text("exchange", exchange_code(b)));
    f.push_back(FieldValue::of_float("initial_issue_size", b.issue_size));
    if (b.round_lot_present) {
        f.push_back(FieldValue::of_int("round_lot", b.market == Market::InterBank ? 100 : 10));
    }
    if (b.issue_price_present) f.push_back(FieldValue::of_float("issue_price", b.issue_price));
    f.push_back(FieldValue::of_float("coupon_rate", b.coupon_rate));
    f.push_back(FieldValue::of_int("coupon_frequency", b.frequency));
    f.push_back(FieldValue::of_text("bond_type", b.bond_type));
    f.push_back(FieldValue::of_text("issuer", issuers()[b.issuer].name));
    f.push_back(FieldValue::of_datetime("issue_date", datetime_text(b.issue_date)));
    f.push_back(FieldValue::of_datetime("maturity_date", datetime_text(b.maturity_date)));
    if (b.amortizing_payments > 0) {
        f.push_back(FieldValue::of_int("amortizing_payments", b.amortizing_payments));
    }
    return f;
}

std::vector<FieldValue> repo_record(const RepoSpec& r) {
    std::vector<FieldValue> f;
    f.push_back(FieldValue::of_text("order_book_id", r.order_book_id));
    f.push_back(FieldValue::of_text("symbol", r.symbol));
    // Fixing rates are quoted like repos but are no loan of a fixed term.
    const bool fixing = r.order_book_id.starts_with("FR") || r.order_book_id.starts_with("DR");
    if (!fixing) f.push_back(FieldValue::of_int("repo_period", r.repo_period));
    return f;
}

}  // namespace korvex_generate
