"""Hold a ladder of inter-bank bonds to maturity, collecting coupons and principal.

[strategy] rungs: how many bonds; min_days: shortest maturity bought; cash_buffer: share of the
bond account kept as cash.
"""

from example_helpers import listed_bonds, priced_today

import korvex


class IbLadder:
    def __init__(self, settings):
        self.rungs = int(settings.get("rungs", 5))
        self.min_days = int(settings.get("min_days", 90))
        self.cash_buffer = float(settings.get("cash_buffer", 0.02))
        self.bought = False

    def handle_bar(self, context):
        if self.bought:
            return
        bonds = listed_bonds(context, ".IB", self.min_days)
        if not bonds:
            return
        # Spread the rungs over the maturities on offer: every k-th bond by maturity.
        step = max(1, len(bonds) // self.rungs)
        account = context.portfolio.account(korvex.DEFAULT_ACCOUNT_TYPE.BOND)
        budget = account.cash * (1 - self.cash_buffer) / self.rungs
        for bond in bonds[::step][:self.rungs]:
            if priced_today(context, bond.order_book_id):
                context.order_bond_value(bond.order_book_id, budget)
        self.bought = True

    def save_state(self, context):
        return {"bought": self.bought}

    def restore_state(self, context, state):
        self.bought = state["bought"]
