"""Runs killed at random moments (SIGKILL, SIGTERM, SIGINT): what they leave is either complete
and equal to the uninterrupted run, or clearly incomplete, never an earlier run's summary."""

import json
import random
import signal
import subprocess
import time

import korvex
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
