"""Hold a book of exchange bonds at a target modified duration, with the engine's analytics alone.

Every `rebalance_days` trading days the book is split between two exchange bonds traded that day,
the shortest and the longest by modified duration (context.bond_analytics), in the weights that
put its value-weighted duration at `target` years; whatever else it holds is sold. A bond that
does not trade that day cannot be sold: the book is then off its target until a later rebalance.

[strategy] target: modified duration in years; rebalance_days; invest: share of the account put
into bonds.
"""

import math

from example_helpers import held, listed_bonds

LOT = 10  # exchange bonds trade in lots of 10 units


def traded_today(context, order_book_id):
    """A quote without trades (volume 0) fills nothing."""
    return context.history_bars(order_book_id, 1, fields="volume")[-1] > 0


class DurationTarget:
    def __init__(self, settings):
        self.target = float(settings.get("target", 3.0))
        self.rebalance_days = int(settings.get("rebalance_days", 20))
        self.invest = float(settings.get("invest", 0.95))
        self.day = 0

    def handle_bar(self, context):
        self.day += 1
        if (self.day - 1) % self.rebalance_days:
            return
        today = context.now.date()
        priced = []
        for bond in listed_bonds(context, ".SH", 365) + listed_bonds(context, ".SZ", 365):
            a = context.bond_analytics(bond.order_book_id)
            if a.as_of == today and math.isfinite(a.modified_duration) and traded_today(
                    context, bond.order_book_id):
                priced.append(a)
        if len(priced) < 2:
            return
        short = min(priced, key=lambda a: a.modified_duration)
        long = max(priced, key=lambda a: a.modified_duration)
        if not short.modified_duration < self.target < long.modified_duration:
            return
        w_long = (self.target - short.modified_duration) / (
            long.modified_duration - short.modified_duration)
        budget = context.stock_account.total_value * self.invest
        keep = {short.order_book_id, long.order_book_id}
        for account in context.portfolio.accounts.values():
            for position in account.positions:
                if position.order_book_id not in keep and position.quantity > 0:
                    context.order_bond_target(position.order_book_id, 0)
        for a, weight in ((short, 1 - w_long), (long, w_long)):
            units = math.floor(budget * weight / a.dirty_price / LOT) * LOT
            if units != held(context, a.order_book_id):
                context.order_bond_target(a.order_book_id, units)

    def save_state(self, context):
        return {"day": self.day}

    def restore_state(self, context, state):
        self.day = state["day"]
