#!/usr/bin/env python3
"""Runs the benchmarks and prints their tables; writes all results as JSON and
a chart.

- Time: in rounds. A round runs every work once: one invocation of
  divu_bench per work (all its contenders, in a shuffled order, a short
  minimum time each). A contender's figure is the median over the rounds of
  its ratio to the floor (raw SQLite, statements reused; libpq for
  PostgreSQL) measured in the same invocation, with the lowest and highest of
  those ratios beside it.
- Instructions: the point lookup, the update and the insert under callgrind at
  fixed iteration counts, each contender alone in its process; per call, the inclusive count of the benchmark's
  own function at the larger count less at the smaller, over the difference.
- Latency: with DIVU_BENCH_POSTGRES_URL set, the PostgreSQL benchmarks again
  through divu_delay_proxy (each chunk held --delay-ms each way), with round
  trips per call counted by the proxy.
- Before all, when built, divu_limits_bench (value limits on SQLite).

    bench/run.py [build/bench/divu_bench] [--rounds N] [--min-time S] [--delay-ms MS]
                 [--json FILE] [--chart FILE] [--skip-limits] [--skip-callgrind]
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

# Works whose contenders run against a floor named <stem>_Raw.
WORK = [
    ("point lookup by id (in memory)", "PointLookup"),
    ("list ~1000 rows by indexed WHERE (with count)", "List"),
    ("count by indexed WHERE", "Count"),
    ("update by id, 1000 per transaction", "Update"),
    ("insert, 1000 per transaction", "Insert"),
    ("WAL file: point lookup, autocommit", "WalLookupAutocommit"),
    ("WAL file: point lookup inside one read transaction", "WalLookupInTransaction"),
]
PG_WORK = [
    ("PostgreSQL: point lookup by id", "PgPointLookup"),
    ("PostgreSQL: list ~1000 rows (with count)", "PgList"),
    ("PostgreSQL: update by id, 1000 per transaction", "PgUpdate"),
]
CONTENDERS = [
    ("library", "Library/newpath:0"),
    ("library, newer path", "Library/newpath:1"),
    ("library, empty statement hook", "LibraryHooked/newpath:0"),
    ("library", "Library"),  # the benchmarks without an access-path argument
    ("raw, prepared per call", "RawPreparedPerCall"),
    ("SQLiteCpp, reused", "SQLiteCpp"),
    ("SQLiteCpp, per call", "SQLiteCppPerCall"),
    ("SOCI, reused", "SOCI"),
    ("SOCI, per call", "SOCIPerCall"),
]
# Instructions per call: counted work, its target, and its iteration counts:
# a warm-up that pays the one-off costs, then the two that are subtracted.
# The counts are large enough for the page cache of a fresh connection (the
# raw contenders open one per benchmark) to be mostly warm over the difference;
# for the writes they differ by whole thousands, so that both include the same
# share of transaction restarts.
COUNTED = [("point lookup by id", "PointLookup", 1.05, (100, 2000, 5000)),
           ("update by id", "Update", 1.10, (100, 1100, 2100)),
           ("insert", "Insert", 1.10, (100, 1100, 2100))]


def run_json(binary, *args, env=None):
    """Runs a benchmark binary with JSON output: its benchmarks and the child's
    own peak memory in MiB."""
    command = [binary, "--benchmark_format=json", *args]
    with tempfile.TemporaryFile(mode="w+") as errors:
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, text=True, env=env)
        output = child.stdout.read()
        # wait4, not wait: the rusage of this child alone.
        _, status, usage = os.wait4(child.pid, 0)
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            errors.seek(0)
            raise subprocess.CalledProcessError(code, command, output, errors.read())
    return json.loads(output)["benchmarks"], usage.ru_maxrss / 1024


def nanoseconds(b, clock="real_time"):
    return b[clock] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]


def show(ns):
    return f"{ns / 1e6:.2f} ms" if ns >= 1e6 else f"{ns / 1e3:.2f} µs" if ns >= 1e3 else f"{ns:.0f} ns"


def strip_options(name):
    """A benchmark's name without the run options GB appends."""
    return re.sub(r"/(min_time|iterations|repeats):[^/]*", "", name)


