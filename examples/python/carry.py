"""Leveraged carry: hold bonds, pledge them in repos and put the borrowed cash into more bonds,
keeping bond market value under `leverage` times equity. On a repo's due date its bonds can be
pledged again and the new repo's cash repays it that night; what the roll cannot repay is raised
by selling unpledged bonds.

    market = "exchange": Shanghai bonds, one-day repo 204001.SH rolled every day (the demo)
    market = "inter_bank": inter-bank bonds, R007 rolled when it falls due

[strategy] market, bonds, leverage, haircut, cash_buffer, min_days.
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
        # repo's bonds are pledged again and the new cash repays it tonight.
        new_borrowing = 0.0
        if borrowed == 0 or self.due_today(context):
            want = max(0.0, (self.leverage - 1) * equity) / self.haircut
            for b in self.bonds:
                if want <= 0:
                    break
                # A pledge must outlive the repo: leave bonds about to be repaid alone.
                if b.de_listed_date <= context.now + 14 * DAY:
                    continue
                nominal = min(want, pledgeable(context, b.order_book_id) * b.issue_price)
                if self.exchange:
                    nominal = math.floor(nominal / 1000) * 1000
                    if nominal < 100000 or not context.exchange_repo_financing(
                            "204001.SH", nominal, b.order_book_id, self.haircut):
                        continue
                else:
                    nominal = math.floor(nominal / 100) * 100
                    if nominal <= 0:
                        continue
                    trade = context.ib_repo(7, nominal, b.order_book_id, self.haircut)
                    if trade is None:
                        continue
                    self.due = trade.due_settlement_date
                new_borrowing += nominal * self.haircut
                want -= nominal
        # Free cash already nets tonight's repayment; an exchange repo brings its cash at the
        # close, when it fills.
        free = account.cash + (new_borrowing if self.exchange else 0.0)
        if free < 0:
            self.raise_cash(context, -free * 1.01)
            return
        # Invest the rest, up to the leverage limit.
        spare = free - self.cash_buffer * equity
        room = self.leverage * equity - bond_value
        if spare > 0 and room > 0:
            each = min(spare, room) / len(self.bonds)
            # Inter-bank bonds trade in at least 1000 units, exchange bonds in lots of 10.
            least = 10.0 if self.exchange else 1000.0
            for b in self.bonds:
                if each > least * price(context, b.order_book_id) and priced_today(
                        context, b.order_book_id):
                    context.order_bond_value(b.order_book_id, each)
        if self.exchange and new_borrowing > 0:
            self.due = context.now.date() + DAY

    def raise_cash(self, context, amount):
        """Sells unpledged bonds worth about `amount`; they fill at the close, before settlement."""
        lot = 10.0 if self.exchange else 1000.0
        for b in self.bonds:
            if amount <= 0:
                break
            units = min(closable(context, b.order_book_id),
                        math.ceil(amount / price(context, b.order_book_id) / lot) * lot)
            if units <= 0 or not priced_today(context, b.order_book_id):
                continue
            if context.order_bond(b.order_book_id, -units) is not None:
                amount -= units * price(context, b.order_book_id)

    def due_today(self, context):
        return self.due is not None and self.due <= context.now.date()

    def drop_matured(self, context):
        soon = context.now + 30 * DAY
        self.bonds = [b for b in self.bonds
                      if not (b.de_listed_date < soon and held(context, b.order_book_id) == 0)]


def price(context, order_book_id):
    for account in context.portfolio.accounts.values():
        p = account.position(order_book_id, LONG)
        if p is not None and p.last_price > 0:
            return p.last_price
    return 100.0


def pledgeable(context, order_book_id):
    for account in context.portfolio.accounts.values():
        p = account.position(order_book_id, LONG)
        if p is not None:
            return max(0.0, p.pledgeable)
    return 0.0


def closable(context, order_book_id):
    for account in context.portfolio.accounts.values():
        p = account.position(order_book_id, LONG)
        if p is not None:
            return max(0.0, p.closable)
    return 0.0
