#!/usr/bin/env python3
"""Kills repdb with SIGKILL in the middle of its write commands and checks
that every kill left a sound database holding the whole operation or none of
it.

For each command (a volume removal with its history cascade, a history prune,
an insert, the schema upgrade of a previous release's catalogue) the script
builds one seed database big enough for the command to run for a while, runs
the command to completion a few times to learn how long it takes (start-up
included) and what the database looks like afterwards, then, for each kill:
copies the seed, starts repdb, sends SIGKILL after a random delay (half of
them spread over that whole duration, half over its last sixth, where the
commit happens), and examines the file (its rows and its schema):

  corrupt       PRAGMA integrity_check is not "ok", or the file cannot be read
  absent        every table exactly as in the seed
  applied       every table exactly as after a completed run (times of the
                run itself compared as "a time of this run")
  half-applied  anything else; the command's own invariants say what broke

The library must then open the file again (repdb count); after an upgrade was
killed, running it again must succeed and leave the completed state. A run
whose process ended before the signal is not a kill: it is counted apart, and
the script keeps going until the wanted number of kills landed.

Usage: crash_test.py --repdb PATH [--kills N] [--seed S] [--only NAME]
The number of kills per command is --kills, else $DIVU_CRASH_KILLS, else 200.
Exit status 0 when no kill left a corrupt or half-applied database, or one that
the upgrade could not then finish.
"""

import argparse
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

CELL = 2
VOLUME_PHYSICAL = 50      # the removed volume's physical id
OTHER_PHYSICAL = 60       # a volume that stays
PRUNE_CUTOFF = 3000       # prune-history --before; seeded prune times are far below any real clock
RUN_TIME_FLOOR = 1_000_000_000  # a time column at or above this was written by the run itself
TIME_COLUMNS = {"prunetime", "modified", "agedtime", "mediadeletedtime", "modifiedtime",
                "appliedat"}  # as SQL compares names
SCHEMA = "<schema>"  # the dump's entry for sqlite_master: tables, their constraints, indexes
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")


def connect(path):
    connection = sqlite3.connect(path, isolation_level=None, timeout=10)
    return connection


def columns_of(connection, table):
    return [(row[1], row[2].upper()) for row in connection.execute(f"PRAGMA table_info({table})")]


def insert_rows(connection, table, rows):
    """Inserts dicts of column values; every other column gets the value a
    facade would write for a fresh record (0 or the empty text)."""
    columns = columns_of(connection, table)
    names = [name for name, _ in columns if name != "id" or any("id" in row for row in rows)]
    sql = f"INSERT INTO {table} ({', '.join(names)}) VALUES ({', '.join('?' for _ in names)})"
    defaults = {name: ("" if kind == "TEXT" else 0) for name, kind in columns}
    connection.executemany(sql, ([row.get(name, defaults[name]) for name in names] for row in rows))


