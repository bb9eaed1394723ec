"""Parameter sweeps: many ordinary backtests side by side, on a local Dask cluster or a remote one.

    korvex sweep -c examples/demo.toml --grid strategy.leverage=1.0,1.2,1.4,1.6
    korvex sweep -c examples/demo.toml --grid strategy.leverage=1.0,1.2 \\
        --grid base.start_date=2019-01-02,2020-01-02 --scheduler tcp://10.0.0.5:8786
    korvex.sweep("examples/demo.toml", grid={"strategy.leverage": ["1.0", "1.2"]})

Each combination of the grid (or each entry of an explicit list) is one `korvex run` in a process
of its own, with its own result folder under <output>/runs/; a run that fails is recorded with its
error and the sweep goes on. <output>/sweep.csv has one row per run (its overrides and the
summary's figures), <output>/sweep.html the same table, sortable, with a heatmap when two keys
are swept. A run's folder is complete once it holds sweep_run.json saying "ok": --resume skips
those and runs the rest again.
"""

import argparse
import copy
import hashlib
import html
import itertools
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

from . import _toml

SUMMARY_FIGURES = ("final_equity", "total_return", "annual_return", "max_drawdown", "sharpe",
                   "volatility", "coupon_income", "principal_repaid", "payment_receivable",
                   "price_pnl", "repo_interest_paid", "repo_interest_earned",
                   "transaction_costs", "overdraft_days", "max_overdraft", "overdraft_interest",
                   "trades", "sortino", "risk_free_return")
MARKER = "sweep_run.json"


def korvex_executable():
    """The command line beside this package (<build>/python/korvex -> <build>/bin/korvex)."""
    if os.environ.get("KORVEX_BIN"):
        return os.environ["KORVEX_BIN"]
    return str(Path(__file__).resolve().parents[2] / "bin" / "korvex")


# ---------------------------------------------------------------- what to run

def parse_grid(items):
    """["strategy.leverage=1.0,1.2", ...] -> {"strategy.leverage": ["1.0", "1.2"], ...}"""
    grid = {}
    for item in items:
        key, eq, values = item.partition("=")
        if not eq or not key or not values:
            raise ValueError(f"--grid '{item}' must look like key.path=value1,value2")
        if key in grid:
            raise ValueError(f"--grid names {key} twice")
        grid[key] = [v.strip() for v in values.split(",")]
    return grid


def parse_run(item):
    """"strategy.leverage=1.2;base.start_date=2020-01-02" -> [(key, text), ...]"""
    pairs = []
    for part in filter(None, (p.strip() for p in item.split(";"))):
        key, eq, value = part.partition("=")
        if not eq or not key:
            raise ValueError(f"--run '{item}': '{part}' must look like key.path=value")
        pairs.append((key, value))
    return pairs


def combinations(grid=None, runs=None, table=None):
    """Every run's overrides as [(key, text)], texts as `--set` reads them: the grid's product in
    the order its keys are given, then the explicit runs; a [sweep] table of the configuration
    ({"grid": {key: [values]}, "runs": [{key: value}]}) adds its own the same way."""
    out = []
    table = table or {}

    def literal(v):  # a typed value of the TOML table, as --set text ("2019-01-02" quoted)
        return _toml._value(v, "sweep")

    def text(v):  # a value given from Python: a text as --set reads it, anything else typed
        return v if isinstance(v, str) else literal(v)

    grids = []
    if table.get("grid"):
        grids.append({k: [literal(v) for v in vs] for k, vs in table["grid"].items()})
    if grid:
        grids.append({k: [text(v) for v in vs] for k, vs in grid.items()})
    for g in grids:
        keys = list(g)
        for values in itertools.product(*(g[k] for k in keys)):
            out.append(list(zip(keys, values)))
    for r in table.get("runs", []):
        out.append([(k, literal(v)) for k, v in r.items()])
    for r in runs or []:
        out.append([(k, text(v)) for k, v in (r.items() if isinstance(r, dict) else r)])
    if not out:
        raise ValueError("nothing to sweep: give --grid key=v1,v2 or --run 'key=v;key2=v', "
                         "or a [sweep] table with grid or runs")
    return out


