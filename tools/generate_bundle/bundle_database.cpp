#include "bundle_database.hpp"

#include "tavlen/schema.hpp"

namespace korvex_generate {

namespace {

korvex_tools::Database create(const std::filesystem::path& path) {
    korvex_tools::Database db(path, korvex_tools::Database::Mode::Create);
    // Settings that decide the file's bytes are fixed here rather than left to build defaults;
    // the file is a fresh temporary, so no journal is needed while it is written.
    db.exec(
        "PRAGMA page_size = 4096; PRAGMA auto_vacuum = NONE; PRAGMA encoding = 'UTF-8';"
        "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -65536;"
        "PRAGMA temp_store = MEMORY;");
    db.exec(tavlen::schema_sql());
    db.exec("BEGIN");
    return db;
}

}  // namespace

BundleDatabase::BundleDatabase(const std::filesystem::path& path)
    : db_(create(path)),
      instrument_(
          db_.prepare("INSERT INTO instrument (order_book_id, type, seq) VALUES (?, ?, ?)")),
      field_(db_.prepare("INSERT INTO instrument_field (order_book_id, name, seq, kind, value) "
                         "VALUES (?, ?, ?, ?, ?)")),
      trading_date_(db_.prepare("INSERT INTO trading_date (date) VALUES (?)")),
      valuation_(db_.prepare(
          "INSERT INTO valuation (order_book_id, source, valuation_type, date, dirty_price_eod, "
          "clean_price, ytm, modified_duration, convexity, dv01, time_to_maturity, "
          "residual_principal) VALUES (?, 'chinabond', 'recommended', ?, ?, ?, ?, ?, ?, ?, ?, ?)")),
      price_(db_.prepare(
          "INSERT INTO price (order_book_id, source, date, dirty_price_open, dirty_price_high, "
          "dirty_price_low, dirty_price_eod, ytm_close, clean_price_eod, volume) "
          "VALUES (?, 'cfets', ?, ?, ?, ?, ?, ?, ?, ?)")),
      repo_(db_.prepare(
          "INSERT INTO repo_quotation (order_book_id, date, open, close, high, low, volume, "
          "total_turnover, weighted) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")),
      realized_(db_.prepare("INSERT INTO realized_cash_flow (order_book_id, seq, payment_date, "
                            "cash_flow, principal_payment) VALUES (?, ?, ?, ?, ?)")),
      implied_(db_.prepare("INSERT INTO implied_cash_flow (order_book_id, seq, date, "
                           "total_payment, payment_receivable, principal_payment) "
                           "VALUES (?, ?, ?, ?, ?, ?)")),
      curve_(
          db_.prepare("INSERT INTO yield_curve (curve, date, tenor, yield) VALUES (?, ?, ?, ?)")),
      meta_(db_.prepare("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)")) {}

void BundleDatabase::add_instrument(const std::string& order_book_id, const std::string& type,
                                    const std::vector<FieldValue>& fields) {
    instrument_.bind(1, order_book_id).bind(2, type).bind(3, ++instrument_seq_).run();
    std::int64_t seq = 0;
    for (const FieldValue& f : fields) {
        field_.bind(1, order_book_id).bind(2, f.name).bind(3, ++seq).bind(4, f.kind);
        if (f.kind == "int" || f.kind == "bool") {
            field_.bind(5, f.integer);
        } else if (f.kind == "float") {
            field_.bind(5, f.real);
        } else if (f.kind == "none") {
            field_.bind_null(5);
        } else {
            field_.bind(5, f.text);
        }
        field_.run();
    }
}

void BundleDatabase::add_trading_dates(const std::vector<std::int32_t>& dates) {
    for (std::int32_t d : dates) trading_date_.bind(1, d).run();
}

void BundleDatabase::add_bond_data(const std::string& id, const BondData& data) {
    for (const ValuationRow& r : data.valuations) {
        valuation_.bind(1, id)
            .bind(2, r.date)
            .bind(3, r.dirty_price_eod)
            .bind(4, r.clean_price)
            .bind(5, r.ytm)
            .bind(6, r.modified_duration)
            .bind(7, r.convexity)
            .bind(8, r.dv01)
            .bind(9, r.time_to_maturity)
            .bind(10, r.residual_principal)
            .run();
    }
    for (const PriceRow& r : data.prices) {
        price_.bind(1, id)
            .bind(2, r.date)
            .bind(3, r.dirty_price_open)
            .bind(4, r.dirty_price_high)
            .bind(5, r.dirty_price_low)
            .bind(6, r.dirty_price_eod)
            .bind(7, r.ytm_close)
            .bind(8, r.clean_price_eod)
            .bind(9, r.volume)
            .run();
    }
    std::int64_t seq = 0;
    for (const RealizedRow& r : data.realized) {
        realized_.bind(1, id)
            .bind(2, ++seq)
            .bind(3, r.payment_date)
            .bind(4, r.cash_flow)
            .bind(5, r.principal_payment)
            .run();
    }
    seq = 0;
    for (const ImpliedRow& r : data.implied) {
        implied_.bind(1, id)
            .bind(2, ++seq)
            .bind(3, r.date)
            .bind(4, r.total_payment)
            .bind(5, r.payment_receivable)
            .bind(6, r.principal_payment)
            .run();
    }
}

void BundleDatabase::add_repo_rows(const std::string& id, const std::vector<RepoRow>& rows) {
    for (const RepoRow& r : rows) {
        repo_.bind(1, id)
            .bind(2, r.date)
            .bind(3, r.open)
            .bind(4, r.close)
            .bind(5, r.high)
            .bind(6, r.low)
            .bind(7, r.volume)
            .bind(8, r.total_turnover)
            .bind(9, r.weighted)
            .run();
    }
}

void BundleDatabase::add_curve(const std::string& curve, const tavlen::YieldCurve& points) {
    for (std::size_t i = 0; i < points.size(); ++i) {
        curve_.bind(1, curve)
            .bind(2, korvex::convert_date_to_date_int(points.dates[i]))
            .bind(3, points.tenors[i])
            .bind(4, points.yields[i])
            .run();
    }
}

void BundleDatabase::set_meta(const std::string& key, const std::string& value) {
    meta_.bind(1, key).bind(2, value).run();
}

void BundleDatabase::finish() {
    instrument_ = {};
    field_ = {};
    trading_date_ = {};
    valuation_ = {};
    price_ = {};
    repo_ = {};
    realized_ = {};
    implied_ = {};
    curve_ = {};
    meta_ = {};
    db_.exec("COMMIT");
}

}  // namespace korvex_generate
