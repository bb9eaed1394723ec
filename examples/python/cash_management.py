"""Lend idle cash every day: the Shanghai one-day reverse repo (204001.SH) from the stock account,
or the inter-bank R001 from the bond account.

[strategy] market: "exchange" or "inter_bank"; repo: the exchange repo; keep: cash kept back.
"""

import math

import korvex


def init(context):
    s = context.settings
    context.inter_bank = s.get("market", "exchange") == "inter_bank"
    context.repo = s.get("repo", "204001.SH")
    context.keep = float(s.get("keep", 0.0))


def handle_bar(context):
    account = context.portfolio.account(korvex.DEFAULT_ACCOUNT_TYPE.BOND if context.inter_bank
                                        else korvex.DEFAULT_ACCOUNT_TYPE.STOCK)
    idle = account.cash - context.keep
    if idle <= 0:
        return
    if context.inter_bank:
        amount = math.floor(context.calc_max_amount("R001.IB", idle) / 10) * 10
        if amount > 0:
            context.ib_reverse_repo(1, amount)
        return
    repo = context.instruments(context.repo)
    lot = repo.round_lot
    amount = math.floor(context.calc_max_amount(context.repo, idle) / lot) * lot
    # The exchange's minimum: what is left below it stays idle.
    if amount >= max(lot, korvex.min_repo_value(repo.exchange) or 0.0):
        context.exchange_reverse_repo(context.repo, amount)


def save_state(context):
    """Each day's lending follows from the account alone: nothing of its own to keep."""
    return {}
