"""What a sweep gains from a second worker, and what it costs per run over a plain `korvex run`.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/sweep_speedup.py [--runs 8]

Runs the same sweep of demo backtests (strategy.leverage over --runs values, each over the
sample bundle's six years, 2018-2023, so that a run is real work next to a task's hand-over) on
a local cluster of one worker and of two (clusters started before the clock), and the same runs
one after another as plain commands and two at a time (what the machine's two cores give
without any sweep). Goal: two workers at least 1.8 times as fast as one on this 2-core
machine. Writes out/bench/sweep_speedup.json.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from distributed import LocalCluster

import korvex

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KORVEX_BUILD_DIR", ROOT / "build"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many sweeps")
    args = parser.parse_args()
    os.chdir(ROOT)
    if not (ROOT / "data" / "bundle" / "tavlen.sqlite").exists():
        subprocess.run([BUILD / "bin" / "korvex-generate", "--out", ROOT / "data" / "bundle"],
                       check=True, capture_output=True)
    config = ROOT / "examples" / "demo.toml"
    values = [f"{1.0 + 0.05 * i:.2f}" for i in range(args.runs)]
    period = [("base.start_date", '"2018-01-02"'), ("base.end_date", '"2023-12-29"')]
    runs = [period + [("strategy.leverage", v)] for v in values]
    scratch = Path(tempfile.mkdtemp(prefix="korvex-sweep-bench-"))

    def plain_runs(chosen, folder):
        for v in chosen:
            sets = [a for k, x in period + [("strategy.leverage", v)] for a in ("--set", f"{k}={x}")]
            subprocess.run([BUILD / "bin" / "korvex", "run", "-c", config, *sets,
                            "-o", scratch / folder], check=True, capture_output=True)

    # The machine's own ceiling: the same plain commands, two at a time.
    plain = two_at_a_time = float("inf")
    for _ in range(args.repeat):
        start = time.perf_counter()
        plain_runs(values, "plain")
        plain = min(plain, time.perf_counter() - start)
        start = time.perf_counter()
        pair = [threading.Thread(target=plain_runs, args=(values[i::2], f"plain{i}"))
                for i in (0, 1)]
        for t in pair:
            t.start()
        for t in pair:
            t.join()
        two_at_a_time = min(two_at_a_time, time.perf_counter() - start)

    times, run_seconds = {}, {}
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster:
            korvex.sweep(config, runs=runs[:workers], output_dir=scratch / "warm",
                         scheduler=cluster.scheduler_address,
                         quiet=True)  # every worker imports the package before the clock
            times[workers] = float("inf")
            for _ in range(args.repeat):
                start = time.perf_counter()
                frame = korvex.sweep(config, runs=runs, output_dir=scratch / f"w{workers}",
                                     scheduler=cluster.scheduler_address, quiet=True)
                times[workers] = min(times[workers], time.perf_counter() - start)
            run_seconds[workers] = float(frame.seconds.mean())
            assert (frame.status == "ok").all(), frame[frame.status != "ok"]
    figures = {
        "runs": args.runs,
        "plain_commands_s": plain,
        "plain_commands_two_at_a_time_s": two_at_a_time,
        "machine_ceiling": plain / two_at_a_time,
        "sweep_1_worker_s": times[1],
        "sweep_2_workers_s": times[2],
        "speedup_2_over_1": times[1] / times[2],
        "overhead_per_run_s": (times[1] - plain) / args.runs,
        "plain_run_s": plain / args.runs,
        "mean_run_s_in_1_worker": run_seconds[1],
        "mean_run_s_in_2_workers": run_seconds[2],
    }
    out = ROOT / "out" / "bench" / "sweep_speedup.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(figures, indent=2) + "\n")
    print(f"{args.runs} demo runs: one after another {plain:.2f}s, sweep on 1 worker "
          f"{times[1]:.2f}s, on 2 workers {times[2]:.2f}s")
    print(f"a run's own time: {run_seconds[1]:.3f}s beside 1 worker, {run_seconds[2]:.3f}s "
          "beside 2 (the two cores shared with the scheduler)")
    print(f"speedup of 2 workers over 1: {figures['speedup_2_over_1']:.2f}x (goal: at least 1.8x); "
          f"the same plain commands two at a time: {figures['machine_ceiling']:.2f}x")
    print(f"the sweep's cost per run over a plain `korvex run` ({figures['plain_run_s']:.3f}s): "
          f"{figures['overhead_per_run_s'] * 1000:.0f} ms")
    print(f"written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