def medians(binary, args):
    """Median per benchmark over repetitions, wall and CPU time, and the peak
    memory."""
    benchmarks, peak = run_json(binary, *args, "--benchmark_report_aggregates_only=true")
    wall, cpu = {}, {}
    for b in benchmarks:
        if b.get("aggregate_name") == "median":
            wall[strip_options(b["run_name"])] = nanoseconds(b, "real_time")
            cpu[strip_options(b["run_name"])] = nanoseconds(b, "cpu_time")
    return wall, cpu, peak


def listed(binary, env=None):
    out = subprocess.run([binary, "--benchmark_list_tests=true"], capture_output=True, text=True, check=True, env=env)
    return [strip_options(line) for line in out.stdout.split()]


def run_rounds(binary, works, rounds, min_time, env=None):
    """Per work stem: {contender name: [ratio per round]} and the floor's times."""
    names = listed(binary, env)
    ratios, floors, peak = {}, {}, 0.0
    for r in range(rounds):
        for _, stem in works:
            if f"{stem}_Raw" not in names:
                continue
            benchmarks, p = run_json(binary, f"--benchmark_filter=^{stem}_", f"--benchmark_min_time={min_time}",
                                     "--benchmark_enable_random_interleaving=true", env=env)
            peak = max(peak, p)
            # SQLite works run in the process, touching no disk: CPU time, as
            # their wall time on a shared machine also measures the neighbours.
            # A server's work is waited for: wall time.
            clock = "real_time" if stem.startswith("Pg") else "cpu_time"
            times = {strip_options(b["name"]): nanoseconds(b, clock) for b in benchmarks if "error_occurred" not in b}
            floor = times.get(f"{stem}_Raw")
            if floor is None:
                continue
            floors.setdefault(stem, []).append(floor)
            for name, t in times.items():
                ratios.setdefault(stem, {}).setdefault(name[len(stem) + 1:], []).append(t / floor)
        print(f"  round {r + 1} of {rounds} done", file=sys.stderr)
    return ratios, floors, peak


def summary(values):
    q = statistics.quantiles(values, n=4) if len(values) >= 2 else [values[0]] * 3
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "q1": q[0], "q3": q[2],
            "values": values}


def print_ratio_table(works, ratios, floors, floor_title):
    present = [c for c in CONTENDERS if any(c[1] in ratios.get(stem, {}) for _, stem in works)]
    print(f"| work | {floor_title} |" + "".join(f" {title} |" for title, _ in present))
    print("|" + "---|" * (2 + len(present)))
    for title, stem in works:
        if stem not in floors:
            continue
        cells = [f"{show(statistics.median(floors[stem]))} (1.00)"]
        for _, suffix in present:
            values = ratios[stem].get(suffix)
            if values is None:
                cells.append("-")
            else:
                s = summary(values)
                cells.append(f"{s['median']:.2f} [{s['min']:.2f}–{s['max']:.2f}]")
        print(f"| {title} | " + " | ".join(cells) + " |")


