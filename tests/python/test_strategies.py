"""Python strategies in runs: from a file on the command line and from Python, what the context
offers, and how failures reach the user."""

import datetime
import json
import os
import signal
import subprocess
import textwrap
import threading

import numpy as np
import pandas as pd
import pytest

import korvex
import korvex.data
from conftest import BUILD

BOND = "155004.SH"  # listed throughout the demo's period, priced on its first days

# The guide's first strategy: buy a bond, pledge half of it for a one-day repo, note the book.
GUIDE = textwrap.dedent('''
    import json

    def handle_bar(context):
        if context.now.day == 2:
            context.order_bond("155004.SH", 2000)
        elif context.now.day == 3:
            context.exchange_repo_financing("204001.SH", 100000, "155004.SH", haircut=0.9)

    def after_trading(context):
        p = context.stock_account.position("155004.SH")
        if p and context.now.day == 3:
            with open(context.settings["notes"], "w") as f:
                json.dump([p.type.name, p.quantity, p.pledged_quantity, p.closable], f)
''')


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_a_strategy_file_runs_alike_from_the_command_line_and_from_python(tmp_path, on_bundle):
    path = write(tmp_path, "guide.py", GUIDE)
    config = on_bundle("demo.toml", strategy=str(path), end_date="2019-01-10")
    config["strategy"] = {"notes": str(tmp_path / "cli.json")}
    (tmp_path / "cli.toml").write_text(korvex.config_toml(config))
    cli = subprocess.run([BUILD / "bin" / "korvex", "run", "-c", tmp_path / "cli.toml",
                          "-o", tmp_path / "cli"], capture_output=True, text=True)
    assert cli.returncode == 0, cli.stderr
    config["strategy"] = {"notes": str(tmp_path / "py.json")}
    result = korvex.run(config, output_dir=tmp_path / "py")

    assert (tmp_path / "cli" / "trades.csv").read_text() == (tmp_path / "py" / "trades.csv").read_text()
    assert list(result.trades.order_book_id) == [BOND, "204001.SH"]
    # 100000 of face value pledged is 1000 units of 100; the rest stays free to sell.
    notes = json.loads((tmp_path / "py.json").read_text())
    assert notes == ["BOND", 2000.0, 1000.0, 1000.0]
    assert json.loads((tmp_path / "cli.json").read_text()) == notes


class Probe:
    """Reads what the context offers on the first day, and keeps it for the test."""

    def __init__(self, settings):
        self.seen = {"settings": settings}

    def handle_bar(self, context):
        if "bars" in self.seen:
            return
        self.context = context
        bars = context.day_bars(BOND)
        self.seen["bars"] = bars
        self.seen["again"] = context.day_bars(BOND)
        self.seen["closes"] = context.history_bars(BOND, 3, fields="close")
        self.seen["last_two"] = context.history_bars(BOND, 2, "1d", ["datetime", "close"])
        self.seen["next_day"] = context.get_next_trading_date(context.now)
        self.seen["day_before"] = context.get_previous_trading_date("2019-01-02")
        self.seen["instrument"] = context.instruments(BOND)
        self.seen["refused"] = context.order_bond(BOND, 10_000_000)
        self.seen["refusal"] = context.last_refusal
        try:
            context.instruments("NOSUCH.SH")
        except KeyError as e:  # the engine's KeyError is also Python's
            self.seen["unknown"] = e


