"""korvex: backtests of Chinese bond and repo strategies, driven from Python.

    import korvex

    def handle_bar(context):
        if not context.portfolio.positions:
            context.order_bond_value("019547.SH", 1_000_000)

    result = korvex.run("examples/demo.toml", strategy={"handle_bar": handle_bar})
    result.daily.equity.plot()

A strategy is a module, a class or an object with any of the hooks init, before_trading,
handle_bar, handle_tick(context, tick) and after_trading(context); see docs/strategies.md.
"""

import json
import os
import shutil
import tempfile
from pathlib import Path

from ._korvex import (  # the engine's own names
    DEFAULT_ACCOUNT_TYPE,
    INSTRUMENT_TYPE,
    ORDER_STATUS,
    ORDER_TYPE,
    POSITION_DIRECTION,
    POSITION_EFFECT,
    SIDE,
    TRADING_CALENDAR_TYPE,
    Account,
    AttributeError,
    BondInstrument,
    Context,
    Error,
    ImportError,
    Instrument,
    KeyError,
    NotImplementedError,
    Order,
    Portfolio,
    Position,
    RepoInstrument,
    RepoTrade,
    RuntimeError,
    Tick,
    Trade,
    TypeError,
    ValueError,
    min_repo_value,
)
from . import _korvex
from ._toml import to_toml as _to_toml
from ._sweep import sweep  # noqa: E402  (many runs on a Dask cluster)

# The error kinds (korvex.KeyError, ...) stay out of `import *`: there they would hide the
# built-ins they derive from.
__all__ = [
    "run", "sweep", "Result", "config_toml", "DEFAULT_ACCOUNT_TYPE", "INSTRUMENT_TYPE",
    "ORDER_STATUS", "ORDER_TYPE", "POSITION_DIRECTION", "POSITION_EFFECT", "SIDE",
    "TRADING_CALENDAR_TYPE", "Account", "BondInstrument", "Context", "Error",
    "Instrument", "Order", "Portfolio",
    "Position", "RepoInstrument", "RepoTrade", "Tick", "Trade",
    "min_repo_value",
]

class Result:
    """What a run gives back: its result files as pandas DataFrames and the summary as a dict.

    daily       one row per trading day (cash, market value, equity per account and in total)
    trades      one row per fill
    positions   the book at the end
    cash_flows  every entry of the accounts' cash journals, opening balances first
    attribution where each day's change of equity came from: date, order_book_id (empty for
                the book's own terms), term, amount; None when the run kept no such history
    positions_daily  every holding at every close; None when the run kept no such history
    summary     the figures of summary.json
    output_dir  where the files are, or None when the run wrote none
    """

    def __init__(self, folder, info, keep):
        import pandas as pd

        folder = Path(folder)
        self.output_dir = folder if keep else None
        self.order_warnings = list(info["order_warnings"])
        ids = {"order_book_id": str}
        self.daily = pd.read_csv(folder / "daily.csv", parse_dates=["date"], index_col="date")
        self.trades = pd.read_csv(folder / "trades.csv", parse_dates=["datetime"],
                                  dtype={**ids, "extra": str}, keep_default_na=False,
                                  na_values={"order_id": [""]})
        self.positions = pd.read_csv(folder / "positions.csv", dtype=ids)
        self.cash_flows = pd.read_csv(folder / "cash_flows.csv", parse_dates=["date"],
                                      dtype={**ids, "time": str}, keep_default_na=False,
                                      na_values={"order_id": [""], "trade_id": [""]})
        self.attribution = self.positions_daily = None
        if (folder / "attribution.csv").exists():
            self.attribution = pd.read_csv(folder / "attribution.csv", parse_dates=["date"],
                                           dtype=ids, keep_default_na=False,
                                           na_values={"amount": ["nan"]})
        if (folder / "positions_daily.csv").exists():
            self.positions_daily = pd.read_csv(folder / "positions_daily.csv",
                                               parse_dates=["date"], dtype=ids)
        with open(folder / "summary.json", encoding="utf-8") as f:
            self.summary = json.load(f)

    def __repr__(self):
        final = self.summary.get("final_equity", float("nan"))
        where = f", files in {self.output_dir}" if self.output_dir else ""
        return f"<korvex.Result {len(self.daily)} days, final equity {final:,.2f}{where}>"


def config_toml(table):
    """The TOML text of a configuration given as a dict (what korvex.run merges)."""
    return _to_toml(table)


def run(config, strategy=None, output_dir=None, verbose=False):
    """Runs one backtest and returns its Result.

    config      a TOML file's path, or a dict in the TOML's shape ({"base": {...}, "mod":
                {"bond": {...}}, "strategy": {...}}) over the built-in defaults
    strategy    a strategy class, instance, module or {"hook": function} dict; None runs the
                strategy the configuration names in base.strategy (a C++ strategy, a .py file
                or a Python module)
    output_dir  where the result files go: None for the configuration's base.output_dir (as the
                command line does), a path, or False for no files at all
    verbose     print the engine's info lines and every refused, rejected and expired order as it
                happens; without it only warnings and errors are printed (the refusals are always
                in the run's log and counted in Result.order_warnings)

    Errors of the engine are korvex.Error (korvex.KeyError is also a KeyError, and so on); an
    exception raised by the strategy comes back as itself, with a note saying in which hook and
    on which trading date, and the run leaves no result files behind.
    """
    if isinstance(config, (str, os.PathLike)):
        file, table = os.fspath(config), None
    elif isinstance(config, dict):
        file, table = None, _to_toml(config)
    else:
        raise TypeError(f"config must be a TOML file's path or a dict, not {type(config).__name__}")
    scratch = None
    if output_dir is False:
        scratch = tempfile.mkdtemp(prefix="korvex-run-")
        folder = scratch
    else:
        folder = None if output_dir is None else os.fspath(output_dir)
    _korvex._set_user_log_on_console(verbose)
    try:
        info = _korvex._run(file, table, strategy, folder, not verbose)
        if not info["output_dir"]:
            raise ValueError("the run wrote no results: base.output_dir is empty; give "
                             "output_dir=False for a run without files")
        return Result(info["output_dir"], info, keep=scratch is None)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