def run_callgrind(binary, base_env):
    """Instructions per call of the counted work, per contender. Each contender
    runs alone in a callgrind process of its own: a figure of a shared process
    depends on what ran before it there (an insert measured after the other
    contenders' updates and inserts moved by up to 4%, alone it is exact run
    to run). The counts do not depend on the machine's load, so the processes
    run side by side, as many at a time as there are CPUs."""
    env = dict(base_env)
    env.pop("DIVU_BENCH_POSTGRES_URL", None)
    jobs = []
    for _, stem, _, counts in COUNTED:
        names = listed(binary, dict(env, DIVU_BENCH_ITERATIONS=",".join(map(str, counts))))
        contenders = {m.groups("") for name in names
                      if (m := re.match(rf"Fixed/{stem}_([A-Za-z]+)/slot:\d+(/newpath:\d+)?", name))}
        jobs += [(counts, f"^Fixed/{stem}_{contender}/slot:[0-9]+{arg}/") for contender, arg in sorted(contenders)]
    per_call = {}
    with tempfile.TemporaryDirectory() as directory:
        waiting = list(enumerate(jobs))
        running = []
        while waiting or running:
            while waiting and len(running) < (os.cpu_count() or 1):
                i, (counts, pattern) = waiting.pop(0)
                out = os.path.join(directory, f"callgrind.{i}")
                command = ["nice", "-n", "10", "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", binary,
                           "--benchmark_format=json", f"--benchmark_filter={pattern}"]
                child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                         env=dict(env, DIVU_BENCH_ITERATIONS=",".join(map(str, counts))))
                running.append((counts, out, child))
            counts, out, child = running.pop(0)
            stdout, stderr = child.communicate()
            if child.returncode != 0:
                raise RuntimeError(f"callgrind failed: {stderr[-2000:]}")
            annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                                       capture_output=True, text=True, check=True).stdout
            inclusive = {}
            for line in annotated.splitlines():
                m = re.match(r"\s*([\d,]+)\s.*counted<(\d+)>\(benchmark::State&\)", line)
                if m:
                    inclusive[int(m.group(2))] = int(m.group(1).replace(",", ""))
            # Fixed/<stem>_<contender>/slot:K[/newpath:P]/iterations:N
            at = {}
            for b in json.loads(stdout)["benchmarks"]:
                m = re.match(r"Fixed/([A-Za-z]+)_([A-Za-z]+)/slot:(\d+)(/[a-z]+:\d+)?/iterations:(\d+)$", b["name"])
                if m and int(m.group(3)) in inclusive:
                    key = (m.group(1), m.group(2) + (m.group(4) or ""))
                    at.setdefault(key, {})[int(m.group(5))] = inclusive[int(m.group(3))]
            _, low, high = counts
            for (stem, contender), by_count in at.items():
                if low in by_count and high in by_count:
                    per_call.setdefault(stem, {})[contender] = (by_count[high] - by_count[low]) / (high - low)
    return per_call


def hook_cost(per_call):
    """Instructions per call of the point lookup without and with an empty
    statement hook."""
    calls = per_call.get("PointLookup", {})
    return {"without": calls.get("Library/newpath:0"), "empty_hook": calls.get("LibraryHooked/newpath:0")}


def print_instructions(per_call):
    present = [c for c in CONTENDERS if any(c[1] in per_call.get(stem, {}) for _, stem, _, _ in COUNTED)]
    print("| instructions per call (callgrind) | raw, reused |" + "".join(f" {t} |" for t, _ in present) +
          " target |")
    print("|" + "---|" * (3 + len(present)))
    for title, stem, target, _ in COUNTED:
        calls = per_call.get(stem, {})
        raw = calls.get("Raw")
        if raw is None:
            continue
        cells = [f"{raw:,.0f} (1.00)"] + ["-" if calls.get(s) is None else f"{calls[s] / raw:.3f}"
                                          for _, s in present]
        library = calls.get("Library/newpath:0")
        verdict = "-" if library is None else ("met" if library / raw <= target else "**missed**")
        print(f"| {title} | " + " | ".join(cells) + f" | ≤ {target:.2f}: {verdict} |")


def print_hook_cost(cost):
    if cost.get("without") and cost.get("empty_hook"):
        print(f"| point lookup, each alone in a process | without a statement hook | with an empty one | ratio |")
        print("|---|---|---|---|")
        print(f"| instructions per call | {cost['without']:,.0f} | {cost['empty_hook']:,.0f} | "
              f"{cost['empty_hook'] / cost['without']:.4f} |")


