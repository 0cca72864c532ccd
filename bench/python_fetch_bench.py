#!/usr/bin/python3
"""Fetching a large result into Python tuples: varnex beside psycopg2 and pyodbc.

Starts a throwaway PostgreSQL server and a master (python/tests/vnx_servers.py),
fills one table with ROWS rows (INTEGER, VARCHAR(20)), then times
`execute("SELECT id, name FROM ...")` + `fetchall()` through varnex (gateway,
client library, native conversion), through psycopg2 on a direct connection
to the same server, and through pyodbc in this process on the gateway's own
DSN (the same psqlODBC driver and settings, with no gateway between: a
generic ODBC binding straight on this driver, which asks for each value with
SQLGetData), taking turns, and prints the median time of each with its
spread (fastest and slowest round), the rows per second and the ratios of the
medians (psycopg2 / varnex, psycopg2 / pyodbc and pyodbc / varnex: above 1.0
the second is faster) with the spread of the per-round ratios. The machine
may be shared: read the spread before the median. Beside the times it prints
median CPU, which a loaded machine disturbs far less than the wall clock: of
a varnex round in the Python process and in its gateway, and of a pyodbc and
a psycopg2 round (driver and conversion, all in this process); and how long
the gateway slept in a varnex round (blocked on its client or the data
source) and waited for a CPU (the machine's load).

Each data source runs as its own case: psqlODBC's Unicode and ANSI drivers,
with UseDeclareFetch=1 (Fetch=10000: the gateway's memory stays flat) and
with UseDeclareFetch=0 (the driver reads the whole result at execute).

    bench/python_fetch_bench.py [--rows N] [--rounds R] [--driver unicode|ansi|both]
                                [--declare-fetch 0|1|both]

Needs the varnex module importable (scripts/test's venv, or PYTHONPATH),
python3-psycopg2 and python3-pyodbc (Debian packages; a venv made without
--system-site-packages still finds pyodbc in /usr/lib/python3/dist-packages).
VNX_BUILD_DIR names the build tree of the programs.
"""

import argparse
import gc
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python", "tests"))

import psycopg2  # noqa: E402

import varnex  # noqa: E402
from vnx_servers import Master, PostgresServer  # noqa: E402


def import_pyodbc():
    """The pyodbc module, from the venv or else from Debian's python3-pyodbc."""
    try:
        import pyodbc
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import pyodbc
        except ImportError:
            sys.exit("pyodbc not found: install the Debian package python3-pyodbc "
                     "(scripts/setup lists it)")
    return pyodbc


def fill(pg, rows):
    c = psycopg2.connect(host="127.0.0.1", port=pg.port, user="vnx", password="secret",
                         dbname="postgres")
    cur = c.cursor()
    cur.execute("DROP TABLE IF EXISTS fetch_bench")
    cur.execute("CREATE TABLE fetch_bench (id INTEGER PRIMARY KEY, name VARCHAR(20))")
    cur.execute("INSERT INTO fetch_bench SELECT g, 'name ' || g FROM generate_series(1, %s) g",
                (rows,))
    c.commit()
    c.close()


