"""Sweeps: a grid on a local cluster of two workers, matched against separate runs, resumed after
an interruption; and the same sweep on a scheduler and two workers started here, one of them
killed in the middle of a run."""

import json
import os
import signal
import socket
import subprocess
import textwrap
import threading
import time

import pandas as pd
import pytest

import korvex
from conftest import BUILD

PYTHON = "/usr/bin/python3"


def test_a_grid_runs_like_separate_runs_records_failures_and_resumes(tmp_path, on_bundle):
    config = on_bundle("demo.toml", end_date="2019-06-28")
    out = tmp_path / "sweep"
    frame = korvex.sweep(config, grid={"strategy.leverage": [1.0, "1.4"]},
                         runs=[[("strategy.leverage", '"high"')]], output_dir=out, workers=2,
                         quiet=True)
    assert list(frame.run) == ["r000-1.0", "r001-1.4", "r002-high"]
    assert list(frame.status) == ["ok", "ok", "failed"]
    assert frame.error[2] == 'configuration entry strategy.leverage must be a number, got text "high"'
    assert pd.read_csv(out / "sweep.csv").final_equity[:2].tolist() == frame.final_equity[:2].tolist()
    page = (out / "sweep.html").read_text()
    assert "<table" in page and "<h2>Final equity by strategy.leverage</h2><svg" in page
    assert page.count("<circle") == 2  # the two runs that finished, in the key's order

    # Each run is the run the command line makes with the same overrides, to the cent.
    (tmp_path / "base.toml").write_text(korvex.config_toml(config))
    subprocess.run([BUILD / "bin" / "korvex", "run", "-c", tmp_path / "base.toml",
                    "--set", "strategy.leverage=1.4", "-o", tmp_path / "alone"],
                   check=True, capture_output=True)
    alone = pd.read_csv(tmp_path / "alone" / "daily.csv")
    swept = pd.read_csv(out / "runs" / "r001-1.4" / "daily.csv")
    assert ((alone.equity * 100).round() == (swept.equity * 100).round()).all()
    assert frame.final_equity[1] == json.loads(
        (tmp_path / "alone" / "summary.json").read_text())["final_equity"]

    # The command line's sweep is the same sweep.
    cli = subprocess.run([BUILD / "bin" / "korvex", "sweep", "-c", tmp_path / "base.toml", "--run",
                          "strategy.leverage=1.4", "--workers", "1", "-q", "-o", tmp_path / "cli"],
                         capture_output=True, text=True)
    assert cli.returncode == 0, cli.stderr
    assert pd.read_csv(tmp_path / "cli" / "sweep.csv").final_equity[0] == frame.final_equity[1]
    # --set changes the base of every run, as it does a single run's.
    shorter = subprocess.run([BUILD / "bin" / "korvex", "sweep", "-c", tmp_path / "base.toml",
                              "--set", "base.end_date=2019-03-29", "--grid", "strategy.leverage=1.4",
                              "--set", "mod.bond.limits.max_repo_borrowing=0.4",
                              "--workers", "1", "-q", "-o", tmp_path / "shorter"],
                             capture_output=True, text=True)
    assert shorter.returncode == 0, shorter.stderr
    ran = pd.read_csv(tmp_path / "shorter" / "runs" / "r000-1.4" / "daily.csv")
    assert ran.date.iloc[-1] == "2019-03-29"
    # The mods' figures of the summary come into the table too.
    run_summary = json.loads((tmp_path / "shorter" / "runs" / "r000-1.4" / "summary.json")
                             .read_text())
    assert pd.read_csv(tmp_path / "shorter" / "sweep.csv").limit_breach_days_repo_borrowing[0] \
        == run_summary["limit_breach_days_repo_borrowing"]

    # Interrupted: one run's folder lost its completion record mid-write. Resuming runs that one
    # (and the failed one) again and keeps the other.
    kept = (out / "runs" / "r000-1.0" / "sweep_run.json").read_text()
    (out / "runs" / "r001-1.4" / "sweep_run.json").unlink()
    (out / "runs" / "r001-1.4" / "daily.csv").write_text("date,equity\n")
    again = korvex.sweep(config, grid={"strategy.leverage": ["1.0", "1.4"]},
                         runs=[[("strategy.leverage", '"high"')]], output_dir=out, workers=2,
                         resume=True, quiet=True)
    assert (out / "runs" / "r000-1.0" / "sweep_run.json").read_text() == kept
    assert list(again.status) == ["ok", "ok", "failed"]
    assert again.final_equity[1] == frame.final_equity[1]

    # Resumed over another base configuration, nothing of the earlier sweep is kept.
    other = dict(config, base=dict(config["base"], end_date="2019-03-29"))
    moved = korvex.sweep(other, grid={"strategy.leverage": ["1.0"]}, output_dir=out, workers=1,
                         resume=True, quiet=True)
    summary = json.loads((out / "runs" / "r000-1.0" / "summary.json").read_text())
    assert summary["end_date"] == "2019-03-29"
    assert moved.final_equity[0] == summary["final_equity"] != frame.final_equity[0]

    # Settings that cannot run are refused before any run starts.
    with pytest.raises(ValueError, match="workers must be at least 1, got 0"):
        korvex.sweep(config, grid={"strategy.leverage": ["1.0"]}, output_dir=out, workers=0)
    (tmp_path / "a_file").write_text("")
    with pytest.raises(ValueError, match="is a file, not a folder"):
        korvex.sweep(config, grid={"strategy.leverage": ["1.0"]}, output_dir=tmp_path / "a_file")


SLOW = textwrap.dedent('''
    import time

    def init(context):
        time.sleep(float(context.settings.get("sleep", 0)))
''')


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_sweep_on_a_scheduler_survives_a_worker_killed_mid_run(tmp_path, on_bundle):
    (tmp_path / "slow.py").write_text(SLOW)
    config = on_bundle("demo.toml", end_date="2019-01-31", strategy=str(tmp_path / "slow.py"))
    config["strategy"] = {"sleep": 1.5}
    address = f"tcp://127.0.0.1:{free_port()}"
    env = {**os.environ, "PYTHONPATH": str(BUILD / "python")}
    procs = [subprocess.Popen([PYTHON, "-m", "distributed.cli.dask_scheduler", "--host",
                               "127.0.0.1", "--port", address.rsplit(":", 1)[1],
                               "--dashboard-address", ":0"],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(2):
            procs.append(subprocess.Popen(
                [PYTHON, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                 "--no-nanny", "--no-dashboard"],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        from distributed import Client

        with Client(address, timeout=30) as c:
            c.wait_for_workers(2, timeout=30)
        result = {}
        thread = threading.Thread(target=lambda: result.update(frame=korvex.sweep(
            config, grid={"strategy.sleep": ["1.5", "1.6", "1.7", "1.8"]},
            runs=[[("base.frequency", '"2d"')]], output_dir=tmp_path / "sweep",
            scheduler=address, quiet=True)))
        thread.start()
        time.sleep(2.5)  # both workers are inside a run now
        procs[1].send_signal(signal.SIGKILL)
        thread.join(timeout=120)
        frame = result["frame"]
    finally:
        for p in procs:
            p.kill()
            p.wait()
    assert list(frame.status) == ["ok", "ok", "ok", "ok", "failed"]
    assert frame.error[4] == "base.frequency '2d' is not one of 1d, 1m, tick"
    workers = {json.loads((tmp_path / "sweep" / "runs" / r / "sweep_run.json").read_text())[
        "worker"].rsplit(":", 1)[1] for r in frame.run}
    assert str(procs[2].pid) in workers  # the survivor took over what the lost worker held