class Proxy:
    """divu_delay_proxy in front of the server named by `url`: `url` gives the
    same database through it."""

    def __init__(self, binary, url, delay_ms):
        parts = urllib.parse.urlsplit(url)
        query = urllib.parse.parse_qs(parts.query)
        host = query.get("host", [parts.hostname or "/var/run/postgresql"])[0]
        port = query.get("port", [str(parts.port or 5432)])[0]
        target = f"{host}/.s.PGSQL.{port}" if host.startswith("/") else f"{host}:{port}"
        self.counts = tempfile.NamedTemporaryFile(prefix="divu-proxy-", delete=False).name
        self.child = subprocess.Popen([binary, "--to", target, "--delay-ms", str(delay_ms), "--counts", self.counts],
                                      stdout=subprocess.PIPE, text=True)
        self.port = int(self.child.stdout.readline())
        rest = {k: v for k, v in query.items() if k not in ("host", "port")}
        self.url = urllib.parse.urlunsplit((parts.scheme, f"127.0.0.1:{self.port}", parts.path,
                                            urllib.parse.urlencode(rest, doseq=True), ""))

    def stop(self):
        """Stops it (by its pid) and returns the round trips it counted."""
        self.child.send_signal(signal.SIGTERM)
        self.child.wait(timeout=10)
        with open(self.counts) as f:
            round_trips = int(f.read().split()[0])
        os.unlink(self.counts)
        return round_trips


def check_proxy(proxy_binary, delay_ms):
    """The proxy delays by at least its delay each way and passes bytes intact
    and in order: an echo server behind it, timed."""
    import socket
    import threading
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, ".s.PGSQL.0")
        server = socket.socket(socket.AF_UNIX)
        server.bind(path)
        server.listen(1)

        def echo():
            connection, _ = server.accept()
            while data := connection.recv(65536):
                connection.sendall(data)
            connection.close()

        threading.Thread(target=echo, daemon=True).start()
        proxy = Proxy(proxy_binary, f"postgresql:///x?host={directory}&port=0", delay_ms)
        client = socket.create_connection(("127.0.0.1", proxy.port))

        def exchange(piece):
            start = time.monotonic()
            client.sendall(piece)
            got = b""
            while len(got) < len(piece):
                got += client.recv(1 << 20)
            assert got == piece, "the proxy changed or reordered bytes"
            assert time.monotonic() - start >= 2 * delay_ms / 1000, "the proxy answered before its delay"

        for _ in range(3):
            exchange(b"ping")
        proxy.child.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + 5
        while True:
            with open(proxy.counts) as f:
                counted = f.read().split()
            if counted and counted[0] == "3" or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        assert counted and counted[0] == "3", f"the proxy counted {counted} round trips for 3"
        exchange(bytes(range(256)) * 4096)  # 1 MiB, many chunks each way
        client.close()
        proxy.stop()
        server.close()


