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


@pytest.mark.parametrize("cpp, python", TWINS)
def test_python_example_split_and_resumed_goes_on_as_the_whole_run(on_bundle, tmp_path, cpp, python):
    whole = korvex.run(on_bundle(python), output_dir=False)
    state = str(tmp_path / "state.json")
    korvex.run(on_bundle(python, end_date="2019-06-28", save_state_to=state), output_dir=False)
    resumed = korvex.run(on_bundle(python, resume_from=state), output_dir=False)
    tail = whole.daily.iloc[-len(resumed.daily):]
    assert str(resumed.daily.index[0]).startswith("2019-07-01")
    assert (tail.index == resumed.daily.index).all()
    assert ((resumed.daily.equity * 100).round() == (tail.equity * 100).round()).all()