def test_context_offers_the_engines_bars_calendars_instruments_and_refusals(on_bundle):
    probe = Probe({"leverage": 1.4})
    result = korvex.run(on_bundle("demo.toml", end_date="2019-01-08"), strategy=probe,
                        output_dir=False)
    seen = probe.seen
    assert seen["settings"]["leverage"] == 1.4
    bars = seen["bars"]
    assert bars.dtype.names[:3] == ("datetime", "open", "close")
    assert not bars.flags.writeable and not bars.flags.owndata
    assert np.shares_memory(bars, seen["again"])  # one array of the store's, not copies
    assert bars["datetime"][0] == 20180102000000
    # Nothing after the run's day: the first handle_bar is at the close of 2019-01-02.
    assert bars["datetime"][-1] == 20190102000000
    assert np.shares_memory(seen["closes"], bars) and len(seen["closes"]) == 3
    assert list(seen["closes"]) == list(bars["close"][-3:])
    assert seen["last_two"].dtype.names == ("datetime", "close")
    assert list(seen["last_two"]["datetime"]) == list(bars["datetime"][-2:])
    assert seen["next_day"] == datetime.date(2019, 1, 3)
    assert seen["day_before"] == datetime.date(2018, 12, 28)  # over the New Year holiday
    assert isinstance(seen["instrument"], korvex.BondInstrument)
    assert seen["instrument"].issue_price == 100.0
    assert seen["refused"] is None
    assert seen["refusal"].startswith("Order creation failed: ")
    assert isinstance(seen["unknown"], korvex.KeyError)
    assert "NOSUCH.SH" in seen["unknown"].args[0]
    assert len(result.trades) == 0
    # The run's objects do not outlive it.
    with pytest.raises(korvex.RuntimeError, match="belongs to a run that has ended"):
        probe.context.portfolio


FAILING = textwrap.dedent('''
    def handle_bar(context):
        if context.now.day == 4:
            1 / 0
''')


def test_a_strategy_exception_ends_the_run_with_its_traceback_and_date_and_no_results(
        tmp_path, on_bundle):
    path = write(tmp_path, "failing.py", FAILING)
    out = tmp_path / "out"
    config = on_bundle("demo.toml", strategy=str(path))
    korvex.run(dict(config, base=dict(config["base"], end_date="2019-01-03")), output_dir=out)
    assert (out / "summary.json").exists()  # an earlier run's
    with pytest.raises(ZeroDivisionError) as raised:
        korvex.run(config, output_dir=out)
    assert raised.value.__notes__ == [
        "korvex: the strategy's handle_bar raised on 2019-01-04; the run stopped"]
    assert raised.traceback[-1].path == path and raised.traceback[-1].lineno == 3
    assert not (out / "summary.json").exists()
    assert "the run failed: the strategy's handle_bar raised on 2019-01-04" in (
        out / "run.log").read_text()

    (tmp_path / "cli.toml").write_text(korvex.config_toml(config))
    cli = subprocess.run([BUILD / "bin" / "korvex", "run", "-c", tmp_path / "cli.toml", "-o", out],
                         capture_output=True, text=True)
    assert cli.returncode == 2
    assert cli.stderr.startswith(
        "error: the strategy's handle_bar raised on 2019-01-04:\nTraceback (most recent call last):")
    assert f'File "{path}", line 4, in handle_bar' in cli.stderr
    assert cli.stderr.endswith("ZeroDivisionError: division by zero\n")


def test_engine_errors_are_python_exceptions_of_their_kind(on_bundle):
    with pytest.raises(korvex.ValueError) as bad:
        korvex.run(on_bundle("demo.toml", frequency="2d"), output_dir=False)
    assert isinstance(bad.value, ValueError) and isinstance(bad.value, korvex.Error)
    with pytest.raises(KeyError, match="unknown strategy 'no_such_strategy'"):
        korvex.run(on_bundle("demo.toml", strategy="no_such_strategy"), output_dir=False)
    with pytest.raises(TypeError, match="configuration entry 'strategy.when' cannot be a set"):
        korvex.run({"strategy": {"when": {1}}}, output_dir=False)