def run_latency(binary, proxy_binary, url, delay_ms, min_time):
    """PostgreSQL through the proxy: time per call with the delay and without
    it (the proxy's own cost), and counted round trips per call."""
    names = listed(binary, dict(os.environ, DIVU_BENCH_POSTGRES_URL=url))
    pattern = r"^(PgPointLookup_|PgUpdate_|PgList_|PgVolumeRemoval_Library/100/|Batch/Postgres/)"
    wanted = [n for n in names if re.match(pattern, n)]
    if not wanted:
        return {}
    times = {}
    for delay in (delay_ms, 0):
        proxy = Proxy(proxy_binary, url, delay)
        env = dict(os.environ, DIVU_BENCH_POSTGRES_URL=proxy.url, DIVU_BENCH_POSTGRES_DIRECT_URL=url)
        try:
            benchmarks, _ = run_json(binary, f"--benchmark_filter={pattern}", f"--benchmark_min_time={min_time}",
                                     env=env)
        finally:
            proxy.stop()
        for b in benchmarks:
            if "error_occurred" not in b:
                times.setdefault(strip_options(b["name"]), {})[delay] = nanoseconds(b)
    # Round trips: a fixed count of calls through a fresh proxy, at two counts.
    counted = {}
    for name in ["PgPointLookup_Raw", "PgPointLookup_Library", "PgList_Raw", "PgList_Library", "PgUpdate_Raw",
                 "PgUpdate_Library", "PgVolumeRemoval_Library"]:
        totals = []
        for n in (5, 25):
            proxy = Proxy(proxy_binary, url, 0)
            env = dict(os.environ, DIVU_BENCH_POSTGRES_URL=proxy.url, DIVU_BENCH_POSTGRES_DIRECT_URL=url,
                       DIVU_BENCH_ITERATIONS=str(n))
            try:
                run_json(binary, f"--benchmark_filter=^Fixed/{name}/", env=env)
            finally:
                totals.append(proxy.stop())
        counted[name] = (totals[1] - totals[0]) / 20
    # A round trip through the delay costs more than twice the delay (the
    # proxy's and the scheduler's wake-ups): for the work it cannot count,
    # time per round trip is taken from libpq's point lookup, one round trip.
    per_round_trip = 2 * delay_ms * 1e6
    floor = times.get("PgPointLookup_Raw", {})
    if floor.get(0) and floor.get(delay_ms) and counted.get("PgPointLookup_Raw") == 1:
        per_round_trip = floor[delay_ms] - floor[0]
    out = {}
    for name, at in times.items():
        row = {"direct_through_proxy_ns": at.get(0), "delayed_ns": at.get(delay_ms)}
        if at.get(0) is not None and at.get(delay_ms) is not None:
            row["round_trips_from_time"] = (at[delay_ms] - at[0]) / per_round_trip
        key = next((c for c in counted if name == c or name.startswith(c + "/")), None)
        if key:
            row["round_trips_counted"] = counted[key]
        if name.startswith("PgVolumeRemoval_Library/"):
            rows = int(name.split("/")[1].split(":")[-1])
            for k in ("round_trips_counted", "round_trips_from_time"):
                if k in row:
                    row[k.replace("round_trips", "round_trips_per_history_row")] = row[k] / rows
        out[name] = row
    return out


def print_latency(latency, delay_ms):
    print(f"| PostgreSQL through a proxy holding each chunk {delay_ms} ms each way | time per call, no delay | "
          f"time per call, delayed | round trips per call (counted) | round trips (from time, uncounted work) |")
    print("|---|---|---|---|---|")
    for name, row in sorted(latency.items()):
        d0, d = row.get("direct_through_proxy_ns"), row.get("delayed_ns")
        counted = row.get("round_trips_counted")
        from_time = row.get("round_trips_from_time")
        if "round_trips_per_history_row_counted" in row:
            counted_text = f"{counted:.1f} ({row['round_trips_per_history_row_counted']:.2f} per history row)"
        else:
            counted_text = "-" if counted is None else f"{counted:.2f}"
        # Estimated from time only where nothing was counted.
        estimate = "-" if from_time is None or counted is not None else f"≈ {from_time:.1f}"
        print(f"| {name} | {'-' if d0 is None else show(d0)} | {'-' if d is None else show(d)} | {counted_text} | "
              f"{estimate} |")


def print_limits(both):
    """Value limits on SQLite: the same writes on the three schemas of YLVolume,
    and the upgrade of a revision-0 catalogue each way. The writes are CPU
    time: they touch no disk (rolled back), and on a shared machine their wall
    time measures the other processes as much as the statement."""
    cpu, wall = both
    print("| value limits, SQLite: write, 1000 per transaction, CPU time | no limits (revision 0) | CHECK (revision 1) "
          "| triggers |")
    print("|---|---|---|---|")
    for title, stem in [("insert, raw reused", "LimitsInsert_Raw"), ("insert, library", "LimitsInsert_Library"),
                        ("update Flags by id, raw reused", "LimitsUpdate_Raw"),
                        ("update Flags by id, library", "LimitsUpdate_Library")]:
        none = cpu.get(f"{stem}/limits:0")
        if none is None:
            continue
        cells = [f"{show(none)} (1.00)"]
        for limits in (1, 2):
            value = cpu.get(f"{stem}/limits:{limits}")
            cells.append("-" if value is None else f"{value / none:.2f}")
        print(f"| {title} | " + " | ".join(cells) + " |")
    names = [("triggers: the upgrade's scan for breaking rows, then CREATE TRIGGER", "LimitsUpgrade_Triggers"),
             ("CHECK via rebuild: divu::upgradeCatalogue", "LimitsUpgrade_CheckRebuild")]
    w = [wall.get(name) for _, name in names]
    c = [cpu.get(name) for _, name in names]
    if None in w or None in c:
        return
    print()
    print("| upgrade of revision 0, 100,000 YLVolume rows | wall time | ratio | CPU time | ratio |")
    print("|---|---|---|---|---|")
    for i, (title, _) in enumerate(names):
        print(f"| {title} | {show(w[i])} | {w[i] / w[0]:.2f} | {show(c[i])} | {c[i] / c[0]:.2f} |")


