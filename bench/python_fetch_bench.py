#!/usr/bin/python3
"""Fetching a large result into Python tuples: varnex beside psycopg2.

Starts a throwaway PostgreSQL server and a master (python/tests/vnx_servers.py),
fills one table with ROWS rows (INTEGER, VARCHAR(20)), then times
`execute("SELECT id, name FROM ...")` + `fetchall()` through varnex (gateway,
client library, native conversion) and through psycopg2 on a direct
connection to the same server, alternating, and prints the median time of
each with its spread (fastest and slowest round), the rows per second and the
ratio of the medians (psycopg2 time / varnex time: above 1.0 varnex is
faster) with the spread of the per-round ratios. The machine may be shared:
read the spread before the median.

    bench/python_fetch_bench.py [--rows N] [--rounds R]

Needs the varnex module importable (scripts/test's venv, or PYTHONPATH) and
python3-psycopg2. VNX_BUILD_DIR names the build tree of the programs.
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


def time_fetch(conn, check_rows):
    cur = conn.cursor()
    gc.collect()
    start = time.perf_counter()
    cur.execute("SELECT id, name FROM fetch_bench")
    rows = cur.fetchall()
    elapsed = time.perf_counter() - start
    if len(rows) != check_rows or rows[0][0] != 1 or not isinstance(rows[0][1], str):
        raise RuntimeError("wrong result: %d rows, first %r" % (len(rows), rows[:1]))
    del rows
    cur.close()
    return elapsed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    pg, master = PostgresServer(), Master()
    if pg.bin is None:
        sys.exit("PostgreSQL server programs not found: install package postgresql")
    try:
        pg.start()
        # UseDeclareFetch keeps the gateway's memory flat on a large result.
        master.dsns["pgbench"] = pg.dsn_body("UseDeclareFetch=1\nFetch=10000\n")
        master.start()
        fill(pg, args.rows)
        vx = varnex.connect("127.0.0.1", master.port, "pgbench", user="vnx", password="secret",
                            timeout=0)
        ps = psycopg2.connect(host="127.0.0.1", port=pg.port, user="vnx", password="secret",
                              dbname="postgres")
        times_vx, times_ps = [], []
        for _ in range(args.rounds):
            times_vx.append(time_fetch(vx, args.rows))
            vx.rollback()
            times_ps.append(time_fetch(ps, args.rows))
            ps.rollback()
        vx.close()
        ps.close()
    finally:
        master.remove()
        pg.stop()

    med_vx, med_ps = statistics.median(times_vx), statistics.median(times_ps)
    ratios = [p / v for p, v in zip(times_ps, times_vx)]
    print("fetch %d rows (INTEGER, VARCHAR(20)) into tuples, median of %d rounds "
          "(fastest .. slowest):" % (args.rows, args.rounds))
    print("  varnex (gateway + client library): %8.3f s (%.3f .. %.3f)  %10.0f rows/s"
          % (med_vx, min(times_vx), max(times_vx), args.rows / med_vx))
    print("  psycopg2 (direct connection):      %8.3f s (%.3f .. %.3f)  %10.0f rows/s"
          % (med_ps, min(times_ps), max(times_ps), args.rows / med_ps))
    print("  ratio (psycopg2 time / varnex time): %.2f (rounds %.2f .. %.2f)"
          % (med_ps / med_vx, min(ratios), max(ratios)))


if __name__ == "__main__":
    main()