def test_handle_tick_sees_every_snapshot_of_the_subscribed_bonds(on_bundle):
    counts = {"calls": 0, "expected": 0, "bonds": set()}

    def before_trading(context):
        for bond in ("155003.SH", "163004.SH"):
            context.subscribe(bond)
            assert len(context.ticks(bond, context.now)) == 0  # the session is still ahead

    def after_trading(context):
        for bond in ("155003.SH", "163004.SH"):
            counts["expected"] += len(context.ticks(bond, context.now))

    def handle_tick(context, tick):
        counts["calls"] += 1
        counts["bonds"].add(tick.order_book_id)
        assert len(tick.asks) == 5 and tick.datetime.date() == context.now.date()

    korvex.run(on_bundle("tick_offers.toml"), output_dir=False,
               strategy={"before_trading": before_trading, "handle_tick": handle_tick,
                         "after_trading": after_trading})
    assert counts["expected"] > 1000
    assert counts["calls"] == counts["expected"]


def test_another_thread_gets_an_error_not_a_crash_and_ctrl_c_stops_a_run(on_bundle):
    # A thread reading the run while the loop changes it is refused, never let through.
    seen, errors, stop = {}, [], threading.Event()

    def reader():
        while not stop.is_set():
            if "context" in seen:
                try:
                    seen["context"].portfolio.total_value
                except korvex.RuntimeError as e:
                    errors.append(str(e))

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        korvex.run(on_bundle("demo.toml", end_date="2019-06-28"), output_dir=False,
                   strategy={"init": lambda c: seen.update(context=c),
                             "handle_bar": lambda c: c.portfolio.total_value})
    finally:
        stop.set()
        thread.join()
    assert any(e.startswith("the run's objects can be read only inside the strategy's own calls")
               for e in errors)

    # Ctrl-C during a run of a C++ strategy, which runs no Python: the run stops within a day.
    timer = threading.Timer(0.03, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        korvex.run(on_bundle("demo.toml", start_date="2018-01-02", end_date="2023-12-29"),
                   output_dir=False)
    timer.join()


def test_a_book_held_at_a_target_duration_with_the_engines_analytics(on_bundle):
    """The example puts an exchange-bond book at 3 years of modified duration on the days it
    rebalances fully: the book's own daily figure, computed from exchange prices, says so."""
    result = korvex.run(on_bundle("python/duration_target.toml", end_date="2019-12-31"),
                        output_dir=False)
    daily = result.daily
    traded = set(result.trades.datetime.astype(str).str[:10])
    rebalanced = daily[daily.index.astype(str).isin(traded) & (daily.leverage > 0.9)]
    assert ((rebalanced.modified_duration - 3.0).abs() < 0.01).sum() >= 6
    bought = set(result.trades.order_book_id)
    assert len(bought) >= 2 and all(i.endswith((".SH", ".SZ")) for i in bought)

    seen = {}

    def handle_bar(context):
        for bond in context.all_instruments(korvex.INSTRUMENT_TYPE.BOND):
            a = context.bond_analytics(bond.order_book_id)
            if a.source == "quantlib" and a.as_of == context.now.date():
                seen.setdefault("computed", a)
            if a.source == "valuation":
                seen.setdefault("valued", a)

    korvex.run(on_bundle("python/duration_target.toml", end_date="2019-01-10"),
               strategy={"handle_bar": handle_bar}, output_dir=False)
    a = seen["computed"]
    assert abs(a.clean_price + a.accrued_interest - a.dirty_price) < 1e-9
    assert a.dv01 == pytest.approx(a.dirty_price * a.modified_duration * 1e-4)
    assert a.cash_flows[-1][2] > 0 and a.next_coupon_amount > 0
    assert "valued" in seen
    with pytest.raises(korvex.ValueError, match="204001.SH is not a bond"):
        korvex.run(on_bundle("python/duration_target.toml", end_date="2019-01-03"),
                   strategy={"handle_bar": lambda c: c.bond_analytics("204001.SH")},
                   output_dir=False)


def test_every_bound_call_names_its_arguments_and_says_what_it_does():
    import inspect
    for name, cls in inspect.getmembers(korvex._korvex, inspect.isclass):
        for attr, f in vars(cls).items():
            if attr.startswith("_") or not callable(f) or not hasattr(f, "__doc__"):
                continue
            doc = f.__doc__ or ""
            assert "arg0" not in doc, f"{name}.{attr}"
            assert [l for l in doc.splitlines()[1:] if l.strip()], f"{name}.{attr} has no doc"


def test_the_book_against_a_bond_a_repo_and_the_treasury_index(bundle, on_bundle):
    data = korvex.data.open(bundle)

    def run(benchmark):
        c = on_bundle("demo.toml", start_date="2019-01-02", end_date="2019-12-31")
        c["mod"]["bond"]["benchmark"] = benchmark
        return korvex.run(c, output_dir=False)

    # A bond: each close, from the close before the run, with the coupons it paid so far, by
    # hand from the bundle's tables.
    r = run("019503.SH")
    close = data.day_bars("019503.SH").close.droplevel(0)
    paid = data.cash_flows("019503.SH").droplevel(0)["2019-01-02":"2019-12-31"].cash_flow
    assert len(paid) == 1
    s = r.summary
    growth = [(close[:day].iloc[-1] + paid[:day].sum()) / close[:"2018-12-31"].iloc[-1]
              for day in r.daily.index]
    assert np.allclose(r.daily.benchmark_equity, np.array(growth) * s["starting_cash"],
                       rtol=1e-12, atol=0)
    assert s["benchmark_return"] == pytest.approx(growth[-1] - 1, rel=1e-12)
    assert s["excess_return"] == pytest.approx(s["total_return"] - s["benchmark_return"], abs=1e-12)
    # Tracking error and information ratio from the two equity columns.
    start = s["starting_cash"]
    returns = [c.pct_change().fillna(c.iloc[0] / start - 1)
               for c in (r.daily.equity, r.daily.benchmark_equity)]
    active = returns[0] - returns[1]
    assert s["tracking_error"] == pytest.approx(active.std() * np.sqrt(252), rel=1e-9)
    assert s["information_ratio"] == pytest.approx(
        active.mean() * 252 / s["tracking_error"], rel=1e-9)

    # A repo: the rate at the previous close of the run's calendar, for the nights to this one.
    r = run("R001.IB")
    rates = data.repo_bars("R001.IB").close.droplevel(0)
    before = data.trading_dates("exchange", end_date="2018-12-31")[-1]
    days = pd.DatetimeIndex([before]).append(r.daily.index)
    growth = np.prod([1 + rates[:days[i - 1]].iloc[-1] * (days[i] - days[i - 1]).days / 365
                      for i in range(1, len(days))])
    assert r.summary["benchmark_return"] == pytest.approx(growth - 1, rel=1e-12)

    # The treasury index on its first day: the government bonds with a month to run, priced at
    # the previous close, weighted by that close times the size issued.
    r = run("treasury_index")
    bonds = data.instruments()
    bonds = bonds[(bonds.bond_type == "government") & (bonds.listed_date <= "2018-12-28")
                  & (bonds.de_listed_date.astype(str) > "2018-12-28")
                  & (bonds.maturity_date >= "2019-01-27")]
    closes = data.day_bars(list(bonds.index), end_date="2019-01-02").close
    value_before = value_after = 0
    for id, bond in bonds.iterrows():
        c = closes.loc[id] if id in closes.index.get_level_values(0) else closes.iloc[:0]
        before = c[:"2018-12-28"]
        if before.empty or before.index[-1] < pd.Timestamp("2018-12-18"):
            continue
        face = bond.initial_issue_size / 100
        value_before += face * before.iloc[-1]
        value_after += face * c.iloc[-1]
    first_day = r.daily.benchmark_equity.iloc[0] / r.summary["starting_cash"] - 1
    assert first_day == pytest.approx(value_after / value_before - 1, rel=1e-9)
    assert 0.02 < r.summary["benchmark_return"] < 0.08
