"""A data bundle outside a run, for research and for building signals: read-only, and read the
way a run reads it (the same SQLite file, the bond mod's own stores), so what it gives is what a
run's strategy would see.

    import korvex.data

    bundle = korvex.data.open("data/bundle")
    bonds = bundle.instruments("bond")                    # one row per bond, its fields
    bars = bundle.day_bars(["019547.SH"], source="auto")  # as under mod.bond.valuation_source
    curve = bundle.yield_curve("treasury", start_date="2020-01-01")

Dates may be given as "YYYY-MM-DD", "YYYYMMDD", datetime.date or pandas.Timestamp. Day tables
come back indexed by (order_book_id, date); prices are per 100 face, yields in percent (repo
rates as fractions), tenors in years.
"""

import datetime
import os
from pathlib import Path

import numpy as np
import pandas as pd

from . import _korvex

__all__ = ["open", "Bundle"]

_EARLIEST, _LATEST = "19000101", "29991231"


def open(bundle, database=None):  # noqa: A001 - korvex.data.open reads as intended
    """Opens the bundle folder `bundle`. Its database is `database` when given, else
    $TAVLEN_DATABASE when set (as for a run), else `<bundle>/tavlen.sqlite`."""
    return Bundle(bundle, database)


def _date_arg(value, default):
    if value is None:
        return default
    if isinstance(value, (datetime.date, pd.Timestamp)):
        return value.strftime("%Y%m%d")
    text = str(value).strip().replace("-", "")
    if len(text) != 8 or not text.isdigit():
        raise ValueError(f"'{value}' is not a date (YYYY-MM-DD or YYYYMMDD)")
    return text


def _days(ints):
    return pd.to_datetime(np.asarray(ints, dtype=np.int64).astype(str), format="%Y%m%d")


def _ids(order_book_ids):
    return [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)


