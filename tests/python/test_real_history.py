"""A bundle generated on the published ChinaBond treasury curve: what of it is the curve, the two
examples that replay 2013 and 2014-2015, and korvex.data read against what a run sees."""

import csv
import subprocess
import tomllib

import numpy as np
import pandas as pd
import pytest

import korvex
import korvex.data
from conftest import BUILD, SOURCE

CURVE = SOURCE / "market_history" / "chinabond-treasury-curve-2002-2015.csv"
SQUEEZE = "2013-06-20"


@pytest.fixture(scope="module")
def history(tmp_path_factory):
    out = tmp_path_factory.mktemp("history")
    subprocess.run([BUILD / "bin" / "korvex-generate", "--out", out, "--force", "--curve", CURVE,
                    "--start", "2012-01-04", "--end", "2015-12-31"], check=True,
                   capture_output=True)
    return out


def example(name, bundle, **base):
    with open(SOURCE / "examples" / "python" / name, "rb") as f:
        config = tomllib.load(f)
    config["base"].update(data_bundle_path=str(bundle), **base)
    config["base"].pop("output_dir", None)
    return config


def published(day):
    """(tenors, yields) of the curve file on `day`, read here without the engine."""
    with open(CURVE, newline="") as f:
        rows = [(float(r["tenor_years"]), float(r["yield_pct"]))
                for r in csv.DictReader(f) if r["date"] == day]
    return np.array([t for t, _ in rows]), np.array([y for _, y in rows])


def test_treasuries_sit_on_the_published_curve_and_repos_on_its_short_end(history):
    bundle = korvex.data.open(history)
    tenors, yields = published(SQUEEZE)
    curve = bundle.yield_curve("treasury", SQUEEZE, SQUEEZE)
    assert list(curve.tenor) == list(tenors) and list(curve["yield"]) == list(yields)
    assert yields[0] == 11.9604

    bonds = bundle.instruments("bond")
    treasuries = bonds.index[bonds.bond_type == "government"]
    v = bundle.valuations(treasuries, SQUEEZE, SQUEEZE)
    assert len(v) >= 10
    # Each treasury's yield is the published curve at its remaining life (4-decimal rounding).
    gap = v.ytm - np.interp(v.time_to_maturity, tenors, yields)
    assert gap.abs().max() < 2e-4

    # Overnight repo: the curve between its 0 and one-month points at one day, plus 0.20%.
    r001 = bundle.repo_quotations("R001.IB", SQUEEZE, SQUEEZE).weighted.iloc[0]
    on_curve = np.interp(1 / 365, tenors, yields) / 100
    assert abs(r001 - (on_curve + 0.0020)) < 0.003
    may = bundle.repo_quotations("R001.IB", "2013-05-01", "2013-05-31").weighted.mean()
    assert r001 > 3 * may

    seen = {}

    def handle_bar(context):
        if context.now.date().isoformat() == SQUEEZE:
            ib = [t for t in treasuries if t.endswith(".IB")]
            others = bonds.index[bonds.bond_type != "government"]
            for i in ib[:3] + treasuries[:2].tolist() + others[:5].tolist():
                a = context.bond_analytics(i)
                if a.source != "none" and str(a.as_of) == SQUEEZE:
                    seen[i] = (a.time_to_maturity, a.curve_yield, a.spread_bp, a.source)

    korvex.run(example("carry_2013.toml", history, start_date="2013-06-17", end_date=SQUEEZE),
               strategy={"handle_bar": handle_bar}, output_dir=False)
    assert len(seen) >= 6 and any(s[3] == "valuation" for i, s in seen.items() if i in treasuries)
    for i, (t, curve_yield, spread, source) in seen.items():
        assert curve_yield == pytest.approx(np.interp(t, tenors, yields), abs=1e-12)
        if i in treasuries and source == "valuation":  # exchange prices stray a few bp off
            assert abs(spread) < 0.02
    assert any(s[2] > 20 for i, s in seen.items() if i not in treasuries)  # credit pays