def process_cpu(pid):
    """CPU seconds (user + system) of process pid so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def gateway_running(pid):
    """Seconds process pid has spent on a CPU and waiting for one, so far
    (schedstat), as (on a CPU, waiting): a round's wall time less both is
    the time it slept."""
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            on_cpu, queued = f.read().split()[:2]
        return int(on_cpu) / 1e9, int(queued) / 1e9
    except OSError:
        return float("nan"), float("nan")


def time_fetch(conn, check_rows, cpu=None):
    """Seconds of one query and fetchall. cpu, when given, is a list that
    gets the CPU seconds of this process and of the gateway (varnex; NaN for
    a direct connection) spent on it, and the seconds the gateway slept
    (waiting for the client to take rows, or for the data source)."""
    cur = conn.cursor()
    gc.collect()
    gateway = getattr(conn, "gateway_pid", 0) if cpu is not None else 0
    gw0 = process_cpu(gateway) if gateway else 0.0
    run0 = gateway_running(gateway) if gateway else (0.0, 0.0)
    own0 = time.process_time()
    start = time.perf_counter()
    cur.execute("SELECT id, name FROM fetch_bench")
    rows = cur.fetchall()
    elapsed = time.perf_counter() - start
    if cpu is not None:
        run = gateway_running(gateway) if gateway else (float("nan"), float("nan"))
        queued = run[1] - run0[1]
        slept = elapsed - (run[0] - run0[0]) - queued
        cpu.append((time.process_time() - own0,
                    process_cpu(gateway) - gw0 if gateway else float("nan"), slept, queued))
    if len(rows) != check_rows or rows[0][0] != 1 or not isinstance(rows[0][1], str):
        raise RuntimeError("wrong result: %d rows, first %r" % (len(rows), rows[:1]))
    del rows
    cur.close()
    return elapsed


DRIVERS = {"unicode": "PostgreSQL Unicode", "ansi": "PostgreSQL ANSI"}


def spread(values):
    return "%.3f (%.3f .. %.3f)" % (statistics.median(values), min(values), max(values))


def print_ratio(label, num, den):
    ratios = [n / d for n, d in zip(num, den)]
    print("  %-40s %.2f (rounds %.2f .. %.2f)"
          % (label + ":", statistics.median(num) / statistics.median(den), min(ratios),
             max(ratios)))


def run_case(master, pg, pyodbc, dsn, rows, rounds):
    """Rounds of varnex on dsn, pyodbc on dsn and psycopg2 in turn; prints one block."""
    vx = varnex.connect("127.0.0.1", master.port, dsn, user="vnx", password="secret",
                        timeout=0)
    po = pyodbc.connect("DSN=%s;UID=vnx;PWD=secret" % dsn, autocommit=False)
    if "ansi" in dsn:
        # pyodbc asks for wide text by default; the ANSI driver only gives
        # its own (UTF-8) text.
        po.setdecoding(pyodbc.SQL_CHAR, encoding="utf-8", ctype=pyodbc.SQL_CHAR)
        po.setdecoding(pyodbc.SQL_WCHAR, encoding="utf-8", ctype=pyodbc.SQL_CHAR)
    ps = psycopg2.connect(host="127.0.0.1", port=pg.port, user="vnx", password="secret",
                          dbname="postgres")
    times = {"vx": [], "po": [], "ps": []}
    cpu_vx, cpu_po, cpu_ps = [], [], []
    try:
        for _ in range(rounds):
            times["vx"].append(time_fetch(vx, rows, cpu_vx))
            vx.rollback()
            times["po"].append(time_fetch(po, rows, cpu_po))
            po.rollback()
            times["ps"].append(time_fetch(ps, rows, cpu_ps))
            ps.rollback()
    finally:
        vx.close()
        po.close()
        ps.close()
    print("%s: fetch %d rows (INTEGER, VARCHAR(20)) into tuples, median of %d rounds "
          "(fastest .. slowest):" % (dsn, rows, rounds))
    for key, label in (("vx", "varnex (gateway + client library):"),
                       ("po", "pyodbc (same DSN, in process):"),
                       ("ps", "psycopg2 (direct connection):")):
        t = times[key]
        print("  %-36s %s s  %10.0f rows/s" % (label, spread(t), rows / statistics.median(t)))
    print_ratio("ratio psycopg2 / varnex", times["ps"], times["vx"])
    print_ratio("ratio psycopg2 / pyodbc", times["ps"], times["po"])
    print_ratio("ratio pyodbc / varnex", times["po"], times["vx"])
    print("  varnex CPU per round: Python process %s s, gateway %s s"
          % (spread([c[0] for c in cpu_vx]), spread([c[1] for c in cpu_vx])))
    print("  varnex gateway per round: asleep %s s, waiting for a CPU %s s"
          % (spread([c[2] for c in cpu_vx]), spread([c[3] for c in cpu_vx])))
    print("  CPU per round in this process: pyodbc (driver and conversion) %s s, psycopg2 "
          "(libpq and conversion) %s s" % (spread([c[0] for c in cpu_po]),
                                           spread([c[0] for c in cpu_ps])))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--driver", choices=["unicode", "ansi", "both"], default="both")
    ap.add_argument("--declare-fetch", choices=["0", "1", "both"], default="both")
    args = ap.parse_args()
    drivers = ["unicode", "ansi"] if args.driver == "both" else [args.driver]
    declare = ["1", "0"] if args.declare_fetch == "both" else [args.declare_fetch]

    pyodbc = import_pyodbc()
    pg, master = PostgresServer(), Master()
    if pg.bin is None:
        sys.exit("PostgreSQL server programs not found: install package postgresql")
    try:
        pg.start()
        cases = []
        for d in drivers:
            for decl in declare:
                dsn = "pg_%s_decl%s" % (d, decl)
                # UseDeclareFetch=1 keeps the gateway's memory flat on a large result.
                extra = "UseDeclareFetch=1\nFetch=10000\n" if decl == "1" else "UseDeclareFetch=0\n"
                body = pg.dsn_body(extra).replace("PostgreSQL Unicode", DRIVERS[d], 1)
                master.dsns[dsn] = body
                cases.append(dsn)
        master.start()
        # pyodbc reads the master's driver list and DSNs, as its gateways do.
        os.environ["ODBCSYSINI"] = master.env["ODBCSYSINI"]
        os.environ["ODBCINI"] = master.env["ODBCINI"]
        fill(pg, args.rows)
        for dsn in cases:
            run_case(master, pg, pyodbc, dsn, args.rows, args.rounds)
    finally:
        master.remove()
        pg.stop()


if __name__ == "__main__":
    main()