class Bundle:
    """A data bundle, read-only. See the module's help for units and date arguments."""

    def __init__(self, bundle, database=None):
        self.path = Path(bundle)
        if not self.path.is_dir():
            raise FileNotFoundError(f"data bundle '{self.path}' is not a directory")
        if database is None:
            database = os.environ.get("TAVLEN_DATABASE") or self.path / "tavlen.sqlite"
        self.database = Path(database)
        self._reader = _korvex._BundleReader(str(self.path), str(self.database))

    def __repr__(self):
        return f"<korvex.data.Bundle {self.path}>"

    def instruments(self, type="bond"):  # noqa: A002 - the client's own argument name
        """The instruments a run knows of this type ("bond" or "repo"), one row per id indexed by
        order_book_id, with every field of its record (a field a record lacks is NaN/None)."""
        rows = self._reader.instruments(type)
        frame = pd.DataFrame(rows)
        return frame.set_index("order_book_id") if len(frame) else frame

    def day_bars(self, order_book_ids, source="auto", start_date=None, end_date=None):
        """Bonds' day bars as a run with mod.bond.valuation_source = `source` ("auto",
        "chinabond" or "exchange") reads them: dirty prices open/close/high/low, volume and the
        valuation columns (NaN where the source has none)."""
        return self._bars(order_book_ids, start_date, end_date,
                          lambda i: self._reader.day_bars(i, source))

    def repo_bars(self, order_book_ids, start_date=None, end_date=None):
        """Repos' day bars as a run reads them: rates as fractions, weighted the volume-weighted
        rate; a day without trades has volume NaN."""
        return self._bars(order_book_ids, start_date, end_date, self._reader.repo_bars)

    def _bars(self, order_book_ids, start_date, end_date, read):
        lo, hi = int(_date_arg(start_date, _EARLIEST)), int(_date_arg(end_date, _LATEST))
        frames = []
        for i in _ids(order_book_ids):
            bars = read(i)
            days = np.asarray(bars["datetime"], dtype=np.int64) // 1000000
            keep = (days >= lo) & (days <= hi)
            frame = pd.DataFrame({n: np.asarray(bars[n])[keep]
                                  for n in bars.dtype.names if n != "datetime"})
            frame.index = pd.MultiIndex.from_arrays(
                [[i] * int(keep.sum()), _days(days[keep])], names=["order_book_id", "date"])
            frames.append(frame)
        return pd.concat(frames) if frames else pd.DataFrame()

    def valuations(self, order_book_ids, start_date=None, end_date=None, source="chinabond",
                   valuation_type="recommended"):
        """Valuation rows with their analytics: dirty_price_eod, dv01 (yuan per unit for one
        basis point), ytm (percent), clean_price, modified_duration (years), convexity,
        time_to_maturity (years), residual_principal."""
        return self._table("valuation", order_book_ids, start_date, end_date, source,
                           valuation_type)

    def prices(self, order_book_ids, start_date=None, end_date=None, source="cfets"):
        """Exchange price rows: dirty open/high/low/eod, ytm_close (percent), clean_price_eod,
        volume (units)."""
        return self._table("price", order_book_ids, start_date, end_date, source, "")

    def repo_quotations(self, order_book_ids, start_date=None, end_date=None):
        """Money-market quotations of repos: open/close/high/low/weighted rates as fractions,
        volume and total_turnover."""
        return self._table("repo_quotation", order_book_ids, start_date, end_date, "", "")

    def cash_flows(self, order_book_ids, kind="realized", start_date=None, end_date=None):
        """A bond's payments per unit: kind "realized" (cash_flow and principal_payment by
        payment_date, the whole life) or "implied" (total_payment, payment_receivable,
        principal_payment by date)."""
        if kind not in ("realized", "implied"):
            raise ValueError(f"kind '{kind}': expected 'realized' or 'implied'")
        return self._table(f"{kind}_cash_flow", order_book_ids, start_date, end_date, "", "")

    def _table(self, kind, order_book_ids, start_date, end_date, source, valuation_type):
        lo, hi = _date_arg(start_date, _EARLIEST), _date_arg(end_date, _LATEST)
        frames = []
        for i in _ids(order_book_ids):
            got = self._reader.table(kind, i, lo, hi, source, valuation_type)
            if got is None:
                continue
            level, dates, columns = got
            frame = pd.DataFrame(columns)
            frame.index = pd.MultiIndex.from_arrays([[i] * len(dates), _days(dates)],
                                                    names=["order_book_id", level])
            frames.append(frame)
        return pd.concat(frames) if frames else pd.DataFrame()

    def yield_curves(self):
        """The names of the bundle's yield curves ("treasury" in generated bundles)."""
        return list(self._reader.curves())

    def yield_curve(self, curve="treasury", start_date=None, end_date=None, wide=False):
        """A curve's points: columns date, tenor (years; 0 is overnight), yield (percent), by
        date then tenor. `wide=True`: one row per date, one column per tenor. KeyError for a
        curve the bundle does not hold."""
        got = self._reader.curve(curve, _date_arg(start_date, _EARLIEST),
                                 _date_arg(end_date, _LATEST))
        if got is None:
            raise KeyError(f"the bundle holds no curve '{curve}' (it has: "
                           f"{', '.join(self.yield_curves()) or 'none'})")
        dates, tenors, yields = got
        frame = pd.DataFrame({"date": _days(dates), "tenor": tenors, "yield": yields})
        return frame.pivot(index="date", columns="tenor", values="yield") if wide else frame

    def trading_dates(self, market="exchange", start_date=None, end_date=None):
        """The trading days of "exchange" (trading_dates.txt) or "inter_bank" (the database's
        calendar) within the range."""
        days = np.asarray(self._reader.trading_dates(market), dtype=np.int64)
        lo, hi = int(_date_arg(start_date, _EARLIEST)), int(_date_arg(end_date, _LATEST))
        return _days(days[(days >= lo) & (days <= hi)])