def chart(path, results):
    """Time ratios with their spread, and instruction ratios, per work; bars
    start at the floor (1.0), so that they show the distance from it."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        print("(no chart: matplotlib is not installed for this interpreter)", file=sys.stderr)
        return
    titles = {stem: title for title, stem in WORK + PG_WORK}
    for title, stem, _, _ in COUNTED:
        titles.setdefault(stem, title)
    times = [(stem, c, s) for stem in titles if stem in results.get("ratios", {})
             for c, s in sorted(results["ratios"][stem].items()) if c != "Raw"]
    instructions = results.get("instructions", {})
    counted = [(stem, c, v / instructions[stem]["Raw"]) for _, stem, _, _ in COUNTED
               if instructions.get(stem, {}).get("Raw") for c, v in sorted(instructions[stem].items()) if c != "Raw"]
    figure, (left, right) = plt.subplots(
        2, 1, figsize=(11, 0.28 * (len(times) + len(counted)) + 2.5),
        gridspec_kw={"height_ratios": [max(len(times), 1), max(len(counted), 1)]})
    palette = plt.get_cmap("tab10")
    colours = {}

    def bars(axis, rows, spread):
        for y, (stem, contender, value) in enumerate(rows):
            median = value["median"] if spread else value
            colour = colours.setdefault(contender, palette(len(colours) % 10))
            error = [[median - value["min"]], [value["max"] - median]] if spread else None
            axis.barh(y, median - 1, left=1, color=colour, xerr=error, capsize=2)
        names = {suffix: title for title, suffix in CONTENDERS}
        axis.set_yticks(range(len(rows)), [f"{titles[stem]} · {names.get(c, c)}" for stem, c, _ in rows],
                        fontsize=7)
        axis.axvline(1.0, color="black", linewidth=0.8)
        axis.set_xscale("log")
        plain = matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}")
        axis.xaxis.set_major_formatter(plain)
        low, high = axis.get_xlim()
        # Minor ticks labelled only where the axis spans little, or they crowd.
        axis.xaxis.set_minor_formatter(plain if high / low < 4 else matplotlib.ticker.NullFormatter())
        axis.tick_params(axis="x", which="both", labelsize=7)
        axis.invert_yaxis()

    bars(left, times, True)
    left.set_title("Time, ratio to the floor (median over rounds; bars: lowest to highest round)", fontsize=9)
    bars(right, counted, False)
    targets = {stem: target for _, stem, target, _ in COUNTED}
    for y, (stem, _, _) in enumerate(counted):
        right.plot([targets[stem]] * 2, [y - 0.45, y + 0.45], color="red", linewidth=1.2)
    right.set_title("Instructions per call, ratio to raw SQLite (callgrind; red: target)", fontsize=9)
    figure.tight_layout()
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    figure.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default="build/bench/divu_bench")
    parser.add_argument("--rounds", type=int, default=5)
    # Long enough that the raw contenders' fresh connections, whose page caches
    # start cold, spend most of it warm.
    parser.add_argument("--min-time", default="0.5", help="seconds per contender per round")
    parser.add_argument("--delay-ms", type=float, default=0.5)
    parser.add_argument("--json", default="build/bench/results.json")
    parser.add_argument("--chart", default="docs/benchmarks.png")
    parser.add_argument("--skip-limits", action="store_true")
    parser.add_argument("--skip-callgrind", action="store_true")
    parser.add_argument("--chart-from", metavar="JSON", help="only draw the chart from an earlier run's results")
    args = parser.parse_args()
    if args.chart_from:
        with open(args.chart_from) as f:
            chart(args.chart, json.load(f))
        return 0
    started = time.monotonic()
    directory = os.path.dirname(args.binary)
    proxy_binary = os.path.join(directory, "divu_delay_proxy")
    postgres_url = os.environ.get("DIVU_BENCH_POSTGRES_URL")
    results = {"ratios": {}, "floors_ns": {}}

    # The limits benchmark runs first, on a machine the main one has not just
    # loaded; its tables are printed last.
    limits_binary = os.path.join(directory, "divu_limits_bench")
    limits = None
    if os.path.exists(limits_binary) and not args.skip_limits:
        print("value limits...", file=sys.stderr)
        # Three schemas compared by ratio: many short repetitions of each,
        # interleaved, so that a drift of the machine's speed is shared.
        common = ["--benchmark_repetitions=15", "--benchmark_min_time=0.3",
                  "--benchmark_enable_random_interleaving=true"]
        wall, cpu, _ = medians(limits_binary, common)
        limits = (cpu, wall)

    if os.path.exists(proxy_binary):
        check_proxy(proxy_binary, args.delay_ms)

    print("rounds...", file=sys.stderr)
    works = WORK + (PG_WORK if postgres_url else [])
    ratios, floors, peak = run_rounds(args.binary, works, args.rounds, args.min_time)
    for stem, contenders in ratios.items():
        results["ratios"][stem] = {c: summary(v) for c, v in contenders.items()}
        results["floors_ns"][stem] = statistics.median(floors[stem])

    removal, _, _ = medians(args.binary, ["--benchmark_filter=^VolumeRemoval_Library/", "--benchmark_repetitions=3"])
    results["sqlite_volume_removal_ns"] = removal

    if not args.skip_callgrind:
        print("callgrind...", file=sys.stderr)
        results["instructions"] = run_callgrind(args.binary, os.environ)
        results["statement_hook_instructions"] = hook_cost(results["instructions"])

    if postgres_url and os.path.exists(proxy_binary):
        print("latency...", file=sys.stderr)
        try:
            results["latency"] = run_latency(args.binary, proxy_binary, postgres_url, args.delay_ms, "0.2")
        except (subprocess.CalledProcessError, ValueError, OSError) as failure:
            # The tables so far are still worth printing.
            print(f"latency run failed: {failure}", file=sys.stderr)
        results["delay_ms_each_way"] = args.delay_ms

    print()
    print(f"Time: median over {args.rounds} rounds of the ratio to the floor in the same round, [lowest–highest].")
    print()
    print_ratio_table(WORK, ratios, floors, "raw, reused")
    print()
    print("| volume removal, live history rows | time | per row | per row / per row at 100 |")
    print("|---|---|---|---|")
    base = None
    for rows in (100, 1000, 10000):
        t = removal.get(f"VolumeRemoval_Library/{rows}")
        if t is None:
            continue
        base = base or t / rows
        print(f"| {rows} | {show(t)} | {show(t / rows)} | {t / rows / base:.2f} |")
    if postgres_url:
        print()
        print_ratio_table(PG_WORK, ratios, floors, "libpq, prepared")
    if results.get("instructions"):
        print()
        print_instructions(results["instructions"])
    if results.get("statement_hook_instructions"):
        print()
        print_hook_cost(results["statement_hook_instructions"])
    if results.get("latency"):
        print()
        print_latency(results["latency"], args.delay_ms)
    print()
    print(f"peak memory of one invocation: {peak:.0f} MiB")
    results["peak_mib"] = peak
    if limits:
        print()
        print_limits(limits)
        results["limits_cpu_ns"], results["limits_wall_ns"] = limits

    os.makedirs(os.path.dirname(args.json) or ".", exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=1)
    chart(args.chart, results)
    print()
    print(f"results: {args.json}, chart: {args.chart}; {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