def folder_name(index, overrides):
    slug = "-".join(re.sub(r"[^A-Za-z0-9._]+", "_", v.strip('"')) for _, v in overrides)
    return f"r{index:03d}" + (f"-{slug[:60]}" if slug else "")


# ---------------------------------------------------------------- one run, in a worker

def run_one(spec):
    """Runs one backtest as its own process and records how it ended beside its results."""
    folder = Path(spec["folder"])
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    cmd = [spec["korvex"], "run", "-c", spec["config"], "-o", str(folder)]
    for key, value in spec["overrides"]:
        cmd += ["--set", f"{key}={value}"]
    started = time.time()
    cwd = spec["cwd"] if os.path.isdir(spec["cwd"]) else str(folder)
    # A worker that is killed must not leave its run going: the re-run elsewhere owns the folder.
    # The command line ends itself with its parent when asked to (no preexec_fn: it would make
    # every start a full fork of the worker).
    env = {**os.environ, "KORVEX_DIE_WITH_PARENT": "1"}
    p = subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, env=env)
    record = {"run": spec["name"], "overrides": spec["overrides"], "base": spec["base"],
              "seconds": round(time.time() - started, 3), "returncode": p.returncode,
              "worker": f"{socket.gethostname()}:{os.getpid()}"}
    summary_file = folder / "summary.json"
    if p.returncode == 0 and summary_file.exists():
        record.update(status="ok", error="", summary=json.loads(summary_file.read_text()))
    else:
        lines = [l for l in p.stderr.strip().splitlines() if l.strip()]
        error = next((l[len("error: "):] for l in lines if l.startswith("error: ")),
                     lines[-1] if lines else f"exit code {p.returncode}")
        record.update(status="failed", error=error, summary={})
    tmp = folder / (MARKER + ".tmp")
    tmp.write_text(json.dumps(record, indent=2) + "\n")
    tmp.replace(folder / MARKER)  # written last and whole: the folder is complete
    return record


def completed(spec):
    """The record of a finished, successful run of exactly this configuration (the base and the
    overrides), else None."""
    marker = Path(spec["folder"]) / MARKER
    try:
        record = json.loads(marker.read_text())
    except (OSError, ValueError):
        return None
    ok = (record.get("status") == "ok" and record.get("base") == spec["base"] and
          [tuple(o) for o in record.get("overrides", [])] == [tuple(o) for o in spec["overrides"]]
          and (Path(spec["folder"]) / "summary.json").exists())
    return record if ok else None


# ---------------------------------------------------------------- the sweep

class Progress:
    def __init__(self, total, quiet):
        self.total, self.quiet, self.started = total, quiet, time.time()
        self.done = self.failed = self.skipped = 0

    def show(self, running):
        if self.quiet:
            return
        end = "\r" if sys.stderr.isatty() else ""
        finished = self.done - self.skipped
        elapsed = time.time() - self.started
        left = ""
        if finished:
            seconds = elapsed / finished * (self.total - self.done)
            left = f", about {seconds:.0f}s left"
        sys.stderr.write(f"{end}runs done {self.done}/{self.total}, failed {self.failed}, "
                         f"running {running}{left}" + ("   " if end else "\n"))
        sys.stderr.flush()

    def end(self):
        if not self.quiet:
            tty = sys.stderr.isatty()
            start, pad = ("\r", " " * 24) if tty else ("", "")
            sys.stderr.write(f"{start}runs done {self.done}/{self.total}, "
                             f"failed {self.failed}, in {time.time() - self.started:.1f}s{pad}\n")


def _client(scheduler, workers):
    from distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler), None
    # One single-threaded worker process per core: each run is a process of its own anyway.
    # The workers import this package from where this process has it.
    package = str(Path(__file__).resolve().parents[1])
    paths = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if package not in paths:
        os.environ["PYTHONPATH"] = os.pathsep.join([package] + paths)
    cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                           processes=True, dashboard_address=None)
    return Client(cluster), cluster


