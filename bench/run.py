#!/usr/bin/env python3
"""Runs the benchmark and prints the ratio table (medians, ratio to raw SQLite
with reused statements in the same run) and the run's peak memory. With
DIVU_BENCH_POSTGRES_URL set, also the library against libpq on that server.
And, when divu_limits_bench was built beside it (it runs first), the cost of
the value limits on SQLite: writes as ratios to the table without limits, and
the upgrade.

    bench/run.py [path/to/divu_bench] [--repetitions N] [--min-time S]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

WORK = [
    ("point lookup by id", "PointLookup"),
    ("list ~1000 rows by indexed WHERE (with count)", "List"),
    ("count by indexed WHERE", "Count"),
    ("update by id, 1000 per transaction", "Update"),
    ("insert, 1000 per transaction", "Insert"),
]
CONTENDERS = [
    ("library", "Library/newpath:0"),
    ("library, newer path", "Library/newpath:1"),
    ("raw, prepared per call", "RawPreparedPerCall"),
    ("SQLiteCpp, reused", "SQLiteCpp"),
    ("SQLiteCpp, per call", "SQLiteCppPerCall"),
    ("SOCI, reused", "SOCI"),
    ("SOCI, per call", "SOCIPerCall"),
]


def run_medians(binary, repetitions, min_time, *extra):
    """Median wall time ("real_time") and CPU time ("cpu_time") of each
    benchmark, in ns, and the binary's own peak memory in MiB."""
    command = [binary, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
               "--benchmark_report_aggregates_only=true", f"--benchmark_min_time={min_time}", *extra]
    with tempfile.TemporaryFile(mode="w+") as errors:
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, text=True)
        output = child.stdout.read()
        # wait4, not wait: the rusage of this child alone.
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            errors.seek(0)
            raise subprocess.CalledProcessError(child.returncode, command, output, errors.read())
    medians = {"real_time": {}, "cpu_time": {}}
    for b in json.loads(output)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            for clock, values in medians.items():
                values[b["run_name"]] = b[clock] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
    return medians, usage.ru_maxrss / 1024


def show(ns):
    return f"{ns / 1e6:.2f} ms" if ns >= 1e6 else f"{ns / 1e3:.2f} µs" if ns >= 1e3 else f"{ns:.0f} ns"


def named(medians, name):
    """The median of benchmark `name`, whatever run options its name carries
    after it ("/min_time:0.200", "/iterations:1"); None when not run."""
    for run_name, value in medians.items():
        if run_name == name or run_name.startswith(name + "/"):
            return value
    return None


def print_limits(both):
    """Value limits on SQLite: the same writes on the three schemas of YLVolume,
    and the upgrade of a revision-0 catalogue each way. The writes are CPU
    time: they touch no disk (rolled back), and on a shared machine their wall
    time measures the other processes as much as the statement."""
    medians = both["cpu_time"]
    print("| value limits, SQLite: write, 1000 per transaction, CPU time | no limits (revision 0) | CHECK (revision 1) "
          "| triggers |")
    print("|---|---|---|---|")
    for title, stem in [("insert, raw reused", "LimitsInsert_Raw"), ("insert, library", "LimitsInsert_Library"),
                        ("update Flags by id, raw reused", "LimitsUpdate_Raw"),
                        ("update Flags by id, library", "LimitsUpdate_Library")]:
        none = named(medians, f"{stem}/limits:0")
        if none is None:
            continue
        cells = [f"{show(none)} (1.00)"]
        for limits in (1, 2):
            value = named(medians, f"{stem}/limits:{limits}")
            cells.append("-" if value is None else f"{value / none:.2f}")
        print(f"| {title} | " + " | ".join(cells) + " |")
    # The upgrade waits for the disk (its commit, the log's checkpoint): wall
    # time is its cost, CPU time shown beside it.
    names = [("triggers: the upgrade's scan for breaking rows, then CREATE TRIGGER", "LimitsUpgrade_Triggers"),
             ("CHECK via rebuild: divu::upgradeCatalogue", "LimitsUpgrade_CheckRebuild")]
    wall = [named(both["real_time"], name) for _, name in names]
    cpu = [named(both["cpu_time"], name) for _, name in names]
    if None in wall:
        return
    print()
    print("| upgrade of revision 0, 100,000 YLVolume rows | wall time | ratio | CPU time | ratio |")
    print("|---|---|---|---|---|")
    for i, (title, _) in enumerate(names):
        print(f"| {title} | {show(wall[i])} | {wall[i] / wall[0]:.2f} | {show(cpu[i])} | {cpu[i] / cpu[0]:.2f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary", nargs="?", default="build/bench/divu_bench")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--min-time", default="0.3")
    args = parser.parse_args()
    # The limits benchmark runs first, on a machine the main one has not just
    # loaded (its files still being written back, a server cleaning up after
    # it); its tables are printed last.
    limits_binary = os.path.join(os.path.dirname(args.binary), "divu_limits_bench")
    limits = None
    if os.path.exists(limits_binary):
        # Three schemas compared by ratio: many short repetitions of each,
        # interleaved, so that a drift of the machine's speed is shared among
        # them (the writes set their own, shorter, time).
        limits, _ = run_medians(limits_binary, 3 * args.repetitions, args.min_time,
                                "--benchmark_enable_random_interleaving=true")
    medians, peak_mib = run_medians(args.binary, args.repetitions, args.min_time)
    medians = medians["real_time"]

    header = "| work | raw, reused |" + "".join(f" {c[0]} |" for c in CONTENDERS)
    print(header)
    print("|" + "---|" * (2 + len(CONTENDERS)))
    for title, stem in WORK:
        raw = medians.get(f"{stem}_Raw")
        if raw is None:
            continue
        cells = [f"{show(raw)} (1.00)"]
        for _, suffix in CONTENDERS:
            value = medians.get(f"{stem}_{suffix}")
            cells.append("-" if value is None else f"{value / raw:.2f}")
        print(f"| {title} | " + " | ".join(cells) + " |")
    print()
    print("| volume removal, live history rows | time | per row | per row / per row at 100 |")
    print("|---|---|---|---|")
    base = None
    for rows in (100, 1000, 10000):
        t = medians.get(f"VolumeRemoval_Library/{rows}/iterations:3")
        if t is None:
            continue
        per_row = t / rows
        base = base or per_row
        print(f"| {rows} | {show(t)} | {show(per_row)} | {per_row / base:.2f} |")
    postgres = [(title, stem) for title, stem in
                [("point lookup by id", "PgPointLookup"), ("list ~1000 rows (with count)", "PgList"),
                 ("update by id, 1000 per transaction", "PgUpdate")] if f"{stem}_Raw" in medians]
    if postgres:
        print()
        print("| PostgreSQL | libpq, prepared statements | library |")
        print("|---|---|---|")
        for title, stem in postgres:
            raw = medians[f"{stem}_Raw"]
            library = medians.get(f"{stem}_Library")
            print(f"| {title} | {show(raw)} (1.00) | {'-' if library is None else f'{library / raw:.2f}'} |")
    print()
    print(f"peak memory of the benchmark run: {peak_mib:.0f} MiB")
    if limits:
        print()
        print_limits(limits)
    return 0


if __name__ == "__main__":
    sys.exit(main())
