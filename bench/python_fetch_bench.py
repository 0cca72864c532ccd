#!/usr/bin/python3
"""Fetching a large result into Python tuples: varnex beside psycopg2.

Starts a throwaway PostgreSQL server and a master (python/tests/vnx_servers.py),
fills one table with ROWS rows (INTEGER, VARCHAR(20)), then times
`execute("SELECT id, name FROM ...")` + `fetchall()` through varnex (gateway,
client library, native conversion) and through psycopg2 on a direct
connection to the same server, alternating, and prints the best time of each,
the rows per second and the ratio (psycopg2 time / varnex time: above 1.0
varnex is faster).

    bench/python_fetch_bench.py [--rows N] [--rounds R]

Needs the varnex module importable (scripts/test's venv, or PYTHONPATH) and
python3-psycopg2. VNX_BUILD_DIR names the build tree of the programs.
"""

import argparse
import gc
import os
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
    ap.add_argument("--rounds", type=int, default=3)
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
        best_vx = best_ps = float("inf")
        for _ in range(args.rounds):
            best_vx = min(best_vx, time_fetch(vx, args.rows))
            vx.rollback()
            best_ps = min(best_ps, time_fetch(ps, args.rows))
            ps.rollback()
        vx.close()
        ps.close()
    finally:
        master.remove()
        pg.stop()

    print("fetch %d rows (INTEGER, VARCHAR(20)) into tuples, best of %d:"
          % (args.rows, args.rounds))
    print("  varnex (gateway + client library): %8.3f s  %10.0f rows/s"
          % (best_vx, args.rows / best_vx))
    print("  psycopg2 (direct connection):      %8.3f s  %10.0f rows/s"
          % (best_ps, args.rows / best_ps))
    print("  ratio (psycopg2 time / varnex time): %.2f" % (best_ps / best_vx))


if __name__ == "__main__":
    main()
