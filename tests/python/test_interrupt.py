"""Runs killed at random moments (SIGKILL, SIGTERM, SIGINT): what they leave is either complete
and equal to the uninterrupted run, or clearly incomplete, never an earlier run's summary."""

import json
import os
import random
import signal
import subprocess
import time

import korvex
import pandas as pd
from conftest import BUILD


def test_a_killed_run_leaves_its_results_complete_and_equal_or_clearly_incomplete(tmp_path,
                                                                                  on_bundle):
    (tmp_path / "demo.toml").write_text(korvex.config_toml(on_bundle("demo.toml")))
    cmd = [BUILD / "bin" / "korvex", "run", "-c", tmp_path / "demo.toml", "-o"]
    started = time.time()
    subprocess.run(cmd + [tmp_path / "whole"], check=True, capture_output=True)
    took = time.time() - started
    expected = (tmp_path / "whole" / "daily.csv").read_text()

    rng = random.Random(7)
    out = tmp_path / "killed"
    seen = set()
    # Bounded: a dozen runs of a fraction of a second each. The first is killed at once, on an
    # empty folder; the last is let finish; the others at random moments between.
    delays = [0.0] + [rng.uniform(0, 1.3 * took) for _ in range(10)] + [None]
    for delay in delays:
        run = subprocess.Popen(cmd + [out], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if delay is not None:
            time.sleep(delay)
            run.send_signal(rng.choice([signal.SIGKILL, signal.SIGTERM, signal.SIGINT]))
        run.wait()
        # The summary is written last of the results, the record's "complete" right after it.
        record = out / "korvex_run.json"
        if (out / "summary.json").exists():
            assert (out / "daily.csv").read_text() == expected
            assert json.loads((out / "summary.json").read_text())["trading_days"] > 0
            seen.add("complete")
        else:
            assert not record.exists() or not json.loads(record.read_text())["complete"]
            seen.add("incomplete")
        if run.returncode == 0:  # a run that ended well cleared what killed ones left half done
            assert not list(out.glob(".*.tmp-*"))
    assert seen == {"complete", "incomplete"}


def _kill_group_at_random(cmd, delay, rng):
    """Starts `cmd` in its own process group and kills the whole group (as a terminal's Ctrl-C
    or a crash of the machine's session would) after `delay` seconds; None lets it finish."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    if delay is not None:
        time.sleep(delay)
        try:
            os.killpg(proc.pid, rng.choice([signal.SIGKILL, signal.SIGTERM, signal.SIGINT]))
        except ProcessLookupError:
            pass
    proc.wait()
    if delay is not None:  # what a SIGTERM or SIGINT let linger goes too
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return proc.returncode


def test_a_killed_sweep_keeps_only_complete_runs_and_resumes_to_the_uninterrupted_sweep(
        tmp_path, on_bundle):
    (tmp_path / "base.toml").write_text(
        korvex.config_toml(on_bundle("demo.toml", end_date="2019-04-30")))
    cmd = [BUILD / "bin" / "korvex", "sweep", "-c", tmp_path / "base.toml", "--grid",
           "strategy.leverage=1.0,1.2,1.4", "--workers", "2", "-q", "-o"]
    started = time.time()
    subprocess.run(cmd + [tmp_path / "whole"], check=True, capture_output=True)
    took = time.time() - started
    whole = pd.read_csv(tmp_path / "whole" / "sweep.csv")
    daily = {run: (tmp_path / "whole" / "runs" / run / "daily.csv").read_text()
             for run in whole.run}

    rng = random.Random(11)
    out = tmp_path / "killed"
    for delay in [rng.uniform(0.3 * took, took) for _ in range(3)] + [None]:
        code = _kill_group_at_random(cmd + [out, "--resume"], delay, rng)
        # A run that says it completed is the uninterrupted run; the others are incomplete.
        for record in out.glob("runs/*/sweep_run.json"):
            if json.loads(record.read_text())["status"] == "ok":
                assert (record.parent / "daily.csv").read_text() == daily[record.parent.name]
        if (out / "sweep.csv").exists():
            assert pd.read_csv(out / "sweep.csv").final_equity.tolist() == \
                whole.final_equity.tolist()
    assert code == 0
    assert pd.read_csv(out / "sweep.csv")[["run", "final_equity"]].equals(
        whole[["run", "final_equity"]])


def test_a_killed_import_of_many_files_is_all_or_nothing(tmp_path):
    ids = [f"0195{n:02d}.SH" for n in range(30)]
    (tmp_path / "instrument.csv").write_text(
        "order_book_id,type\n" + "".join(f"{i},bond\n" for i in ids))
    for version, price in (("a", 100.0), ("b", 100.5)):
        (tmp_path / version).mkdir()
        rows = [f"{i},202001{d:02d}{9 + m // 60:02d}{m % 60:02d}00,{price},{price},{price},"
                f"{price},10,1000\n" for i in ids for d in range(2, 12) for m in range(240)]
        (tmp_path / version / "minute_bar.csv").write_text(
            "order_book_id,datetime,open,high,low,close,volume,total_turnover\n" + "".join(rows))
    importer = BUILD / "bin" / "korvex-import"
    versions = {}
    for version in ("a", "b"):
        bundle = tmp_path / f"bundle_{version}"
        bundle.mkdir()
        started = time.time()
        subprocess.run([importer, "--bundle", bundle, "--quiet", tmp_path / "instrument.csv",
                        tmp_path / version / "minute_bar.csv"], check=True)
        took = time.time() - started
        versions[version] = {i: (bundle / "h5" / f"{i}.h5").read_bytes() for i in ids}

    bundle = tmp_path / "bundle_a"
    rng = random.Random(5)
    now, seen = "a", set()
    for delay in [rng.uniform(0, 1.2 * took) for _ in range(8)] + [None]:
        target = "b" if now == "a" else "a"
        _kill_group_at_random([importer, "--bundle", bundle, "--quiet",
                               tmp_path / target / "minute_bar.csv"], delay, rng)
        # Whatever the kill left, an import of no files finishes or clears it.
        subprocess.run([importer, "--bundle", bundle, "--quiet"], check=True)
        files = {i: (bundle / "h5" / f"{i}.h5").read_bytes() for i in ids}
        assert files in (versions["a"], versions["b"])
        now = "a" if files == versions["a"] else "b"
        seen.add("moved" if now == target else "kept")
        assert not list(bundle.rglob("*.partial"))
    assert now == target and "moved" in seen
