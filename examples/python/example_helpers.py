"""Small helpers the Python example strategies share (twins of examples/strategies/common.cpp)."""

import datetime

import numpy as np

import korvex

LONG = korvex.POSITION_DIRECTION.LONG


def listed_bonds(context, suffix, min_days):
    """Bonds of a market (".IB", ".SH", ".SZ") listed today, maturing after min_days, by maturity."""
    now = context.now
    horizon = now + datetime.timedelta(days=min_days)
    bonds = [b for b in context.all_instruments(korvex.INSTRUMENT_TYPE.BOND)
             if isinstance(b, korvex.BondInstrument) and b.order_book_id.endswith(suffix)
             and b.listed_at(now) and b.de_listed_date >= horizon and b.issue_price is not None]
    return sorted(bonds, key=lambda b: b.de_listed_date)


def priced_today(context, order_book_id):
    """True when the instrument has a bar today: only then can an order for it fill."""
    stamps = context.day_bars(order_book_id)["datetime"]
    today = int(context.now.strftime("%Y%m%d")) * 1_000_000
    i = np.searchsorted(stamps, today)
    return i < len(stamps) and stamps[i] == today


def held(context, order_book_id):
    """Units held (long) of an instrument, 0 when none."""
    for account in context.portfolio.accounts.values():
        position = account.position(order_book_id, LONG)
        if position is not None:
            return position.quantity
    return 0.0
