-- The market-data client's database (read-only for the client). Dates are integers YYYYMMDD.
-- Composite keys lead with order_book_id so one instrument's rows are one contiguous range;
-- WITHOUT ROWID stores each table in its key order.

CREATE TABLE IF NOT EXISTS instrument (
    order_book_id TEXT PRIMARY KEY,
    type TEXT NOT NULL,
    seq INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS instrument_by_type ON instrument (type, seq);

CREATE TABLE IF NOT EXISTS instrument_field (
    order_book_id TEXT NOT NULL,
    name TEXT NOT NULL,
    seq INTEGER NOT NULL,
    kind TEXT NOT NULL CHECK (kind IN ('none', 'bool', 'int', 'float', 'text', 'datetime')),
    value,
    PRIMARY KEY (order_book_id, name)
) WITHOUT ROWID;

CREATE TABLE IF NOT EXISTS trading_date (
    date INTEGER PRIMARY KEY
);

CREATE TABLE IF NOT EXISTS valuation (
    order_book_id TEXT NOT NULL,
    source TEXT NOT NULL,
    valuation_type TEXT NOT NULL,
    date INTEGER NOT NULL,
    dirty_price_eod REAL,
    clean_price REAL,
    ytm REAL,
    modified_duration REAL,
    convexity REAL,
    dv01 REAL,
    time_to_maturity REAL,
    residual_principal REAL,
    PRIMARY KEY (order_book_id, source, valuation_type, date)
) WITHOUT ROWID;

CREATE TABLE IF NOT EXISTS price (
    order_book_id TEXT NOT NULL,
    source TEXT NOT NULL,
    date INTEGER NOT NULL,
    dirty_price_open REAL,
    dirty_price_high REAL,
    dirty_price_low REAL,
    dirty_price_eod REAL,
    ytm_close REAL,
    clean_price_eod REAL,
    volume REAL,
    PRIMARY KEY (order_book_id, source, date)
) WITHOUT ROWID;

CREATE TABLE IF NOT EXISTS repo_quotation (
    order_book_id TEXT NOT NULL,
    date INTEGER NOT NULL,
    open REAL,
    close REAL,
    high REAL,
    low REAL,
    volume REAL,
    total_turnover REAL,
    weighted REAL,
    PRIMARY KEY (order_book_id, date)
) WITHOUT ROWID;

CREATE TABLE IF NOT EXISTS realized_cash_flow (
    order_book_id TEXT NOT NULL,
    seq INTEGER NOT NULL,
    payment_date INTEGER NOT NULL,
    cash_flow REAL,
    principal_payment REAL,
    PRIMARY KEY (order_book_id, seq)
) WITHOUT ROWID;

CREATE TABLE IF NOT EXISTS implied_cash_flow (
    order_book_id TEXT NOT NULL,
    seq INTEGER NOT NULL,
    date INTEGER NOT NULL,
    total_payment REAL,
    payment_receivable REAL,
    principal_payment REAL,
    PRIMARY KEY (order_book_id, seq)
) WITHOUT ROWID;

-- Yield curves: one row per point; yields in percent, tenors in years (0 is overnight).
CREATE TABLE IF NOT EXISTS yield_curve (
    curve TEXT NOT NULL,
    date INTEGER NOT NULL,
    tenor REAL NOT NULL,
    yield REAL NOT NULL,
    PRIMARY KEY (curve, date, tenor)
) WITHOUT ROWID;

CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value TEXT
);
