"""Each Python example and its C++ twin give the same trades and the same daily equity."""

import pytest

import korvex

TWINS = [("demo.toml", "python/carry.toml"), ("ib_ladder.toml", "python/ib_ladder.toml"),
         ("cash_management.toml", "python/cash_management.toml")]


@pytest.mark.parametrize("cpp, python", TWINS)
def test_python_example_trades_and_equity_match_its_cpp_twin(on_bundle, cpp, python):
    a = korvex.run(on_bundle(cpp), output_dir=False)
    b = korvex.run(on_bundle(python), output_dir=False)
    assert len(a.trades) > 0
    assert a.trades.equals(b.trades)
    assert ((a.daily.equity * 100).round() == (b.daily.equity * 100).round()).all()
    assert a.summary == b.summary
