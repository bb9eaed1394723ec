"""What a Python strategy costs against its C++ twin, measured side by side in one run.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/strategy_overhead.py [--repeat N]

1. The demo (daily leveraged carry, 2019-2020) with the C++ strategy and with its Python twin:
   wall times of whole `korvex run` commands (interpreter start included) and of in-process
   korvex.run calls; the ratio is the figure (goal: within 2x).
2. One Python handle_tick call in a tick run: the same tick run with and without an empty
   handle_tick, the difference divided by the calls (goal: under 2 microseconds).

Writes out/bench/python_strategy_overhead.json beside the printed table.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import korvex

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KORVEX_BUILD_DIR", ROOT / "build"))
TICK_BONDS = ("019503.SH", "155003.SH", "163004.SH", "112009.SZ")


def best(times):
    return min(times), statistics.median(times)


def timed(f, repeat):
    out = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        out.append(time.perf_counter() - t)
    return out


def command(config):
    subprocess.run([BUILD / "bin" / "korvex", "run", "-c", config, "-o", ROOT / "out" / "bench" / "run"],
                   check=True, capture_output=True, cwd=ROOT)


def tick_run(with_hook, counter=None):
    def before_trading(context):
        for bond in TICK_BONDS:
            context.subscribe(bond)

    hooks = {"before_trading": before_trading}
    if with_hook:
        def handle_tick(context, tick):
            pass
        hooks["handle_tick"] = handle_tick
    if counter is not None:
        def handle_tick(context, tick):
            counter[0] += 1
        hooks["handle_tick"] = handle_tick
    korvex.run(ROOT / "examples" / "tick_offers.toml", strategy=hooks, output_dir=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    os.chdir(ROOT)
    if not (ROOT / "data" / "bundle" / "tavlen.sqlite").exists():
        subprocess.run([BUILD / "bin" / "korvex-generate", "--out", ROOT / "data" / "bundle"],
                       check=True, capture_output=True)
    cpp, py = ROOT / "examples" / "demo.toml", ROOT / "examples" / "python" / "carry.toml"
    command(cpp), command(py)  # warm the page cache and the caches of the build
    cli_cpp, cli_py = timed(lambda: command(cpp), args.repeat), timed(lambda: command(py), args.repeat)
    run_cpp = timed(lambda: korvex.run(cpp, output_dir=False), args.repeat)
    run_py = timed(lambda: korvex.run(py, output_dir=False), args.repeat)

    calls = [0]
    tick_run(False, calls)
    without = timed(lambda: tick_run(False), args.repeat)
    with_hook = timed(lambda: tick_run(True), args.repeat)
    per_call_us = (min(with_hook) - min(without)) / calls[0] * 1e6

    figures = {
        "demo_command_cpp_s": best(cli_cpp), "demo_command_python_s": best(cli_py),
        "demo_command_ratio": min(cli_py) / min(cli_cpp),
        "demo_in_process_cpp_s": best(run_cpp), "demo_in_process_python_s": best(run_py),
        "demo_in_process_ratio": min(run_py) / min(run_cpp),
        "tick_run_without_hook_s": best(without), "tick_run_with_empty_hook_s": best(with_hook),
        "handle_tick_calls": calls[0], "handle_tick_cost_us": per_call_us,
    }
    out = ROOT / "out" / "bench" / "python_strategy_overhead.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(figures, indent=2) + "\n")
    print(f"{'':34}{'best':>10}{'median':>10}")
    for key in ("demo_command_cpp_s", "demo_command_python_s", "demo_in_process_cpp_s",
                "demo_in_process_python_s", "tick_run_without_hook_s", "tick_run_with_empty_hook_s"):
        b, m = figures[key]
        print(f"{key:34}{b:10.3f}{m:10.3f}")
    print(f"demo, Python / C++: {figures['demo_command_ratio']:.2f}x as commands, "
          f"{figures['demo_in_process_ratio']:.2f}x in process (goal: within 2x)")
    print(f"one Python handle_tick: {per_call_us:.2f} us over {calls[0]} calls (goal: under 2 us)")
    print(f"written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