def test_korvex_data_gives_what_a_run_reads(history):
    bundle = korvex.data.open(history)
    ids = {"ib": "", "exchange": ""}
    bonds = bundle.instruments("bond")
    for i, row in bonds.iterrows():
        if row.listed_date <= pd.Timestamp("2013-01-01") <= row.de_listed_date:
            ids["ib" if i.endswith(".IB") else "exchange"] = ids["ib" if i.endswith(".IB")
                                                                 else "exchange"] or i
    seen = {}

    def handle_bar(context):
        for i in list(ids.values()) + ["R007.IB"]:
            seen[i] = context.day_bars(i).copy()
            seen[i + "/record"] = context.instruments(i)

    korvex.run(example("carry_2013.toml", history, start_date="2013-06-03", end_date="2013-06-21"),
               strategy={"handle_bar": handle_bar}, output_dir=False)
    for i in ids.values():
        mine = bundle.day_bars(i, source="auto", end_date="2013-06-21")
        run = seen[i]
        assert len(mine) == len(run) > 100
        for field in mine.columns:
            np.testing.assert_array_equal(mine[field].to_numpy(), run[field])
        assert bonds.loc[i, "symbol"] == seen[i + "/record"].symbol
        assert bonds.loc[i, "de_listed_date"] == seen[i + "/record"].de_listed_date
    repo = bundle.repo_bars("R007.IB", end_date="2013-06-21")
    np.testing.assert_array_equal(repo.weighted.to_numpy(), seen["R007.IB"]["weighted"])
    assert bundle.trading_dates("inter_bank", "2013-06-08", "2013-06-09").size == 2  # worked
    assert bundle.trading_dates("exchange", "2013-06-08", "2013-06-09").size == 0

    # Inside a strategy's call it would hand the strategy later days: refused.
    with pytest.raises(korvex.RuntimeError, match="korvex.data reads the whole bundle, later days "
                                                  "included, and cannot be used inside a strategy"):
        korvex.run(example("carry_2013.toml", history, start_date="2013-06-03",
                           end_date="2013-06-04"),
                   strategy={"handle_bar": lambda c: bundle.day_bars(ids["ib"])}, output_dir=False)

    with pytest.raises(KeyError, match="the bundle holds no curve 'aaa' .it has: treasury."):
        bundle.yield_curve("aaa")
    with pytest.raises(korvex.ValueError, match="source 'cfets': expected 'chinabond'"):
        bundle.day_bars(ids["ib"], source="cfets")


def test_the_real_history_examples_replay_2013_and_the_rally(history):
    carry = korvex.run(example("carry_2013.toml", history, risk_free_instrument="R001.IB"),
                       output_dir=False)
    equity = carry.daily.equity
    # Net of the overnight repo: each day earns the previous close's R001 rate for its nights,
    # the first day from the last trading day of 2012. Computed here from the bundle's table.
    bundle = korvex.data.open(history)
    rates = bundle.repo_bars("R001.IB").close.droplevel(0)
    days = pd.DatetimeIndex([bundle.trading_dates("exchange", end_date="2013-01-03")[-1]]
                            ).append(pd.DatetimeIndex(equity.index))
    earned = [rates[:days[i - 1]].iloc[-1] * (days[i] - days[i - 1]).days / 365
              for i in range(1, len(days))]
    n = len(earned)
    risk_free = np.prod([1 + e for e in earned]) ** (252 / n) - 1
    s = carry.summary
    assert s["risk_free_return"] == pytest.approx(risk_free, rel=1e-12)
    assert s["sharpe"] == pytest.approx((s["annual_return"] - risk_free) / s["volatility"],
                                        rel=1e-12)
    returns = equity.pct_change().fillna(equity.iloc[0] / s["starting_cash"] - 1).to_numpy()
    downside = np.sqrt(np.mean(np.minimum(0, returns - np.array(earned)) ** 2) * 252)
    assert s["sortino"] == pytest.approx((s["annual_return"] - risk_free) / downside, rel=1e-9)

    drawdown = equity / equity.cummax() - 1
    trough = drawdown.idxmin()
    peak = equity[:trough].idxmax()
    assert drawdown.min() < -0.03
    assert str(peak) < SQUEEZE < str(trough) and str(trough) >= "2013-09-01"
    # The attribution adds up to each day's change of equity, and says where the drawdown came
    # from: the curve's rise at the bonds' maturities, half of it earned back by carry.
    terms = carry.attribution.pivot_table(index="date", columns="term", values="amount",
                                          aggfunc="sum")
    change = equity.diff().fillna(equity.iloc[0] - s["starting_cash"])
    assert (terms.sum(axis=1) - change).abs().max() < 0.005
    fall = terms[peak:trough].iloc[1:].sum()
    assert fall.sum() == pytest.approx(equity[trough] - equity[peak], abs=0.01)
    assert fall.rates < -1.5 * fall.carry < 0 and fall.funding < 0
    assert abs(fall.spread) + abs(fall.residual) < 0.05 * abs(fall.rates)

    duration = korvex.run(example("duration_target_2014.toml", history), output_dir=False)
    assert duration.summary["total_return"] > 0.12