def dump(connection):
    """Every table's rows, ordered, as {table: [row, ...]}, and the schema."""
    tables = [row[0] for row in connection.execute(
        "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
    out = {SCHEMA: connection.execute("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name").fetchall()}
    for table in tables:
        count = len(columns_of(connection, table))
        order = ", ".join(str(i) for i in range(1, count + 1))
        out[table] = connection.execute(f"SELECT * FROM {table} ORDER BY {order}").fetchall()
    return out


def normalise(connection, state):
    """The state with the run's own times replaced by a marker, so that two
    completed runs compare equal."""
    out = {SCHEMA: state[SCHEMA]}
    for table, rows in state.items():
        if table == SCHEMA:
            continue
        names = [name for name, _ in columns_of(connection, table)]
        timed = [i for i, name in enumerate(names) if name.lower() in TIME_COLUMNS]
        fixed = []
        for row in rows:
            row = list(row)
            for i in timed:
                if isinstance(row[i], int) and row[i] >= RUN_TIME_FLOOR:
                    row[i] = "<run time>"
            fixed.append(tuple(row))
        out[table] = fixed  # still in the dump's order: every table's key comes first
    return out


class Scenario:
    """One write command over a seed database, with its invariants."""

    name = ""

    def __init__(self, repdb, size):
        self.repdb = repdb
        self.size = size

    def create(self, path):
        """Makes the seed database's tables: a new catalogue."""
        init = run_repdb(self.repdb, path, ["init"])
        if init.returncode != 0:
            sys.exit(f"repdb init failed: {init.stderr}")

    def seed(self, connection):
        raise NotImplementedError

    def rerun(self, path, applied_state):
        """After a kill: problems running the command again; none to run by default."""
        return []

    def args(self):
        raise NotImplementedError

    def invariants(self, connection):
        """Problems with the all-or-nothing rule, as texts; empty when sound."""
        raise NotImplementedError

    def partial(self, connection):
        """Applies part of the operation, to show that the checks catch it."""
        raise NotImplementedError


class VolumeRemoval(Scenario):
    name = "remove YLVolume (history cascade)"

    def seed(self, connection):
        jobs = self.size
        insert_rows(connection, "YLVolume", [
            {"CurrentRole": 1, "PhysicalVolumeId": VOLUME_PHYSICAL, "SourceGUID": "removed"},
            {"CurrentRole": 2, "PhysicalVolumeId": OTHER_PHYSICAL, "SourceGUID": "kept"}])
        self.volume = connection.execute(
            "SELECT id FROM YLVolume WHERE PhysicalVolumeId = ?", (VOLUME_PHYSICAL,)).fetchone()[0]
        stats, links, history = [], [], []
        for job in range(1, jobs + 1):
            stats.append({"jobId": job, "zorbCellId": CELL, "dataStatus": 1, "totalBackupSize": 1 << 40})
            links += [{"zorbCellId": CELL, "parentJobId": 900_000 + k, "childJobId": job} for k in range(2)]
            history += [{"JobId": job, "zorbCellId": CELL, "DstVolId": VOLUME_PHYSICAL,
                          "SrcBlockCount": 5_000_000_000} for _ in range(2)]
            if job % 4 == 0:  # still live on another volume: never aged here
                history.append({"JobId": job, "zorbCellId": CELL, "DstVolId": OTHER_PHYSICAL})
            if job % 5 == 0:  # marked already: left as it is
                history.append({"JobId": job, "zorbCellId": CELL, "DstVolId": VOLUME_PHYSICAL,
                                "pruneTime": 1500, "modified": 1500})
        insert_rows(connection, "JMBkpStats", stats)
        insert_rows(connection, "JMJobDataLink", links)
        insert_rows(connection, "YLJobVolumeHistory", history)

    def args(self):
        return ["remove", "YLVolume", str(self.volume)]

    def partial(self, connection):
        connection.execute("UPDATE YLJobVolumeHistory SET pruneTime = ?1, modified = ?1 "
                           "WHERE id IN (SELECT id FROM YLJobVolumeHistory WHERE DstVolId = ?2 AND pruneTime = 0 LIMIT 10)",
                           (RUN_TIME_FLOOR + 1, VOLUME_PHYSICAL))

    def invariants(self, connection):
        gone = connection.execute("SELECT COUNT(*) FROM YLVolume WHERE id = ?", (self.volume,)).fetchone()[0] == 0
        live, marked = connection.execute(
            "SELECT SUM(pruneTime = 0), SUM(pruneTime >= ? AND modified = pruneTime) FROM YLJobVolumeHistory "
            "WHERE DstVolId = ? AND (pruneTime = 0 OR pruneTime >= ?)",
            (RUN_TIME_FLOOR, VOLUME_PHYSICAL, RUN_TIME_FLOOR)).fetchone()
        live, marked = live or 0, marked or 0
        # Jobs whose every live row was on the removed volume.
        only_here = "SELECT JobId FROM YLJobVolumeHistory WHERE DstVolId = %d " \
                    "EXCEPT SELECT JobId FROM YLJobVolumeHistory WHERE DstVolId <> %d AND pruneTime = 0" % (
                        VOLUME_PHYSICAL, VOLUME_PHYSICAL)
        aged, unaged = connection.execute(
            f"SELECT SUM(dataStatus = 3 AND AgedTime >= {RUN_TIME_FLOOR}), SUM(dataStatus = 1) FROM JMBkpStats "
            f"WHERE zorbCellId = {CELL} AND jobId IN ({only_here})").fetchone()
        links = connection.execute(
            f"SELECT COUNT(*) FROM JMJobDataLink WHERE zorbCellId = {CELL} AND childJobId IN ({only_here})").fetchone()[0]
        wrongly_aged = connection.execute(
            f"SELECT COUNT(*) FROM JMBkpStats WHERE dataStatus <> 1 AND jobId IN "
            f"(SELECT JobId FROM YLJobVolumeHistory WHERE DstVolId = {OTHER_PHYSICAL})").fetchone()[0]
        problems = []
        if gone:
            if live:
                problems.append(f"volume gone but {live} of its history rows still live")
            if unaged or links:
                problems.append(f"volume gone but {unaged or 0} jobs not aged, {links} links left")
        else:
            if marked:
                problems.append(f"volume present but {marked} of its history rows marked")
            if aged or links != 2 * self.only_here_jobs:
                problems.append(f"volume present but {aged or 0} jobs aged, {links} links left")
        if wrongly_aged:
            problems.append(f"{wrongly_aged} jobs still live elsewhere were aged")
        return problems

    def after_seed(self, connection):
        self.only_here_jobs = sum(1 for job in range(1, self.size + 1) if job % 4 != 0)


class HistoryPrune(Scenario):
    name = "prune-history"

    def seed(self, connection):
        rows = []
        for i in range(self.size):
            kind = i % 4
            prune = {0: 0, 1: 1000 + i % 1000, 2: 2000, 3: 5000}[kind]  # live, marked before, at, after the cutoff
            rows.append({"JobId": i, "zorbCellId": CELL, "DstVolId": 70 + i % 3, "pruneTime": prune, "modified": prune})
        insert_rows(connection, "YLJobVolumeHistory", rows)

    def after_seed(self, connection):
        self.qualifying = connection.execute(
            "SELECT COUNT(*) FROM YLJobVolumeHistory WHERE pruneTime <> 0 AND pruneTime <= ?", (PRUNE_CUTOFF,)).fetchone()[0]
        self.others = connection.execute("SELECT COUNT(*) FROM YLJobVolumeHistory").fetchone()[0] - self.qualifying

    def args(self):
        return ["prune-history", "--before", str(PRUNE_CUTOFF)]

    def partial(self, connection):
        connection.execute("DELETE FROM YLJobVolumeHistory WHERE id IN (SELECT id FROM YLJobVolumeHistory "
                           "WHERE pruneTime <> 0 AND pruneTime <= ? LIMIT 10)", (PRUNE_CUTOFF,))

    def invariants(self, connection):
        left = connection.execute(
            "SELECT COUNT(*) FROM YLJobVolumeHistory WHERE pruneTime <> 0 AND pruneTime <= ?", (PRUNE_CUTOFF,)).fetchone()[0]
        others = connection.execute(
            "SELECT COUNT(*) FROM YLJobVolumeHistory WHERE pruneTime = 0 OR pruneTime > ?", (PRUNE_CUTOFF,)).fetchone()[0]
        problems = []
        if left not in (0, self.qualifying):
            problems.append(f"{self.qualifying - left} of {self.qualifying} qualifying rows deleted")
        if others != self.others:
            problems.append(f"{self.others - others} rows outside the cutoff deleted")
        return problems


class Insert(Scenario):
    name = "insert YLApplicationDirs"
    values = {"clientId": 4242, "subclientId": 17, "Flags": 5, "objName": "crash-object", "path": "/crash/inserted"}

    def seed(self, connection):
        insert_rows(connection, "YLApplicationDirs",
                    [{"clientId": i, "path": f"/seed/{i}", "objName": f"seed-{i}"} for i in range(self.size)])

    def after_seed(self, connection):
        self.rows = connection.execute("SELECT COUNT(*) FROM YLApplicationDirs").fetchone()[0]

    def args(self):
        return ["insert", "YLApplicationDirs"] + [f"{name}={value}" for name, value in self.values.items()]

    def partial(self, connection):
        connection.execute("INSERT INTO YLApplicationDirs (clientId, path) VALUES (?, '/crash/cut')",
                           (self.values["clientId"],))

    def invariants(self, connection):
        rows = connection.execute("SELECT COUNT(*) FROM YLApplicationDirs").fetchone()[0]
        names = list(self.values)
        found = connection.execute(
            f"SELECT {', '.join(names)} FROM YLApplicationDirs WHERE clientId = ?", (self.values["clientId"],)).fetchall()
        problems = []
        if rows == self.rows + 1:
            if found != [tuple(self.values[name] for name in names)]:
                problems.append(f"a row was added but it reads {found}")
        elif rows != self.rows or found:
            problems.append(f"{rows - self.rows} rows added, {len(found)} match the insert")
        return problems


class Upgrade(Scenario):
    """repdb upgrade of a catalogue made by the previous release (revision 0),
    grown by raw SQL so that the rebuild copies its history in three chunks.
    "absent" is revision 0 as seeded, "applied" revision 1 complete."""
    name = "upgrade (revision 0 to 1)"

    def create(self, path):
        shutil.copyfile(os.path.join(FIXTURES, "catalogue-r0.sqlite"), path)

    def seed(self, connection):
        connection.execute(f"""
            WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {self.size})
            INSERT INTO YLJobVolumeHistory (JobId, zorbCellId, SrcVolId, SrcClientName, SrcBlockCount, DstVolId,
                                            DstClientName, Flags, pruneTime, modified, spaceUsed)
              SELECT 100000 + i, {CELL}, i % 97, 'client-' || i, i * 1000003, 50 + i % 3, 'dst-ü-' || i, -i,
                     CASE WHEN i % 4 = 0 THEN 1500 ELSE 0 END, 0, (i % 7) * 1099511627776 FROM n""")
        # Gaps in the ids, and a freed top id the counter must keep.
        connection.execute("DELETE FROM YLJobVolumeHistory WHERE id % 11 = 0 OR id = (SELECT max(id) FROM YLJobVolumeHistory)")
        connection.execute(f"""
            WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {self.size // 5})
            INSERT INTO JMBkpStats (jobId, zorbCellId, appId, status, servStartDate, failureReason, username,
                                    totalBackupSize, dataStatus)
              SELECT 100000 + i, {CELL}, i % 5, i % 3, 1700000000 + i * 60,
                     CASE WHEN i % 9 = 0 THEN 'media «full»' END, 'user' || (i % 17), i * 1073741824, 1 FROM n""")

    def after_seed(self, connection):
        self.tables = connection.execute(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' AND name NOT LIKE 'Zr%'").fetchone()[0]
        self.counts = self.row_counts(connection)
        if sum(self.counts.values()) < 10_000:
            sys.exit(f"{self.name}: the seed holds only {sum(self.counts.values())} rows")

    @staticmethod
    def row_counts(connection):
        tables = [row[0] for row in connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' AND name NOT LIKE 'Zr%'")]
        return {table: connection.execute(f"SELECT count(*) FROM {table}").fetchone()[0] for table in tables}

    def args(self):
        return ["upgrade"]

    def partial(self, connection):
        # The step recorded, no table rebuilt.
        connection.execute("CREATE TABLE ZrSchemaRevision (step INTEGER PRIMARY KEY, name TEXT NOT NULL, "
                           "checksum TEXT NOT NULL, appliedAt BIGINT NOT NULL, libraryVersion TEXT NOT NULL)")
        connection.execute("INSERT INTO ZrSchemaRevision VALUES (1, 'value limits', '0', 0, 'cut')")

    def invariants(self, connection):
        recorded = connection.execute(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'ZrSchemaRevision'").fetchone()[0]
        steps = connection.execute("SELECT step, name FROM ZrSchemaRevision ORDER BY step").fetchall() if recorded else []
        limited = connection.execute(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' AND name NOT LIKE 'Zr%' "
            "AND sql LIKE '%CHECK (%'").fetchone()[0]
        scratch = connection.execute(
            "SELECT count(*) FROM sqlite_master WHERE name LIKE 'ZrUpgrade%'").fetchone()[0]
        problems = []
        if recorded and (steps != [(1, "value limits")] or limited != self.tables):
            problems.append(f"steps {steps} recorded, {limited} of {self.tables} tables with their limits")
        if not recorded and limited:
            problems.append(f"no step recorded but {limited} of {self.tables} tables with limits")
        if scratch:
            problems.append(f"{scratch} scratch tables of the rebuild left")
        counts = self.row_counts(connection)
        if counts != self.counts:
            problems.append("row counts changed: " + ", ".join(
                f"{t} {self.counts.get(t)} -> {counts.get(t)}" for t in sorted(set(counts) | set(self.counts))
                if counts.get(t) != self.counts.get(t)))
        return problems

    def rerun(self, path, applied_state):
        done = run_repdb(self.repdb, path, ["upgrade"])
        if done.returncode != 0:
            return [f"repdb upgrade again: exit {done.returncode}: {done.stderr.strip()}"]
        connection = connect(path)
        state = normalise(connection, dump(connection))
        problems = self.invariants(connection)
        connection.close()
        if state != applied_state:
            differing = sorted(t for t in set(state) | set(applied_state) if state.get(t) != applied_state.get(t))
            problems.append(f"after upgrading again, tables differ from a complete run: {differing}")
        return [f"after upgrading again: {problem}" for problem in problems]


def remove_database(path):
    for suffix in ("", "-wal", "-shm", "-journal"):
        try:
            os.remove(path + suffix)
        except FileNotFoundError:
            pass


def run_repdb(repdb, database, args):
    return subprocess.run([repdb, "--db", database] + args, capture_output=True, text=True)


def examine(scenario, path, seed_state, applied_state):
    """corrupt | absent | applied | half-applied, with the problems seen."""
    try:
        connection = connect(path)
        check = connection.execute("PRAGMA integrity_check").fetchall()
        if check != [("ok",)]:
            return "corrupt", [f"integrity_check: {check[:5]}"]
        state = normalise(connection, dump(connection))
        problems = scenario.invariants(connection)
        connection.close()
    except sqlite3.DatabaseError as error:
        return "corrupt", [str(error)]
    if state == seed_state and not problems:
        outcome = "absent"
    elif state == applied_state and not problems:
        outcome = "applied"
    else:
        differing = [table for table in set(state) | set(seed_state)
                     if state.get(table) != seed_state.get(table) and state.get(table) != applied_state.get(table)]
        return "half-applied", problems or [f"tables matching neither state: {sorted(differing)}"]
    # The library itself must open what the kill left.
    reopened = run_repdb(scenario.repdb, path, ["count", "YLVolume"])
    if reopened.returncode != 0:
        return "corrupt", [f"repdb cannot read it: {reopened.stderr.strip()}"]
    problems = scenario.rerun(path, applied_state)
    if problems:
        return "rerun failed", problems
    return outcome, []


def exercise(scenario, kills, work, rng):
    seed_path = os.path.join(work, "seed.sqlite")
    path = os.path.join(work, "victim.sqlite")
    remove_database(seed_path)
    scenario.create(seed_path)
    connection = connect(seed_path)
    connection.execute("BEGIN")
    scenario.seed(connection)
    connection.execute("COMMIT")
    scenario.after_seed(connection)
    seed_state = normalise(connection, dump(connection))
    connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    connection.close()
    for suffix in ("-wal", "-shm"):
        if os.path.exists(seed_path + suffix):
            os.remove(seed_path + suffix)

    # Complete runs: their duration and the state they leave.
    durations, applied_state = [], None
    for _ in range(3):
        remove_database(path)
        shutil.copyfile(seed_path, path)
        started = time.monotonic()
        done = run_repdb(scenario.repdb, path, scenario.args())
        durations.append(time.monotonic() - started)
        if done.returncode != 0:
            sys.exit(f"{scenario.name}: a complete run failed: {done.stderr}")
        connection = connect(path)
        state = normalise(connection, dump(connection))
        problems = scenario.invariants(connection)
        connection.close()
        if problems or state == seed_state or (applied_state is not None and state != applied_state):
            sys.exit(f"{scenario.name}: a complete run left an unexpected state: {problems}")
        applied_state = state
    duration = sorted(durations)[1]

    # The checks must see a part of the operation as half-applied.
    remove_database(path)
    shutil.copyfile(seed_path, path)
    connection = connect(path)
    scenario.partial(connection)
    connection.close()
    outcome, problems = examine(scenario, path, seed_state, applied_state)
    if outcome != "half-applied" or not problems:
        sys.exit(f"{scenario.name}: a partial change was seen as {outcome}: {problems}")

    counts = {"kills": 0, "absent": 0, "applied": 0, "corrupt": 0, "half-applied": 0, "rerun failed": 0,
              "finished first": 0}
    failures = []
    started = time.monotonic()
    while counts["kills"] < kills:
        remove_database(path)
        shutil.copyfile(seed_path, path)
        # Half the delays over the whole run, start-up included; half over its
        # last sixth, where the commit writes the log and the process ends.
        delay = rng.uniform(0, duration * 1.05) if rng.random() < 0.5 else rng.uniform(duration * 0.85, duration * 1.05)
        process = subprocess.Popen([scenario.repdb, "--db", path] + scenario.args(),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        process.send_signal(signal.SIGKILL)
        code = process.wait()
        if code != -signal.SIGKILL:
            counts["finished first"] += 1
            if counts["finished first"] > 10 * kills + 100:
                sys.exit(f"{scenario.name}: the command keeps finishing before the signal")
            continue
        counts["kills"] += 1
        outcome, problems = examine(scenario, path, seed_state, applied_state)
        counts[outcome] += 1
        if problems:
            failures.append((delay, outcome, problems))
            kept = os.path.join(work, f"failed-{len(failures)}.sqlite")
            shutil.copyfile(path, kept)
    elapsed = time.monotonic() - started
    return counts, duration, elapsed, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repdb", required=True, help="the repdb binary")
    parser.add_argument("--kills", type=int, default=int(os.environ.get("DIVU_CRASH_KILLS", "200")),
                        help="kills per command (default $DIVU_CRASH_KILLS, else 200)")
    parser.add_argument("--seed", type=int, default=None, help="random seed, to repeat a run's delays")
    parser.add_argument("--only", default=None, help="run only the command whose name starts with this")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else random.SystemRandom().randrange(1 << 31)
    rng = random.Random(seed)
    repdb = os.path.abspath(options.repdb)
    scenarios = [VolumeRemoval(repdb, 1000), HistoryPrune(repdb, 10000), Insert(repdb, 2000), Upgrade(repdb, 11000)]
    if options.only:
        scenarios = [s for s in scenarios if s.name.startswith(options.only)]
    print(f"crash test: {options.kills} kills per command, random seed {seed} (--seed {seed} repeats the delays)", flush=True)
    work = tempfile.mkdtemp(prefix="divu-crash-")
    sound = True
    try:
        for scenario in scenarios:
            counts, duration, elapsed, failures = exercise(scenario, options.kills, work, rng)
            print(f"{scenario.name}: a complete run takes {duration * 1000:.0f} ms; "
                  f"kills {counts['kills']}: applied {counts['applied']}, absent {counts['absent']}, "
                  f"corrupt {counts['corrupt']}, half-applied {counts['half-applied']}"
                  f"{', rerun failed ' + str(counts['rerun failed']) if type(scenario).rerun is not Scenario.rerun else ''} "
                  f"({counts['finished first']} runs finished before the signal; {elapsed:.0f} s)", flush=True)
            for delay, outcome, problems in failures[:10]:
                print(f"  {outcome} after a kill at {delay * 1000:.1f} ms: {'; '.join(problems)}")
            if failures:
                sound = False
                options.keep = True
    finally:
        if options.keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if sound else 1


if __name__ == "__main__":
    sys.exit(main())