def set_entry(table, item):
    """Applies one "key.path=value" to a configuration dict as `korvex run --set` does: the value
    is read as TOML when it parses, else as text."""
    import tomllib

    key, eq, value = item.partition("=")
    if not eq or not key:
        raise ValueError(f"--set '{item}' must look like key.path=value")
    try:
        parsed = tomllib.loads(f"v = {value}")["v"]
    except tomllib.TOMLDecodeError:
        parsed = value
    *parents, last = key.split(".")
    node = table
    for part in parents:
        node = node.setdefault(part, {})
        if not isinstance(node, dict):
            raise ValueError(f"--set {key}: {part} is not a section")
    node[last] = parsed


def sweep(config, grid=None, runs=None, output_dir="out/sweep", scheduler=None, workers=None,
          resume=False, quiet=False, settings=None):
    """Runs every combination and returns the sweep table (also written to sweep.csv).

    config      a TOML file's path or a dict in its shape; its [sweep] table may hold the grid
    grid        {key: [values]}: every combination is one run; a value is a number, a boolean or
                a text read as `--set` reads it ("1.4", '"high"')
    runs        [[(key, value)], ...] or [{key: value}, ...]: explicit runs besides the grid
    settings    ["key.path=value", ...]: changes to the base configuration, as `korvex run --set`
    scheduler   a Dask scheduler's address (tcp://host:port); None starts a local cluster with
                `workers` processes (default: one per core)
    resume      keep the runs of an earlier sweep into output_dir that completed
    """
    import tomllib

    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    out = Path(output_dir).resolve()
    if out.exists() and not out.is_dir():
        raise ValueError(f"the sweep's output {out} is a file, not a folder")
    out.mkdir(parents=True, exist_ok=True)
    if isinstance(config, dict):
        table = config
    else:
        with open(config, "rb") as f:
            table = tomllib.load(f)
    overrides = combinations(grid, runs, table.get("sweep"))
    base = copy.deepcopy({k: v for k, v in table.items() if k != "sweep"})
    for item in settings or []:
        set_entry(base, item)
    config_file = out / "sweep_config.toml"
    base_text = _toml.to_toml(base)
    config_file.write_text(base_text)
    # A resumed run is kept only when its whole configuration, base and overrides, is the same.
    base_digest = hashlib.sha256(base_text.encode()).hexdigest()
    specs = [{"name": folder_name(i, o), "overrides": o, "folder": str(out / "runs" / folder_name(i, o)),
              "config": str(config_file), "cwd": os.getcwd(), "korvex": korvex_executable(),
              "base": base_digest}
             for i, o in enumerate(overrides)]

    progress = Progress(len(specs), quiet)
    records = {}
    todo = []
    for spec in specs:
        record = completed(spec) if resume else None
        if record:
            records[spec["name"]] = record
            progress.done += 1
            progress.skipped += 1
        else:
            todo.append(spec)
    if todo:
        from distributed import as_completed

        client, cluster = _client(scheduler, workers)
        try:
            futures = {client.submit(run_one, s, key=f"korvex-run-{out}-{s['name']}", pure=False): s
                       for s in todo}
            slots = max(1, sum(client.nthreads().values()))
            progress.show(min(len(todo), slots))
            for future in as_completed(futures):
                spec = futures[future]
                try:
                    record = future.result()
                except Exception as e:  # the task itself failed (a worker lost too often)
                    record = {"run": spec["name"], "overrides": spec["overrides"], "seconds": 0,
                              "returncode": None, "status": "failed", "summary": {},
                              "error": f"{type(e).__name__}: {e}"}
                records[spec["name"]] = record
                progress.done += 1
                progress.failed += record["status"] != "ok"
                progress.show(min(slots, len(todo) - (progress.done - progress.skipped)))
        finally:
            client.close()
            if cluster:
                cluster.close()
    progress.end()
    frame = table_of([records[s["name"]] for s in specs], specs)
    frame.to_csv(out / "sweep.csv", index=False)
    keys = list(dict.fromkeys(k for o in overrides for k, _ in o))
    write_report(frame, keys, [k for k in keys if frame[k].nunique() > 1], out / "sweep.html")
    return frame


