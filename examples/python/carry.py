"""Leveraged carry: hold bonds, pledge them in repos and put the borrowed cash into more bonds,
keeping bond market value under `leverage` times equity. On a repo's due date its bonds can be
pledged again and the new repo's cash repays it that night; what the roll cannot repay is raised
by selling unpledged bonds.

    market = "exchange": Shanghai bonds, one-day repo 204001.SH rolled every day (the demo)
    market = "inter_bank": inter-bank bonds, R007 rolled when it falls due

[strategy] market, bonds, leverage (1 to 2), haircut, cash_buffer, min_days.
"""

import datetime
import math

from example_helpers import LONG, held, listed_bonds, priced_today

import korvex

DAY = datetime.timedelta(days=1)


class Carry:
    def __init__(self, settings):
        self.exchange = settings.get("market", "exchange") == "exchange"
        self.bonds_wanted = int(settings.get("bonds", 4))
        self.leverage = float(settings.get("leverage", 1.4))
        self.haircut = float(settings.get("haircut", 0.9))
        self.cash_buffer = float(settings.get("cash_buffer", 0.02))
        self.min_days = int(settings.get("min_days", 365))
        # Beyond twice equity the collateral of a bond being repaid can outgrow what the others
        # and the market can take over in a day.
        if not 1 <= self.leverage <= 2:
            raise ValueError("strategy.leverage must be between 1 and 2 (bond value over equity), "
                             f"got {self.leverage:g}")
        if not 0 < self.haircut <= 1:
            raise ValueError(f"strategy.haircut must be in (0, 1], got {self.haircut:g}")
        self.bonds = []
        self.due = None

    def handle_bar(self, context):
        account = context.portfolio.account(korvex.DEFAULT_ACCOUNT_TYPE.STOCK if self.exchange
                                            else korvex.DEFAULT_ACCOUNT_TYPE.BOND)
        if not self.bonds:
            self.bonds = listed_bonds(context, ".SH" if self.exchange else ".IB",
                                      self.min_days)[:self.bonds_wanted]
            budget = account.cash * (1 - self.cash_buffer) / max(1, len(self.bonds))
            for b in self.bonds:
                if priced_today(context, b.order_book_id):
                    context.order_bond_value(b.order_book_id, budget)
            return
        self.drop_matured(context)
        if not self.bonds:
            return
        equity = account.total_value
        borrowed = sum(p.short_quantity for p in account.positions)
        bond_value = 0.0
        for b in self.bonds:
            bond_value += held(context, b.order_book_id) * price(context, b.order_book_id)
        # Roll the financing when nothing is outstanding or it falls due today: the maturing
        # repo's bonds are pledged again and the new cash repays it tonight. The latest
        # maturities first; retiring bonds only where the others do not cover the loan.
        new_borrowing = 0.0
        if borrowed == 0 or self.due_today(context):
            want = max(0.0, (self.leverage - 1) * equity) / self.haircut
            for fallback in (False, True):
                for b in sorted(self.bonds, key=lambda b: b.de_listed_date, reverse=True):
                    if want <= 0 or retiring(context, b) != fallback:
                        continue
                    nominal = self.finance(context, b.order_book_id,
                                           min(want, pledgeable_face(context, b.order_book_id)))
                    new_borrowing += nominal * self.haircut
                    want -= nominal
        if self.exchange and new_borrowing > 0:
            self.due = context.now.date() + DAY
        # Retiring bonds are sold as their pledges free them; new bonds take their place.
        for b in self.bonds:
            if retiring(context, b):
                self.sell_within_volume(context, b.order_book_id, 1e300)
        # Free cash already nets tonight's repayment; an exchange repo brings its cash at the
        # close, when it fills.
        free = account.cash + (new_borrowing if self.exchange else 0.0)
        if free < 0:
            self.raise_cash(context, -free * 1.01)
            return
        # Invest the rest, up to the leverage limit.
        spare = free - self.cash_buffer * equity
        room = self.leverage * equity - bond_value
        staying = sum(1 for b in self.bonds if not retiring(context, b))
        if spare > 0 and room > 0 and staying > 0:
            each = min(spare, room) / staying
            # Inter-bank bonds trade in at least 1000 units, exchange bonds in lots of 10.
            least = 10.0 if self.exchange else 1000.0
            for b in self.bonds:
                if not retiring(context, b) and each > least * price(context, b.order_book_id) \
                        and priced_today(context, b.order_book_id):
                    context.order_bond_value(b.order_book_id, each)

    def save_state(self, context):
        """The bonds it follows and its repo's due date: what a resumed run needs to go on alike."""
        return {"bonds": [b.order_book_id for b in self.bonds], "due": self.due}

    def restore_state(self, context, state):
        self.bonds = [context.instruments(i) for i in state["bonds"]]
        self.due = state["due"]

    def finance(self, context, order_book_id, nominal):
        """Borrows about `nominal` against the bond in the market's repo; the nominal borrowed."""
        if self.exchange:
            nominal = math.floor(nominal / 1000) * 1000
            if nominal < 100000 or not context.exchange_repo_financing(
                    "204001.SH", nominal, order_book_id, self.haircut):
                return 0.0
            return nominal
        nominal = math.floor(nominal / 100) * 100
        if nominal <= 0:
            return 0.0
        trade = context.ib_repo(7, nominal, order_book_id, self.haircut)
        if trade is None:
            return 0.0
        self.due = trade.due_settlement_date
        return nominal

    def sell_within_volume(self, context, order_book_id, amount):
        """Sells up to `amount` of the bond's unpledged units, within a fifth of the day's volume
        so that the sale fills at the close, before settlement; the value offered."""
        if not priced_today(context, order_book_id):
            return 0.0
        lot = 10.0 if self.exchange else 1000.0
        volume = context.day_bars(order_book_id)["volume"][-1]
        # Valuation bars (inter-bank bonds) carry no volume, and no volume limit applies.
        within = math.floor(volume * 0.2 / lot) * lot if math.isfinite(volume) else math.inf
        units = min(within, closable(context, order_book_id),
                    math.ceil(amount / price(context, order_book_id) / lot) * lot)
        if units <= 0 or context.order_bond(order_book_id, -units) is None:
            return 0.0
        return units * price(context, order_book_id)

    def raise_cash(self, context, amount):
        """Sells bonds worth about `amount`, the earliest maturities first."""
        for b in sorted(self.bonds, key=lambda b: b.de_listed_date):
            if amount <= 0:
                break
            amount -= self.sell_within_volume(context, b.order_book_id, amount)

    def due_today(self, context):
        return self.due is not None and self.due <= context.now.date()

    def drop_matured(self, context):
        """Retiring bonds no longer held leave the list; new bonds keep `bonds` of them staying."""
        self.bonds = [b for b in self.bonds
                      if not (retiring(context, b) and held(context, b.order_book_id) == 0)]
        staying = sum(1 for b in self.bonds if not retiring(context, b))
        ids = {b.order_book_id for b in self.bonds}
        for b in listed_bonds(context, ".SH" if self.exchange else ".IB", self.min_days):
            if staying >= self.bonds_wanted:
                break
            if b.order_book_id not in ids:
                self.bonds.append(b)
                staying += 1


def price(context, order_book_id):
    for account in context.portfolio.accounts.values():
        p = account.position(order_book_id, LONG)
        if p is not None and p.last_price > 0:
            return p.last_price
    return 100.0


def retiring(context, bond):
    """Within two months of its repayment a bond is retired: sold, not bought, pledged last."""
    return bond.de_listed_date <= context.now + 60 * DAY


def pledgeable_face(context, order_book_id):
    """The face value a new financing may pledge: pledgeable units times what is still
    outstanding of each unit's principal."""
    for account in context.portfolio.accounts.values():
        p = account.position(order_book_id, LONG)
        if p is not None:
            return max(0.0, p.pledgeable) * p.remaining_principal
    return 0.0


def closable(context, order_book_id):
    for account in context.portfolio.accounts.values():
        p = account.position(order_book_id, LONG)
        if p is not None:
            return max(0.0, p.closable)
    return 0.0