def table_of(records, specs):
    import pandas as pd

    keys = list(dict.fromkeys(k for s in specs for k, _ in s["overrides"]))
    # The standing figures first, then every other number a run's summary carries (the mods'
    # figures: fund-limit days, ...), in the order first met.
    figures = list(SUMMARY_FIGURES)
    for record in records:
        for name, value in record["summary"].items():
            if name not in figures and isinstance(value, (int, float)) \
                    and not isinstance(value, bool):
                figures.append(name)
    rows = []
    for record, spec in zip(records, specs):
        row = {"run": record["run"]}
        given = dict(record["overrides"])
        for k in keys:
            text = given.get(k, "")
            row[k] = _typed(text)
        row.update(status=record["status"], error=record.get("error", ""),
                   seconds=record.get("seconds", 0))
        for figure in figures:
            row[figure] = record["summary"].get(figure)
        row["folder"] = spec["folder"]
        rows.append(row)
    return pd.DataFrame(rows)


def _typed(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] == '"':
        return text[1:-1]
    for cast in (int, float):
        try:
            return cast(text)
        except ValueError:
            pass
    return text


# ---------------------------------------------------------------- the report

def write_report(frame, keys, swept, path):
    """sweep.html: the table (click a heading to sort), with a line of final equity over the one
    swept key, or a heatmap of it over the first two."""
    cols = list(frame.columns)
    head = "".join(f"<th onclick='sortBy({i})'>{html.escape(str(c))}</th>" for i, c in enumerate(cols))
    body = []
    for _, row in frame.iterrows():
        cells = []
        for c in cols:
            v = row[c]
            text = "" if v is None or (isinstance(v, float) and v != v) else (
                f"{v:,.4f}" if isinstance(v, float) and c not in keys else str(v))
            cls = " class='failed'" if c == "status" and v != "ok" else ""
            cells.append(f"<td{cls} data-v='{html.escape(str(v))}'>{html.escape(text)}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    heat = _heatmap(frame, swept) if len(swept) >= 2 else _line(frame, swept[0]) if swept else ""
    page = f"""<!doctype html><html><head><meta charset="utf-8"><title>korvex sweep</title>
<style>body{{font-family:sans-serif;margin:2em}}table{{border-collapse:collapse}}
td,th{{border:1px solid #ccc;padding:4px 8px;text-align:right;white-space:nowrap}}th{{cursor:pointer;background:#eee}}
td.failed{{color:#b00;font-weight:bold}}</style></head><body>
<h1>Sweep: {len(frame)} runs, {int((frame.status != 'ok').sum())} failed</h1>
{heat}<h2>Runs</h2><table id="runs"><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>
<script>let dir=1;function sortBy(i){{const t=document.getElementById('runs').tBodies[0];
const rows=[...t.rows];dir=-dir;rows.sort((a,b)=>{{const x=a.cells[i].dataset.v,y=b.cells[i].dataset.v;
const nx=parseFloat(x),ny=parseFloat(y);return dir*((isNaN(nx)||isNaN(ny))?x.localeCompare(y):nx-ny)}});
rows.forEach(r=>t.appendChild(r))}}</script></body></html>
"""
    Path(path).write_text(page, encoding="utf-8")


def _line(frame, key, width=640, height=280, pad=60):
    """An SVG line of final equity over the values of `key`, in order when they are numbers."""
    ok = frame[(frame.status == "ok") & (frame[key] != "")]
    if ok.empty:
        return ""
    points = list(zip(ok[key], ok.final_equity.astype(float)))
    numeric = all(isinstance(v, (int, float)) for v, _ in points)
    if numeric:
        points.sort(key=lambda p: p[0])
    lo, hi = min(v for _, v in points), max(v for _, v in points)
    span = (hi - lo) or abs(hi) or 1.0
    n = len(points)

    def x(i):
        return pad + (width - 2 * pad) * (0.5 if n == 1 else i / (n - 1))

    def y(v):
        return height - pad - (height - 2 * pad) * (0.5 if hi == lo else (v - lo) / span)

    path = " ".join(f"{'M' if i == 0 else 'L'}{x(i):.1f},{y(v):.1f}" for i, (_, v) in enumerate(points))
    marks = "".join(
        f"<circle cx='{x(i):.1f}' cy='{y(v):.1f}' r='3'><title>{html.escape(str(k))}: {v:,.2f}"
        f"</title></circle><text x='{x(i):.1f}' y='{height - pad + 18}' text-anchor='middle'>"
        f"{html.escape(str(k))}</text>" for i, (k, v) in enumerate(points))
    scale = (f"<text x='{pad - 6}' y='{y(hi):.1f}' text-anchor='end'>{hi:,.0f}</text>"
             f"<text x='{pad - 6}' y='{y(lo):.1f}' text-anchor='end'>{lo:,.0f}</text>")
    return (f"<h2>Final equity by {html.escape(key)}</h2><svg width='{width}' height='{height}' "
            f"font-size='11' class='line'><path d='{path}' fill='none' stroke='#2a6' "
            f"stroke-width='2'/>{marks}{scale}<text x='{width / 2}' y='{height - 10}' "
            f"text-anchor='middle'>{html.escape(key)}</text></svg>")


def _heatmap(frame, swept):
    x, y = swept[0], swept[1]
    both = frame[(frame[x] != "") & (frame[y] != "")]  # runs that set both keys
    ok = both[both.status == "ok"]
    if ok.empty:
        return ""
    xs, ys = list(dict.fromkeys(both[x])), list(dict.fromkeys(both[y]))
    lo, hi = ok.final_equity.min(), ok.final_equity.max()
    rows = [f"<tr><th>{html.escape(y)} \\ {html.escape(x)}</th>" +
            "".join(f"<th>{html.escape(str(v))}</th>" for v in xs) + "</tr>"]
    for vy in ys:
        cells = []
        for vx in xs:
            hit = ok[(ok[x] == vx) & (ok[y] == vy)]
            if hit.empty:
                cells.append("<td>failed</td>")
                continue
            v = float(hit.final_equity.iloc[0])
            share = 0.5 if hi == lo else (v - lo) / (hi - lo)
            color = f"hsl({int(120 * share)},70%,{85 - 25 * share:.0f}%)"
            cells.append(f"<td style='background:{color}'>{v:,.2f}</td>")
        rows.append(f"<tr><th>{html.escape(str(vy))}</th>{''.join(cells)}</tr>")
    return f"<h2>Final equity by {html.escape(x)} and {html.escape(y)}</h2><table>{''.join(rows)}</table>"


# ---------------------------------------------------------------- command line

def main(argv=None):
    parser = argparse.ArgumentParser(prog="korvex sweep", description=__doc__.split("\n\n")[0])
    parser.add_argument("-c", "--config", required=True, help="the base configuration (TOML)")
    parser.add_argument("--grid", action="append", default=[], metavar="KEY=V1,V2",
                        help="a key and its values; every combination of the grids is one run")
    parser.add_argument("--run", action="append", default=[], metavar="'K=V;K2=V2'",
                        help="one explicit run's overrides (repeatable)")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE", dest="settings",
                        help="change the base configuration, as korvex run --set (repeatable)")
    parser.add_argument("-o", "--output", default="out/sweep", help="the sweep's folder")
    parser.add_argument("--scheduler", help="a Dask scheduler's address, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, help="local worker processes (default: one per core)")
    parser.add_argument("--resume", action="store_true", help="keep the runs that completed")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    a = parser.parse_args(argv)
    try:
        frame = sweep(a.config, grid=parse_grid(a.grid), runs=[parse_run(r) for r in a.run],
                      output_dir=a.output, scheduler=a.scheduler, workers=a.workers,
                      resume=a.resume, quiet=a.quiet, settings=a.settings)
    except (ValueError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    out = Path(a.output)
    failed = int((frame.status != "ok").sum())
    print(f"{len(frame)} runs, {failed} failed: {out / 'sweep.csv'}\nreport: {out / 'sweep.html'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
